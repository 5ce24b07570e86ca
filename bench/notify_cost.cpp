// SPDX-License-Identifier: Apache-2.0
// What one redraw exchange costs the helper, with the program's own pause: against a
// client that answers at once, against a port nobody listens on, and against a client
// that holds its port but never answers. The helper handles nothing else meanwhile.
// Prints figures; judges nothing.
//
//   notify_cost [all|acknowledged|no-listener|hung] [repetitions of the acknowledged one]
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "notify/notify.h"
#include "tests/unit/udp_peer.h"

namespace {

using Clock = std::chrono::steady_clock;

double MsSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

void Summarize(const char *what, std::vector<double> ms)
{
    std::sort(ms.begin(), ms.end());
    double sum = 0;
    for (double m : ms)
        sum += m;
    printf("%-34s n=%zu  min %.3f  median %.3f  mean %.3f  p99 %.3f  max %.3f ms\n", what,
           ms.size(), ms.front(), ms[ms.size() / 2], sum / static_cast<double>(ms.size()),
           ms[(ms.size() * 99) / 100], ms.back());
}

void Acknowledged(int repetitions)
{
    // The client holds a reference on Windows Sockets for the whole run, so each call's
    // start-up and clean-up only count references; what a full start-up and clean-up
    // cost without any other user is measured apart, below.
    ScriptedClient client([](int) -> std::optional<std::string> {
        return std::string(kRedrawAck, sizeof kRedrawAck);
    });
    if (!client.Start()) {
        printf("acknowledged: no free port\n");
        return;
    }
    std::vector<double> ms;
    for (int i = 0; i < repetitions; i++) {
        const Clock::time_point start = Clock::now();
        NotifyRedraw(client.Port());
        ms.push_back(MsSince(start));
    }
    const size_t requests = client.Stop().size();
    Summarize("acknowledged exchange", ms);
    printf("%-34s %zu requests for %d calls\n", "", requests, repetitions);
}

#ifdef _WIN32
void StartupAlone(int repetitions)
{
    std::vector<double> ms;
    for (int i = 0; i < repetitions; i++) {
        const Clock::time_point start = Clock::now();
        WSADATA wsa;
        if (WSAStartup(MAKEWORD(2, 2), &wsa) == 0)
            WSACleanup();
        ms.push_back(MsSince(start));
    }
    Summarize("sockets start-up + clean-up alone", ms);
}
#endif

void NoListener()
{
    uint16_t port;
    {
        UdpSocket probe;
        if (!probe.Bind(0)) {
            printf("no listener: no free port\n");
            return;
        }
        port = probe.Port();
    }
    const Clock::time_point start = Clock::now();
    NotifyRedraw(port);
    printf("%-34s %.0f ms (port %u)\n", "port without a listener", MsSince(start), port);
}

void Hung()
{
    ScriptedClient client([](int) -> std::optional<std::string> { return std::nullopt; });
    if (!client.Start()) {
        printf("hung: no free port\n");
        return;
    }
    const Clock::time_point start = Clock::now();
    NotifyRedraw(client.Port());
    const double ms = MsSince(start);
    printf("%-34s %.0f ms (%zu requests received)\n", "client that never answers", ms,
           client.Stop().size());
}

}  // namespace

int main(int argc, char **argv)
{
    const char *which = argc > 1 ? argv[1] : "all";
    const int repetitions = argc > 2 ? atoi(argv[2]) : 200;
    const bool all = strcmp(which, "all") == 0;
    if (repetitions < 1) {
        fprintf(stderr, "repetitions must be at least 1\n");
        return 2;
    }
    printf("limits: %d attempts, %d ms pause, %d ms receive limit\n", kRedrawAttempts,
           kRedrawPauseMs, kReceiveLimitMs);
    if (all || strcmp(which, "acknowledged") == 0) {
#ifdef _WIN32
        StartupAlone(repetitions);
#endif
        Acknowledged(repetitions);
    }
    if (all || strcmp(which, "no-listener") == 0)
        NoListener();
    if (all || strcmp(which, "hung") == 0)
        Hung();
    fflush(stdout);
    return 0;
}
