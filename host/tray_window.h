// SPDX-License-Identifier: Apache-2.0
// The resident helper's hidden window: its class, its creation, its message loop and
// its window procedure, which turns window messages into the work of the other modules.
#ifndef HOST_TRAY_WINDOW_H
#define HOST_TRAY_WINDOW_H

#include <windows.h>

// The shell's "TaskbarCreated" message id, registered when the window is created;
// 0 until then, and for good if the registration fails.
extern UINT TaskbarCreatedMsg;

LRESULT CALLBACK TrayWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Registers the helper's window class and creates its hidden window. Returns nullptr
// when either fails.
HWND CreateHelperWindow(HINSTANCE instance);

// Runs the message loop until the quit message; returns its wParam as the exit code,
// or 1 if fetching a message fails.
int RunMessageLoop(void);

#endif
