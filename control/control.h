// The launch decision and the resident helper's handling of forwarded commands.
#ifndef CONTROL_CONTROL_H
#define CONTROL_CONTROL_H

#include <windows.h>

// Runs first in every launch. Looks for a resident helper, empties this process's port
// table and recognises the command in `text` (the command text). A launch that finds a
// helper forwards its command as WM_COPYDATA and waits until the helper has handled
// it. Returns true only for a start command that found no helper: this launch then
// becomes the helper, with that command's port in its table.
bool HandleCommandLine(const char *text);

// Applies one forwarded command; `data` may come from any process on the desktop and
// is read only within its cbData. A stop that leaves no client posts WM_CLOSE to
// `window`, to be handled after the sender has been released.
void OnCopyData(HWND window, WPARAM code, const COPYDATASTRUCT *data);

#endif
