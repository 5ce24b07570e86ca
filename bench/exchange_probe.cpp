// SPDX-License-Identifier: Apache-2.0
// Where a notification pass's time goes. Started by helper_bench with the ports of
// acknowledging clients that live in the bench's own process, so that this process is
// like the helper: nothing else in it holds Windows Sockets. Times, per series, one
// pass over all the given ports:
//   notify          the program's own NotifyRedraw for each port, as a pass makes it
//   notify_first    NotifyRedraw for the first port alone
//   notify_held     NotifyRedraw for each port with Windows Sockets started around the
//                   whole pass, so that each call's start-up and clean-up only count
//   startup         WSAStartup + WSACleanup alone, once per port
//   socket          socket + closesocket alone, once per port, sockets started
//   one_socket      request and answer for each port over one socket kept open
//   window_sent     NotifyRedraw for each port inside a window procedure, handling a
//                   message sent from another thread, as the helper makes its pass
//   window_posted   the same for a posted message, outside any sent message
// (the window series are timed inside the window procedure) and writes "key value" lines to OUT_FILE (a child's standard output does not reach
// its parent under Wine). Prints figures; judges nothing.
//
//   exchange_probe OUT_FILE RUNS PORT...
#include <winsock2.h>
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <vector>

#include "bench/plain_round_trip.h"
#include "notify/notify.h"

namespace {

double g_ticksPerMs = 1;

double NowMs()
{
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return static_cast<double>(t.QuadPart) / g_ticksPerMs;
}

void PrintSeries(FILE *out, const char *key, std::vector<double> ms, int failed)
{
    fprintf(out, "%s.n %zu\n%s.failed %d\n", key, ms.size(), key, failed);
    if (ms.empty())
        return;
    std::sort(ms.begin(), ms.end());
    const size_t n = ms.size();
    const double median = n % 2 != 0 ? ms[n / 2] : (ms[n / 2 - 1] + ms[n / 2]) / 2;
    fprintf(out, "%s.min %.4f\n%s.p10 %.4f\n%s.median %.4f\n%s.p90 %.4f\n%s.max %.4f\n",
            key, ms.front(), key, ms[n / 10], key, median, key, ms[(n * 9) / 10], key,
            ms.back());
}

enum Series {
    kNotify,
    kNotifyFirst,
    kNotifyHeld,
    kStartup,
    kSocket,
    kOneSocket,
    kWindowSent,
    kWindowPosted,
    kSeries
};
const char *const kKeys[kSeries] = {
    "exchange.notify", "exchange.notify_first", "exchange.notify_held",
    "exchange.startup", "exchange.socket",       "exchange.one_socket",
    "exchange.window_sent", "exchange.window_posted"};

// A window on a thread of its own, which runs the program's exchange for every port on
// WM_APP, sent or posted, and keeps the time it took.
const UINT kRunPass = WM_APP;
const std::vector<unsigned short> *g_ports;
double g_windowMs;
HANDLE g_passDone;

LRESULT CALLBACK ProbeWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message != kRunPass)
        return DefWindowProcA(window, message, wParam, lParam);
    const double start = NowMs();
    for (unsigned short port : *g_ports)
        NotifyRedraw(port);
    g_windowMs = NowMs() - start;
    SetEvent(g_passDone);
    return 0;
}

struct WindowThread {
    HWND window = nullptr;
    HANDLE ready = nullptr;
};

DWORD WINAPI RunWindowThread(void *parameter)
{
    WindowThread *w = static_cast<WindowThread *>(parameter);
    WNDCLASSA wc = {};
    wc.lpfnWndProc = ProbeWndProc;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = "TrayRedrawExchangeProbe";
    RegisterClassA(&wc);
    // Hidden and top-level, like the helper's window.
    w->window = CreateWindowExA(0, wc.lpszClassName, "", WS_OVERLAPPEDWINDOW, 0, 0, 0, 0,
                                nullptr, nullptr, wc.hInstance, nullptr);
    SetEvent(w->ready);
    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0) > 0)
        DispatchMessageA(&msg);
    return 0;
}

HWND g_window;

// One pass of one series over the ports, in ms; negative if an exchange failed (only
// one_socket can tell: NotifyRedraw keeps its outcome to itself).
double Pass(Series series, const std::vector<unsigned short> &ports)
{
    WSADATA wsa;
    const bool held = series == kNotifyHeld || series == kSocket || series == kOneSocket;
    if (held && WSAStartup(MAKEWORD(2, 2), &wsa) != 0)
        return -1;
    SOCKET shared = series == kOneSocket ? socket(AF_INET, SOCK_DGRAM, 0) : INVALID_SOCKET;
    bool ok = true;
    const double start = NowMs();
    switch (series) {
    case kNotify:
    case kNotifyHeld:
        for (unsigned short port : ports)
            NotifyRedraw(port);
        break;
    case kNotifyFirst:
        NotifyRedraw(ports[0]);
        break;
    case kStartup:
        for (size_t i = 0; i < ports.size(); i++) {
            if (WSAStartup(MAKEWORD(2, 2), &wsa) == 0)
                WSACleanup();
        }
        break;
    case kSocket:
        for (size_t i = 0; i < ports.size(); i++) {
            SOCKET s = socket(AF_INET, SOCK_DGRAM, 0);
            if (s != INVALID_SOCKET)
                closesocket(s);
        }
        break;
    case kOneSocket:
        for (unsigned short port : ports)
            ok = PlainRoundTrip(shared, port) && ok;
        break;
    case kWindowSent:
        ok = g_window != nullptr;
        if (ok)
            SendMessageA(g_window, kRunPass, 0, 0);
        break;
    case kWindowPosted:
        ok = g_window != nullptr && PostMessageA(g_window, kRunPass, 0, 0) &&
             WaitForSingleObject(g_passDone, 60000) == WAIT_OBJECT_0;
        break;
    case kSeries:
        break;
    }
    double ms = NowMs() - start;
    if (series == kWindowSent || series == kWindowPosted)
        ms = g_windowMs;
    if (shared != INVALID_SOCKET)
        closesocket(shared);
    if (held)
        WSACleanup();
    return ok ? ms : -1;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc < 4) {
        fprintf(stderr, "usage: exchange_probe OUT_FILE RUNS PORT...\n");
        return 2;
    }
    const int runs = std::max(1, atoi(argv[2]));
    std::vector<unsigned short> ports;
    for (int i = 3; i < argc; i++)
        ports.push_back(static_cast<unsigned short>(atoi(argv[i])));
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    g_ticksPerMs = static_cast<double>(frequency.QuadPart) / 1000;

    g_ports = &ports;
    g_passDone = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    WindowThread windowThread;
    windowThread.ready = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE thread = CreateThread(nullptr, 0, RunWindowThread, &windowThread, 0, nullptr);
    if (thread != nullptr)
        WaitForSingleObject(windowThread.ready, 10000);
    g_window = windowThread.window;

    std::vector<double> ms[kSeries];
    int failed[kSeries] = {};
    const int warmUp = 5;
    for (int round = 0; round < warmUp + runs; round++) {
        // Series in a rotating order, so that whatever else the machine does falls on
        // all of them alike.
        for (int k = 0; k < kSeries; k++) {
            const Series series = static_cast<Series>((round + k) % kSeries);
            const double t = Pass(series, ports);
            if (round < warmUp)
                continue;
            if (t < 0)
                failed[series]++;
            else
                ms[series].push_back(t);
        }
    }
    if (g_window != nullptr) {
        PostMessageA(g_window, WM_QUIT, 0, 0);
        WaitForSingleObject(thread, 10000);
    }
    FILE *out = fopen(argv[1], "w");
    if (out == nullptr)
        return 1;
    fprintf(out, "exchange.ports %zu\n", ports.size());
    for (int k = 0; k < kSeries; k++)
        PrintSeries(out, kKeys[k], ms[k], failed[k]);
    fclose(out);
    return 0;
}
