// SPDX-License-Identifier: Apache-2.0
#include "control/control.h"

#include <string.h>

#include "control/command_text.h"
#include "registry/port_table.h"

HelperLink g_helperLink;

// Per session, as the window search is: "Local\" keeps launches on other desktops of the
// machine out of each other's way.
static const char kLaunchLockName[] = "Local\\" HELPER_CLASS_NAME ".launch";
// A launch that becomes the helper holds the lock for the milliseconds its window takes;
// a launch that waits longer than this proceeds as if there were no lock.
enum { kLaunchLockWaitMs = 5000 };

// The lock while this launch holds it, else nullptr.
static HANDLE g_launchLock;

// Takes the lock, or leaves g_launchLock null when it cannot be had: a lock that cannot
// be created or opened (one made by a process of a higher integrity level, say) or a
// wait that times out. The launch then proceeds exactly as it would without one.
//
// A lock whose holder ended without giving it back (a launch killed during its search)
// is handed to one waiter as abandoned, and that waiter owns it as if the wait had
// simply succeeded: the system wakes the others only when it is released. So this
// launch keeps it like any lock it took. Nothing the lock guards can be left half done
// by the dead launch: it guards the search and the creation of a window, and the system
// destroys the windows of a process that ends.
static void TakeLaunchLock(void)
{
    // SYNCHRONIZE is all that waiting and releasing need, and what a lock made by
    // another process of this user grants.
    HANDLE lock = CreateMutexExA(nullptr, kLaunchLockName, 0, SYNCHRONIZE);
    if (lock == nullptr)
        return;
    DWORD waited = WaitForSingleObject(lock, kLaunchLockWaitMs);
    if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED) {
        g_launchLock = lock;
        return;
    }
    CloseHandle(lock);
}

static void ReleaseLaunchLock(void)
{
    if (g_launchLock == nullptr)
        return;
    ReleaseMutex(g_launchLock);
    CloseHandle(g_launchLock);
    g_launchLock = nullptr;
}

void EndLaunch(void)
{
    ReleaseLaunchLock();
}

static HWND FindHelperWindow(void)
{
    if (g_helperLink.find != nullptr)
        return g_helperLink.find(kHelperClassName, nullptr);
    return FindWindowA(kHelperClassName, nullptr);
}

// Sends the command and returns once the helper has handled it (after any notification
// pass it is in). Returns 0 when the system delivered it, else the system's error: the
// window procedure's result means nothing, so only the send's error state tells.
static DWORD SendControlMessage(HWND helper, CommandCode code, const char *argument)
{
    char block[kPayloadSize];
    BuildPayload(argument, block);
    COPYDATASTRUCT cds;
    cds.dwData = kControlTag;
    cds.cbData = kPayloadSize;
    cds.lpData = block;
    LPARAM data = reinterpret_cast<LPARAM>(&cds);
    SetLastError(ERROR_SUCCESS);
    if (g_helperLink.send != nullptr)
        g_helperLink.send(helper, WM_COPYDATA, code, data);
    else
        SendMessageA(helper, WM_COPYDATA, code, data);
    return GetLastError();
}

// Called with the search for a helper made under the lock (when it could be had).
static LaunchOutcome ReachHelper(HWND helper, CommandCode code, const char *argument)
{
    for (int search = 1;; search++) {
        if (helper == nullptr) {
            if (code == kCommandStart)
                return kLaunchBecomeHelper;  // the lock is kept until the window exists
            ReleaseLaunchLock();
            return kLaunchDone;  // nothing to act on
        }
        // Released before the send, which may wait out a whole notification pass.
        ReleaseLaunchLock();
        DWORD error = SendControlMessage(helper, code, argument);
        if (error == ERROR_SUCCESS)
            return kLaunchDone;
        // Any other refusal (an elevated helper shuts out less privileged launches) is
        // final, and so is a helper that vanishes a second time.
        if (error != ERROR_INVALID_WINDOW_HANDLE || search == 2)
            return kLaunchUndelivered;
        // The helper closed between our search and our send: search again, as a new
        // launch would. A start that now finds none becomes the helper.
        TakeLaunchLock();
        helper = FindHelperWindow();
    }
}

LaunchOutcome HandleCommandLine(const char *text)
{
    if (text == nullptr)
        text = "";
    // The search comes first and is made for every launch, command or not.
    TakeLaunchLock();
    HWND helper = FindHelperWindow();
    ClearPorts();

    const char *argument = nullptr;
    CommandCode code = RecognizeCommand(text, &argument);
    if (code == kCommandNone) {
        ReleaseLaunchLock();
        return kLaunchDone;
    }
    if (code == kCommandStart)
        AddPort(ParseDecimal(argument, strlen(argument)));
    return ReachHelper(helper, code, argument);
}

void OnCopyData(HWND window, WPARAM code, const COPYDATASTRUCT *data)
{
    const void *payload = data != nullptr ? data->lpData : nullptr;
    size_t size = data != nullptr ? data->cbData : 0;
    if (ApplyCommand(code, payload, size) == kEffectClose)
        PostMessageA(window, WM_CLOSE, 0, 0);
}
