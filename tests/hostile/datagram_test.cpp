// SPDX-License-Identifier: Apache-2.0
// What other traffic on 127.0.0.1 does to a pass, and what slow clients cost. The
// exchange with one client uses one socket of the helper's for all its attempts: any
// datagram waiting there is the reply its attempt reads, so junk costs exactly one
// failed attempt and a stray "redrawok" from anyone ends the exchange. A late answer is
// read by the next attempt. A client that never answers holds the pass for all ten
// attempts, and commands forwarded meanwhile wait in their launchers until it ends.
#include <atomic>
#include <memory>
#include <thread>

#include "tests/hostile/hostile.h"

namespace {

using namespace hostile;

using WireJunk = HostileHelper;
using SlowClient = HostileHelper;

// The largest datagram IPv4 carries (65,535 less the IP and UDP headers); "64 KiB" on
// the wire can mean no more than this.
constexpr size_t kLargestDatagram = 65507;

std::vector<char> Junk(size_t size, char fill)
{
    return std::vector<char>(size, fill);
}

// A client that acknowledges the helper's n-th request, counting only the helper's.
UdpClient::Reply AckNthRequest(int n)
{
    auto seen = std::make_shared<int>(0);
    return [seen, n](int, const std::vector<char> &bytes) {
        if (bytes == Request() && ++*seen >= n)
            return UdpClient::Ack();
        return std::vector<char>();
    };
}

// Clients share the loopback with other programs. Whatever reaches a client, a stray
// "redrawok" included, is the client's business: the helper's exchanges see none of it.
TEST_F(WireJunk, JunkReachingClientsDuringAPassLeavesEveryExchangeAsItWas)
{
    Stray stray;
    std::vector<std::vector<char>> junk = {Junk(0, 0), Junk(1, 'j'),
                                           Junk(kLargestDatagram, 'x'), TextZ("redrawok")};
    UdpClient &a = Client(AckNthRequest(2));  // its first request costs one pause
    UdpClient &b = Client(AckNthRequest(1));
    StartResident("start " + Port(a));
    Forward(kStart, Port(b));

    std::thread pass([&] { Pass(); });
    EXPECT_TRUE(a.WaitFor(1, kQuick));
    for (const std::vector<char> &j : junk) {
        EXPECT_TRUE(stray.SendTo(a.Port(), j));
        EXPECT_TRUE(stray.SendTo(b.Port(), j));
    }
    pass.join();

    std::vector<UdpClient::Datagram> toA = HelperRequests(a, stray.Port());
    std::vector<UdpClient::Datagram> toB = HelperRequests(b, stray.Port());
    ASSERT_EQ(toA.size(), 2u);
    ASSERT_EQ(toB.size(), 1u);
    EXPECT_EQ(toA[0].fromPort, toA[1].fromPort);  // one socket for the whole exchange
    EXPECT_EQ(a.Count(), 2u + junk.size());
    EXPECT_EQ(b.Count(), 1u + junk.size());
    for (UdpClient *c : {&a, &b}) {
        size_t fromStray = 0;
        for (const UdpClient::Datagram &d : c->Received())
            fromStray += d.fromPort == stray.Port() ? 1u : 0u;
        EXPECT_EQ(fromStray, junk.size()) << "client on port " << c->Port();
    }
    ExpectTable({&a, &b});
}

TEST_F(WireJunk, JunkAtTheHelpersSocketCostsAnAttemptEachAndAStrayAckEndsTheExchange)
{
    auto stray = std::make_shared<Stray>();
    // Read in this order, one by each attempt from the first on: four failures (an
    // empty datagram, one byte, the largest datagram, a reply that only begins like an
    // acknowledgement), then an acknowledgement that the client never sent.
    std::vector<std::vector<char>> junk = {Junk(0, 0), Junk(1, 'r'),
                                           Junk(kLargestDatagram, 'x'),
                                           TextZ("redrawokay"), TextZ("redrawok")};
    auto self = std::make_shared<std::atomic<UdpClient *>>(nullptr);
    auto sent = std::make_shared<std::atomic<int>>(0);
    // Never answers; on the helper's first request it has the third program fill the
    // helper's socket, before the first attempt's wait can end.
    UdpClient &silent = Client([self, sent, stray, junk](int request,
                                                        const std::vector<char> &) {
        UdpClient *c = *self;
        if (request == 1 && c != nullptr) {
            unsigned short helperPort = c->Received()[0].fromPort;
            for (const std::vector<char> &j : junk)
                *sent += stray->SendTo(helperPort, j) ? 1 : 0;
        }
        return std::vector<char>();
    });
    *self = &silent;
    UdpClient &b = Client();
    StartResident("start " + Port(silent));
    Forward(kStart, Port(b));

    double seconds = Pass();
    printf("  [pass with junk at the helper's socket: %.2f s]\n", seconds);
    EXPECT_EQ(sent->load(), static_cast<int>(junk.size()));
    // One request per attempt: four junk datagrams, four failures, the fifth attempt
    // took the stray acknowledgement, so the client was not asked a sixth time.
    std::vector<UdpClient::Datagram> requests = HelperRequests(silent, stray->Port());
    ASSERT_EQ(requests.size(), junk.size());
    for (const UdpClient::Datagram &d : requests)
        EXPECT_EQ(d.fromPort, requests[0].fromPort);
    // The next client's exchange has a socket of its own, with nothing left in it.
    EXPECT_EQ(b.Count(), 1u);
    ASSERT_EQ(b.Received().size(), 1u);
    EXPECT_NE(b.Received()[0].fromPort, requests[0].fromPort);

    // The silent client leaves before the table check, which would wait out all its
    // attempts.
    Forward(kStop, Port(silent));
    ExpectTable({&b});
    EXPECT_EQ(silent.Count(), junk.size());
}

// Answers the helper's first request only, after `ms`.
UdpClient::Reply AnswerFirstAfter(DWORD ms)
{
    return [ms](int request, const std::vector<char> &) {
        if (request != 1)
            return std::vector<char>();
        Sleep(ms);
        return UdpClient::Ack();
    };
}

TEST_F(SlowClient, ALateAnswerIsReadByTheNextAttempt)
{
    // Well past the receive limit, well before the next attempt's wait ends.
    const DWORD late = contract::kReceiveLimitMs + 400;
    UdpClient &l1 = Client(AnswerFirstAfter(late));
    UdpClient &l2 = Client(AnswerFirstAfter(late));
    UdpClient &c = Client();
    StartResident("start " + Port(l1));
    Forward(kStart, Port(l2));
    Forward(kStart, Port(c));

    double seconds = Pass();
    printf("  [pass with two late clients: %.2f s]\n", seconds);
    for (UdpClient *l : {&l1, &l2}) {
        std::vector<UdpClient::Datagram> got = l->Received();
        ASSERT_EQ(got.size(), 2u) << "client on port " << l->Port();
        EXPECT_EQ(got[0].fromPort, got[1].fromPort);
        ASSERT_EQ(l->Answers().size(), 1u);
        // The answer really came after the first attempt had given up on it.
        EXPECT_GE(harness::Seconds(l->Answers()[0] - got[0].at),
                  contract::kReceiveLimitMs / 1000.0);
    }
    EXPECT_EQ(c.Count(), 1u);
    // The next exchange began only once the late answer had been taken.
    EXPECT_LT(l2.Answers()[0], c.Received()[0].at);
}

// `hung` clients that hold their port and never answer, registered first; with room
// left, an acknowledging client after them. While the pass runs, one launcher per
// command: a hung client at an even position stops, one at an odd position moves to a
// new client; the acknowledging one moves too, and a new one starts. None of these
// depends on the others' order, so the table afterwards is known.
class HungClients : public HostileHelper {
protected:
    void HoldPass(size_t hung, DWORD launchLimit)
    {
        ASSERT_GE(hung, 1u);
        ASSERT_LE(hung, kMaxPorts);
        std::vector<UdpClient *> h, expected;
        std::vector<std::string> commands;
        for (size_t i = 0; i < hung; i++)
            h.push_back(&Client(UdpClient::Never()));
        StartResident("start " + Port(*h[0]));
        for (size_t i = 1; i < hung; i++)
            Forward(kStart, Port(*h[i]));
        for (size_t i = 0; i < hung; i++) {
            if (i % 2 == 0) {
                commands.push_back("stop " + Port(*h[i]));
            } else {
                UdpClient &moved = Client();
                commands.push_back("change " + Port(*h[i]) + " " + Port(moved));
                expected.push_back(&moved);
            }
        }
        // Room for two more: an acknowledging client that moves, and a new one.
        UdpClient *acking = nullptr;
        if (hung + 2 <= kMaxPorts) {
            acking = &Client();
            Forward(kStart, Port(*acking));
            UdpClient &moved = Client();
            UdpClient &added = Client();
            commands.push_back("change " + Port(*acking) + " " + Port(moved));
            commands.push_back("start " + Port(added));
            expected.push_back(&moved);
            expected.push_back(&added);
        }

        Clock::time_point begin = Clock::now();
        Clock::time_point end;
        std::thread pass([&] {
            harness::SendTaskbarCreated(window_);
            end = Clock::now();
        });
        EXPECT_TRUE(h[0]->WaitFor(1, kQuick)) << "the pass did not begin";
        std::vector<DWORD> codes(commands.size(), 12345);
        std::vector<Clock::time_point> returned(commands.size());
        std::vector<std::thread> launchers;
        for (size_t i = 0; i < commands.size(); i++) {
            launchers.emplace_back([&, i] {
                codes[i] = harness::RunCommand(g_helper, commands[i], launchLimit);
                returned[i] = Clock::now();
            });
        }
        pass.join();
        for (std::thread &l : launchers)
            l.join();
        double seconds = harness::Seconds(end - begin);
        printf("  [pass with %zu hung client%s: %.1f s; %zu launches held meanwhile]\n",
               hung, hung == 1 ? "" : "s", seconds, commands.size());

        for (UdpClient *c : h)
            EXPECT_EQ(c->Count(), static_cast<size_t>(contract::kAttempts)) << c->Port();
        if (acking != nullptr) {
            EXPECT_EQ(acking->Count(), 1u);
        }
        ASSERT_FALSE(h.back()->Received().empty());
        Clock::time_point lastRequest = h.back()->Received().back().at;
        for (size_t i = 0; i < commands.size(); i++) {
            EXPECT_EQ(codes[i], 0u) << commands[i];
            // Held until the pass had asked its last hung client for the last time.
            EXPECT_GT(returned[i], lastRequest) << commands[i];
        }
        // None lost: every command was applied once the pass had ended.
        ExpectTable(expected);
    }
};

TEST_F(HungClients, AHungClientHoldsThePassAndCommandsMeanwhileAreAppliedAfterIt)
{
    HoldPass(1, kOneHungPass);
}

// About ten times fourteen seconds: run with --gtest_also_run_disabled_tests.
TEST_F(HungClients, DISABLED_TenHungClientsHoldThePassAndCommandsMeanwhileAreAppliedAfterIt)
{
    HoldPass(kMaxPorts, 10 * kOneHungPass);
}

}  // namespace
