// SPDX-License-Identifier: Apache-2.0
// The exchange with the program's own pause (notify/pause.cpp) rather than a test's: a
// client that is not ready yet gets its next request a whole second later.
#include <gtest/gtest.h>

#include <stddef.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "notify/notify.h"
#include "tests/tool/contract.h"
#include "udp_peer.h"

namespace {

using Clock = std::chrono::steady_clock;

long long Ms(Clock::duration d)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(d).count();
}

TEST(RedrawWithTheProgramsPause, EachFailedAttemptCostsTheClientASecond)
{
    // Two wrong replies, then the acknowledgement: each wrong reply ends its attempt at
    // once, so what separates the requests is the pause alone.
    ScriptedClient client([](int n) -> std::optional<std::string> {
        if (n < 2)
            return std::string("redrawokay") + '\0';
        return std::string(contract::kAck, sizeof contract::kAck);
    });
    ASSERT_TRUE(client.Start());
    const Clock::time_point start = Clock::now();
    NotifyRedraw(client.Port());
    const Clock::duration took = Clock::now() - start;
    const std::vector<Datagram> requests = client.Stop();

    ASSERT_EQ(requests.size(), 3u);
    // Sleep and this clock may disagree by a timer tick.
    constexpr int kTickMs = 20;
    // The client's own arrival times may lag by a scheduling delay.
    for (size_t i = 1; i < requests.size(); i++)
        EXPECT_GE(Ms(requests[i].at - requests[i - 1].at), contract::kPauseMs - 100)
            << "request " << i;
    EXPECT_GE(Ms(took), 2 * contract::kPauseMs - kTickMs);
    // Less than three pauses' worth: two were taken, and each was one second.
    EXPECT_LT(Ms(took), 3 * contract::kPauseMs);
}

}  // namespace
