// SPDX-License-Identifier: Apache-2.0
// A command-line stand-in for the shell and the other programs around the helper, for
// scripts and tests in other languages (the Java client's, the benchmark's).
//
//   traytool pass [MS]            send "TaskbarCreated" to the helper; returns when its
//                                 pass has ended; exit 4 if that took longer than MS
//                                 (timed here, so the launch's own cost is left out)
//   traytool broadcast            post "TaskbarCreated" to every top-level window
//   traytool wait-helper [MS]     exit 0 once a helper window exists, 1 if none in MS
//   traytool wait-gone [MS]       exit 0 once no helper window exists, 1 otherwise
//   traytool send|post close|destroy|null|quit [WPARAM]
//                                 a message to the helper window
//   traytool info                 the helper window's title, visibility and class style
//   traytool stats                the helper process's handle count and private bytes
//   traytool run APP [LINE]       start APP with exactly LINE; exit with its exit code
//
// Exit code 3 means no helper window was found where one was needed.
#include "tests/tool/harness.h"

#include <psapi.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

using namespace harness;

static DWORD Arg(int argc, char **argv, int i, DWORD fallback)
{
    return i < argc ? static_cast<DWORD>(strtoul(argv[i], nullptr, 0)) : fallback;
}

static int Message(bool send, const char *name, WPARAM wParam)
{
    HWND w = FindHelper();
    if (w == nullptr)
        return 3;
    UINT message;
    if (strcmp(name, "close") == 0)
        message = WM_CLOSE;
    else if (strcmp(name, "destroy") == 0)
        message = WM_DESTROY;
    else if (strcmp(name, "null") == 0)
        message = WM_NULL;
    else if (strcmp(name, "quit") == 0)
        message = WM_QUIT;
    else
        return 2;
    if (send)
        SendMessageA(w, message, wParam, 0);
    else
        PostMessageA(w, message, wParam, 0);
    return 0;
}

static int Stats()
{
    HWND w = FindHelper();
    if (w == nullptr)
        return 3;
    DWORD pid = 0;
    GetWindowThreadProcessId(w, &pid);
    HANDLE p = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid);
    if (p == nullptr)
        return 1;
    DWORD handles = 0;
    GetProcessHandleCount(p, &handles);
    PROCESS_MEMORY_COUNTERS_EX m = {};
    m.cb = sizeof m;
    GetProcessMemoryInfo(p, reinterpret_cast<PROCESS_MEMORY_COUNTERS *>(&m), sizeof m);
    printf("pid %lu handles %lu private_bytes %lu working_set %lu peak_working_set %lu\n",
           static_cast<unsigned long>(pid), static_cast<unsigned long>(handles),
           static_cast<unsigned long>(m.PrivateUsage),
           static_cast<unsigned long>(m.WorkingSetSize),
           static_cast<unsigned long>(m.PeakWorkingSetSize));
    CloseHandle(p);
    return 0;
}

int main(int argc, char **argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: traytool pass|broadcast|wait-helper|wait-gone|send|post|"
                        "info|stats|run ...\n");
        return 2;
    }
    std::string verb = argv[1];
    if (verb == "pass") {
        HWND w = FindHelper();
        if (w == nullptr)
            return 3;
        DWORD limit = Arg(argc, argv, 2, INFINITE);
        DWORD started = GetTickCount();
        SendTaskbarCreated(w);
        return GetTickCount() - started > limit ? 4 : 0;
    }
    if (verb == "broadcast") {
        BroadcastTaskbarCreated();
        return 0;
    }
    if (verb == "wait-helper")
        return WaitForHelper(Arg(argc, argv, 2, 10000)) != nullptr ? 0 : 1;
    if (verb == "wait-gone") {
        DWORD ms = Arg(argc, argv, 2, 10000);
        for (DWORD waited = 0; FindHelper() != nullptr; waited += 10) {
            if (waited >= ms)
                return 1;
            Sleep(10);
        }
        return 0;
    }
    if ((verb == "send" || verb == "post") && argc >= 3)
        return Message(verb == "send", argv[2], Arg(argc, argv, 3, 0));
    if (verb == "info") {
        HWND w = FindHelper();
        if (w == nullptr)
            return 3;
        char title[128] = {};
        GetWindowTextA(w, title, sizeof title);
        printf("title \"%s\" visible %d style %lu\n", title, IsWindowVisible(w) ? 1 : 0,
               static_cast<unsigned long>(GetClassLongA(w, GCL_STYLE)));
        return 0;
    }
    if (verb == "stats")
        return Stats();
    if (verb == "run" && argc >= 3) {
        DWORD code = harness::Run(WindowsPath(argv[2]), argc >= 4 ? argv[3] : nullptr);
        printf("exit %lu\n", static_cast<unsigned long>(code));
        return static_cast<int>(code);
    }
    fprintf(stderr, "traytool: unknown command %s\n", argv[1]);
    return 2;
}
