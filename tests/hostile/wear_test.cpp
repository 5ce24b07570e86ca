// SPDX-License-Identifier: Apache-2.0
// The helper is resident for as long as its clients run: whatever one pass or one
// command leaves behind (a socket, a handle, a block of memory) adds up over a session.
// After many of both, it must hold what it held before, give or take noise.
#include "tests/hostile/hostile.h"

namespace {

using namespace hostile;

using NoWear = HostileHelper;

constexpr int kWearRounds = 200;      // one pass each
constexpr int kCommandsPerRound = 5;  // so 1,000 forwarded commands
constexpr int kWarmUpRounds = 10;     // first uses allocate once (sockets, heaps)
constexpr int kReportEvery = 50;
constexpr DWORD kHandleNoise = 3;
constexpr SIZE_T kPrivateNoise = 64 * 1024;

TEST_F(NoWear, HandlesAndPrivateBytesStayFlatOverPassesAndForwardedCommands)
{
    UdpClient &a = Client();
    UdpClient &b = Client();
    UdpClient &c = Client();
    UdpClient &d = Client();
    StartResident("start " + Port(a));
    Forward(kStart, Port(b));

    // Each round starts and ends with the table [a, b]; its commands are the ones
    // launches forward, built the way a launch builds them.
    auto round = [&] {
        Pass();
        Forward(kStart, Port(c));
        Forward(kChange, Port(c) + " " + Port(d));
        Forward(kStop, Port(d));
        Forward(kStart, Port(c));
        Forward(kStop, Port(c));
    };
    for (int i = 0; i < kWarmUpRounds; i++)
        round();

    Usage first = HelperUsage();
    printf("  [after %d warm-up rounds: %s]\n", kWarmUpRounds, Describe(first).c_str());
    Clock::time_point begin = Clock::now();
    for (int i = 1; i <= kWearRounds; i++) {
        round();
        if (i % kReportEvery == 0 && i != kWearRounds)
            printf("  [after %d more passes and %d commands: %s]\n", i, i * kCommandsPerRound,
                   Describe(HelperUsage()).c_str());
    }
    double seconds = harness::Seconds(Clock::now() - begin);
    Usage last = HelperUsage();
    printf("  [after %d more passes and %d commands: %s; %.1f s]\n", kWearRounds,
           kWearRounds * kCommandsPerRound, Describe(last).c_str(), seconds);

    ExpectAlive();
    EXPECT_LE(last.handles, first.handles + kHandleNoise);
    EXPECT_LE(last.privateBytes, first.privateBytes + kPrivateNoise);
    // Every pass did reach the clients, and no command stuck: only a and b remain.
    EXPECT_EQ(a.Count(), static_cast<size_t>(kWarmUpRounds + kWearRounds));
    EXPECT_EQ(b.Count(), static_cast<size_t>(kWarmUpRounds + kWearRounds));
    EXPECT_EQ(c.Count(), 0u);
    EXPECT_EQ(d.Count(), 0u);
    ExpectTable({&a, &b});
}

}  // namespace
