// SPDX-License-Identifier: Apache-2.0
// The yardstick for the helper's size, start-up and memory: a WinMain that does nothing.
// Built twice over (bench/CMakeLists.txt): once exactly as the helper is built, with
// its own entry and no C runtime, which is the least a program of this build style can
// cost; once the ordinary way, with the C runtime's start-up, for reference. Each also
// in a variant that stays alive for EMPTY_STAYS_MS, so that its working set can be read
// from outside; the benchmark ends that variant itself.
#include <windows.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
#ifdef EMPTY_STAYS_MS
    Sleep(EMPTY_STAYS_MS);
#endif
    return 0;
}

#ifndef EMPTY_WITH_CRT
// The same entry as the helper's (host/main.cpp), under the same name so that the same
// link line serves, less the derivation of the command text: nothing here reads it.
extern "C" void __cdecl HelperEntry(void)
{
    int code = WinMain(GetModuleHandleA(nullptr), nullptr, GetCommandLineA(), SW_SHOWDEFAULT);
    ExitProcess(static_cast<UINT>(code));
}
#endif
