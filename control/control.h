// SPDX-License-Identifier: Apache-2.0
// The launch decision and the resident helper's handling of forwarded commands.
#ifndef CONTROL_CONTROL_H
#define CONTROL_CONTROL_H

#include <windows.h>

// What a launch does once its command line has been handled.
enum LaunchOutcome {
    kLaunchDone,         // exit with 0: the command was delivered, or there was none to send
    kLaunchBecomeHelper, // create the helper's window, then call EndLaunch
    kLaunchUndelivered,  // exit with 2: the system refused to deliver the command
};

// Runs first in every launch. Looks for a resident helper, empties this process's port
// table and recognises the command in `text` (the command text). A launch that finds a
// helper forwards its command as WM_COPYDATA and waits until the helper has handled
// it. Only a start command that finds no helper becomes the helper, with that
// command's port in its table.
//
// Launches that start together must not both become the helper, so the search and the
// helper window's creation are one step across processes: a named lock is taken before
// the search and, for a launch that becomes the helper, held until EndLaunch.
LaunchOutcome HandleCommandLine(const char *text);

// Gives the lock back once the new helper's window exists, or its creation failed.
void EndLaunch(void);

// How a launch finds and reaches the helper. Null members mean the system's FindWindowA
// and SendMessageA; tests of the launch put stand-ins here to play a helper that
// vanishes or refuses a message. The send reports failure through the last error.
struct HelperLink {
    HWND(WINAPI *find)(LPCSTR className, LPCSTR title);
    LRESULT(WINAPI *send)(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
};
extern HelperLink g_helperLink;

// Applies one forwarded command; `data` may come from any process on the desktop and
// is read only within its cbData. A stop that leaves no client posts WM_CLOSE to
// `window`, to be handled after the sender has been released.
void OnCopyData(HWND window, WPARAM code, const COPYDATASTRUCT *data);

#endif
