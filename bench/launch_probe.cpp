// SPDX-License-Identifier: Apache-2.0
// Where a forwarded command's launch time goes. Each build of this file does what a
// forwarding launch of the helper must do, find the resident helper's window and hand
// it a start command by WM_COPYDATA, and differs from the others only in which of the
// helper's other DLLs it also imports without using them: gdi32 (PROBE_GDI32), ws2_32
// (PROBE_WS2_32), msvcrt (PROBE_MSVCRT). Two builds stop short: PROBE_IMPORT_ONLY
// imports user32 and calls nothing, PROBE_FIND_ONLY finds the window and sends nothing.
// Built like the helper: its own entry, no C runtime. Launched with the helper resident, their times against the empty program's
// and the helper's own tell what each import adds to a launch that uses none of them.
#include <winsock2.h>
#include <windows.h>

#include <string.h>

#include "control/command_text.h"

// The start command for port 1, laid out as the helper expects it: the argument text,
// its NUL, then zeros. Constant, so that building it needs no memory primitive.
static const char kStartPortOne[kPayloadSize] = "1";

// Taking an address is enough for the linker to import a function, and so for the
// loader to map its DLL at start-up; nothing calls through this.
void (*volatile g_keep)(void);

extern "C" void __cdecl HelperEntry(void)
{
#ifdef PROBE_GDI32
    g_keep = reinterpret_cast<void (*)(void)>(&GetStockObject);
#endif
#ifdef PROBE_WS2_32
    g_keep = reinterpret_cast<void (*)(void)>(&WSAGetLastError);
#endif
#ifdef PROBE_MSVCRT
    g_keep = reinterpret_cast<void (*)(void)>(&memcmp);
#endif
#ifdef PROBE_IMPORT_ONLY
    g_keep = reinterpret_cast<void (*)(void)>(&FindWindowA);
    ExitProcess(0);
#endif
    HWND helper = FindWindowA(kHelperClassName, nullptr);
#ifdef PROBE_FIND_ONLY
    ExitProcess(helper != nullptr ? 0 : 3);
#endif
    if (helper != nullptr) {
        COPYDATASTRUCT cds;
        cds.dwData = kControlTag;
        cds.cbData = kPayloadSize;
        cds.lpData = const_cast<char *>(kStartPortOne);
        SendMessageA(helper, WM_COPYDATA, kCommandStart, reinterpret_cast<LPARAM>(&cds));
    }
    ExitProcess(helper != nullptr ? 0 : 3);
}
