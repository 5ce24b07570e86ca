// SPDX-License-Identifier: Apache-2.0
// The program's entry. There is no C runtime start-up: the command text is derived
// here by the same rule the system's start-up code uses, and nothing else of a
// runtime is needed.
#include <windows.h>

#include "control/command_text.h"
#include "control/control.h"
#include "host/system_function.h"
#include "host/tray_window.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR text, int)
{
    switch (HandleCommandLine(text)) {
    case kLaunchBecomeHelper:
        break;
    case kLaunchUndelivered:
        // The client learns that its command never reached the helper.
        return 2;
    default:
        return 0;
    }
    HWND window = CreateHelperWindow(instance);
    // Launches waiting to search now find the window, or none if it failed.
    EndLaunch();
    // Without its window the helper can be neither found nor ended, and would wait for
    // ever for a quit message: give up at once instead, and say so in the exit code.
    if (window == nullptr)
        return 1;
    return RunMessageLoop();
}

static bool IsAnsiLeadByte(unsigned char c)
{
    return IsDBCSLeadByte(c) != FALSE;
}

// A DLL that is loaded by its name alone, later on, by the program or by a system DLL
// on its behalf, is searched for in the program's folder first, then in the current
// one: a less privileged process that can write either could have its code run in
// this one, elevated as it may be. From here on only the system folder is searched.
// The static imports are all known system DLLs, loaded before this from the system
// alone. Windows 7 without the update that brought the function keeps its usual search.
static void SearchSystemFolderOnly(void)
{
    typedef BOOL(WINAPI * SetDirectoriesFn)(DWORD);
    SetDirectoriesFn setDirectories = reinterpret_cast<SetDirectoriesFn>(
        FindSystemFunction("kernel32.dll", "SetDefaultDllDirectories"));
    if (setDirectories != nullptr)
        setDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
}

// The system calls this with the stack aligned to 4 bytes only: the i686 build realigns
// wherever that matters (-mstackrealign, in CMakeLists.txt).
extern "C" void __cdecl HelperEntry(void)
{
    // Before anything else can load a DLL.
    SearchSystemFolderOnly();
    const char *text = SkipProgramName(GetCommandLineA(), IsAnsiLeadByte);
    int code = WinMain(GetModuleHandleA(nullptr), nullptr, const_cast<LPSTR>(text),
                       SW_SHOWDEFAULT);
    ExitProcess(static_cast<UINT>(code));
}
