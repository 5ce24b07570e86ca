// SPDX-License-Identifier: Apache-2.0
#include "host/tray_window.h"

#include "control/command_text.h"
#include "control/control.h"
#include "host/system_function.h"
#include "notify/notify.h"
#include "registry/port_table.h"

UINT TaskbarCreatedMsg;

static const char kHelperTitle[] = "Java tray wexel ZYL";

// On Vista and later, an elevated helper (started by a client that runs as
// administrator) would never hear the shell's broadcast: user-interface privilege
// isolation drops messages from less privileged processes. Let exactly that one message
// through. Windows before 7 lacks the function.
static void AllowTaskbarCreated(HWND window, UINT message)
{
    typedef BOOL(WINAPI * FilterFn)(HWND, UINT, DWORD, void *);
    FilterFn filter = reinterpret_cast<FilterFn>(
        FindSystemFunction("user32.dll", "ChangeWindowMessageFilterEx"));
    if (filter != nullptr)
        filter(window, message, 1 /* MSGFLT_ALLOW */, nullptr);
}

static void OnCreate(HWND window)
{
    TaskbarCreatedMsg = RegisterWindowMessageA("TaskbarCreated");
    if (TaskbarCreatedMsg != 0)
        AllowTaskbarCreated(window, TaskbarCreatedMsg);
}

// One pass over the clients, in the order they registered, each exchange finished
// before the next begins. The message loop waits meanwhile, and so does every launch
// that forwards a command: nothing can change the table under the pass.
static void OnTaskbarCreated(void)
{
    BeginRedrawPass();
    for (int32_t i = 0; i < g_portTable.count; i++)
        NotifyRedraw(g_portTable.ports[i]);
    EndRedrawPass();
}

LRESULT CALLBACK TrayWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    case WM_CLOSE:
        DestroyWindow(window);
        return 0;
    case WM_COPYDATA:
        // The message carries the address of its payload description in lParam.
        OnCopyData(window, wParam,
                   reinterpret_cast<const COPYDATASTRUCT *>(lParam));  // NOLINT(performance-no-int-to-ptr)
        return 0;
    default:
        break;
    }
    if (message == WM_CREATE)
        OnCreate(window);
    // While no id is held, 0 would match WM_NULL, which anyone may send: no pass then.
    if (TaskbarCreatedMsg != 0 && message == TaskbarCreatedMsg)
        OnTaskbarCreated();
    return DefWindowProcA(window, message, wParam, lParam);
}

HWND CreateHelperWindow(HINSTANCE instance)
{
    WNDCLASSA wc = {};
    wc.style = CS_HREDRAW | CS_VREDRAW;
    wc.lpfnWndProc = TrayWndProc;
    wc.hInstance = instance;
    wc.hIcon = LoadIconA(nullptr, IDI_ASTERISK);
    wc.hCursor = LoadCursorA(nullptr, IDC_CROSS);
    wc.hbrBackground = static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH));
    wc.lpszClassName = kHelperClassName;
    if (RegisterClassA(&wc) == 0)
        return nullptr;

    // A hidden top-level window, not a message-only one: only top-level windows hear
    // the shell's "TaskbarCreated" broadcast, and launches find it by its class.
    HWND window = CreateWindowExA(0, kHelperClassName, kHelperTitle, WS_OVERLAPPEDWINDOW,
                                  0, 0, 0, 0, nullptr, nullptr, instance, nullptr);
    if (window == nullptr)
        return nullptr;
    ShowWindow(window, SW_HIDE);
    UpdateWindow(window);
    return window;
}

int RunMessageLoop(void)
{
    MSG msg;
    for (;;) {
        BOOL got = GetMessageA(&msg, nullptr, 0, 0);
        if (got == 0)
            return static_cast<int>(msg.wParam);
        // An error here would repeat for ever; leave rather than spin.
        if (got == -1)
            return 1;
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
}
