// SPDX-License-Identifier: Apache-2.0
// The entry of trayredraw_refused, a test build of the program in which the system
// refuses every command a launch sends, as it refuses an elevated helper the commands
// of less privileged launches. It puts a refusing send in the launch's seam and then
// runs the program's own entry, so that everything after the send (the outcome, and
// the exit code WinMain makes of it) is the program's.
#include <windows.h>

#include "control/control.h"

extern "C" void __cdecl HelperEntry(void);

static LRESULT WINAPI RefuseSend(HWND, UINT, WPARAM, LPARAM)
{
    SetLastError(ERROR_ACCESS_DENIED);
    return 0;
}

// Called, as HelperEntry is, on a stack aligned to 4 bytes only; built with the
// program's flags, which realign it wherever that matters.
extern "C" void __cdecl RefusedEntry(void)
{
    g_helperLink.send = RefuseSend;
    HelperEntry();
}
