// SPDX-License-Identifier: Apache-2.0
// The redraw exchange against clients that the test plays on 127.0.0.1: how many
// requests a client gets and what each holds, which replies end the exchange, which
// ports the requests come from and go to, and which pauses the exchange asks for. The
// pause is the test's own (fake_pause.cpp), so only receive limits cost time here.
#include <gtest/gtest.h>

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <chrono>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "fake_pause.h"
#include "notify/notify.h"
#include "tests/tool/contract.h"
#include "udp_peer.h"

namespace {

using Clock = std::chrono::steady_clock;

// What the helper must put on the wire: the text and its NUL.
const std::string kRequestOnTheWire(contract::kRequest, sizeof contract::kRequest);
// The acknowledgement as a client sends it, with its NUL.
const std::string kAck(contract::kAck, sizeof contract::kAck);
const std::vector<uint32_t> kNoPause;

// A wait may end this much before its limit as measured here (timer granularity).
constexpr int kTimerSlackMs = 10;

std::vector<uint32_t> Pauses(int count)
{
    return std::vector<uint32_t>(static_cast<size_t>(count), contract::kPauseMs);
}

long long Ms(Clock::duration d)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(d).count();
}

// Silent until the request numbered `first` (from 0), acknowledging it and any later.
ScriptedClient::Answer AckFrom(int first)
{
    return [first](int n) -> std::optional<std::string> {
        if (n >= first)
            return kAck;
        return std::nullopt;
    };
}

std::optional<std::string> Silent(int)
{
    return std::nullopt;
}

struct Exchange {
    std::vector<Datagram> requests;
    std::vector<uint32_t> pauses;
    Clock::duration took{};
};

// One call of the exchange against a new client that answers as `answer` says. Every
// request of every such call must be exactly the text and its NUL.
Exchange RunExchange(ScriptedClient::Answer answer)
{
    Exchange e;
    ScriptedClient client(std::move(answer));
    if (!client.Start()) {
        ADD_FAILURE() << "no free UDP port on 127.0.0.1";
        return e;
    }
    ResetFakePause();
    const Clock::time_point start = Clock::now();
    NotifyRedraw(client.Port());
    e.took = Clock::now() - start;
    e.requests = client.Stop();
    e.pauses = RequestedPauses();
    for (size_t i = 0; i < e.requests.size(); i++)
        EXPECT_EQ(e.requests[i].bytes, kRequestOnTheWire) << "request " << i;
    return e;
}

TEST(RedrawAttempts, AnAnswerToTheFirstRequestEndsTheExchangeWithoutAPause)
{
    Exchange e = RunExchange(AckFrom(0));
    EXPECT_EQ(e.requests.size(), 1u);
    EXPECT_EQ(e.pauses, kNoPause);
}

TEST(RedrawAttempts, EveryUnansweredAttemptIsFollowedByASecondsPause)
{
    Exchange e = RunExchange(AckFrom(2));
    EXPECT_EQ(e.requests.size(), 3u);
    EXPECT_EQ(e.pauses, Pauses(2));
}

TEST(RedrawAttempts, ASilentClientGetsTenRequestsEachWaitedForAndThenTheCallEnds)
{
    Exchange e = RunExchange(Silent);
    ASSERT_EQ(e.requests.size(), static_cast<size_t>(contract::kAttempts));
    // The last failed attempt is paused after too.
    EXPECT_EQ(e.pauses, Pauses(contract::kAttempts));

    // Each attempt waits out its own receive limit: the next request comes no sooner
    // (give or take the client's scheduling delay)...
    for (size_t i = 1; i < e.requests.size(); i++)
        EXPECT_GE(Ms(e.requests[i].at - e.requests[i - 1].at), contract::kReceiveLimitMs - 100)
            << "attempt " << i;
    EXPECT_GE(Ms(e.took), contract::kAttempts * (contract::kReceiveLimitMs - kTimerSlackMs));
    // ...and not much later: a limit of 500 ms or more would exceed this, while each
    // attempt's own overhead is a few milliseconds, under Wine too.
    EXPECT_LT(Ms(e.took), contract::kAttempts * (contract::kReceiveLimitMs + 100));
}

TEST(RedrawAttempts, AnAnswerArrivingAfterItsAttemptGaveUpIsTakenByTheNext)
{
    ScriptedClient client(Silent);
    ASSERT_TRUE(client.Start());
    // The client answers the first request only during the first pause, that is once
    // the first attempt has stopped waiting, and never answers the second.
    bool answered = false;
    ResetFakePause([&](int number) {
        if (number == 1 && client.WaitForRequests(1, 5000))
            answered = client.SendTo(kAck, client.Requests()[0].sourcePort);
    });
    NotifyRedraw(client.Port());
    const std::vector<Datagram> requests = client.Stop();
    const std::vector<uint32_t> pauses = RequestedPauses();
    ResetFakePause();

    ASSERT_TRUE(answered);
    EXPECT_EQ(requests.size(), 2u);
    EXPECT_EQ(pauses, Pauses(1));
}

struct Reply {
    const char *name;
    std::string bytes;
};

void PrintTo(const Reply &reply, std::ostream *os)
{
    *os << reply.name;
}

std::string ReplyName(const testing::TestParamInfo<Reply> &info)
{
    return info.param.name;
}

// A client's text as it would send it: with its NUL.
std::string WithNul(const char *text)
{
    return std::string(text) + '\0';
}

class AcknowledgingReply : public testing::TestWithParam<Reply> {};

TEST_P(AcknowledgingReply, EndsTheExchangeAtTheFirstAttempt)
{
    const std::string bytes = GetParam().bytes;
    Exchange e = RunExchange([bytes](int) -> std::optional<std::string> { return bytes; });
    EXPECT_EQ(e.requests.size(), 1u);
    EXPECT_EQ(e.pauses, kNoPause);
}

INSTANTIATE_TEST_SUITE_P(
    RedrawReply, AcknowledgingReply,
    testing::Values(
        Reply{"AckThenMoreBytesAfterItsNul", kAck + "and more"},
        // Windows reports the datagram as too long, yet its first bytes are read.
        Reply{"AckInADatagramLongerThanTheBuffer",
              kAck + std::string(kReplyBufferSize, 'x')},
        // The buffer is cleared before each receive, so the text ends with the datagram.
        Reply{"AckWithoutItsNul", std::string(contract::kAck)}),
    ReplyName);

class RejectedReply : public testing::TestWithParam<Reply> {};

TEST_P(RejectedReply, CountsAsNoAnswer)
{
    // The wrong reply, then the acknowledgement: exactly one more attempt shows that the
    // first was judged failed and that the exchange went on.
    const std::string bytes = GetParam().bytes;
    Exchange e = RunExchange([bytes](int n) -> std::optional<std::string> {
        return n == 0 ? bytes : kAck;
    });
    EXPECT_EQ(e.requests.size(), 2u);
    EXPECT_EQ(e.pauses, Pauses(1));
}

INSTANTIATE_TEST_SUITE_P(
    RedrawReply, RejectedReply,
    testing::Values(Reply{"AckAndAnExclamationMark", WithNul("redrawok!")},
                    Reply{"AckWithASpace", WithNul("redraw ok")},
                    Reply{"AckInCapitals", WithNul("REDRAWOK")},
                    Reply{"AckFollowedByMoreLetters", WithNul("redrawokay")},
                    Reply{"AckCutShort", WithNul("redrawo")},
                    Reply{"EmptyDatagram", std::string()},
                    Reply{"FullBufferWithoutANul",
                          contract::kAck +
                              std::string(kReplyBufferSize - strlen(contract::kAck), 'x')},
                    Reply{"LongerThanTheBufferWithoutANul",
                          contract::kAck + std::string(kReplyBufferSize + 100, 'x')}),
    ReplyName);

TEST(RedrawSocket, AllAttemptsOfACallShareOneSourcePortWhichTheCallReleases)
{
    // Ten wrong replies make the first call's ten attempts quick; the second call's
    // first request is acknowledged.
    ScriptedClient client([](int n) -> std::optional<std::string> {
        return n < contract::kAttempts ? WithNul("redrawokay") : kAck;
    });
    ASSERT_TRUE(client.Start());
    ResetFakePause();
    NotifyRedraw(client.Port());
    ASSERT_TRUE(client.WaitForRequests(contract::kAttempts, 5000));
    const std::vector<Datagram> first = client.Requests();
    ASSERT_EQ(first.size(), static_cast<size_t>(contract::kAttempts));
    const uint16_t firstPort = first[0].sourcePort;
    for (size_t i = 1; i < first.size(); i++)
        EXPECT_EQ(first[i].sourcePort, firstPort) << "attempt " << i;

    // Closed when the call returns, its port can be bound at once; held here, it
    // cannot be the next call's.
    UdpSocket holder;
    ASSERT_TRUE(holder.Bind(firstPort)) << "the first call's socket is still open";
    NotifyRedraw(client.Port());
    const std::vector<Datagram> all = client.Stop();
    ASSERT_EQ(all.size(), static_cast<size_t>(contract::kAttempts) + 1);
    EXPECT_NE(all.back().sourcePort, firstPort);
}

#ifdef _WIN32
// Windows Sockets counts its start-ups. Each call must give back exactly the one it
// took: one more kept would hold Windows Sockets up for the rest of the helper's life,
// one more given back would tear it down under whoever else uses it (here, the client).
// The same holds for a pass, which keeps the library up only while it runs.
void ExpectEveryStartUpGivenBack(bool inPass)
{
    std::vector<Datagram> requests;
    {
        ScriptedClient client(AckFrom(0));
        ASSERT_TRUE(client.Start());
        ResetFakePause();
        if (inPass)
            BeginRedrawPass();
        NotifyRedraw(client.Port());
        NotifyRedraw(client.Port());
        if (inPass)
            EndRedrawPass();
        requests = client.Stop();
    }
    EXPECT_EQ(requests.size(), 2u) << "a call's clean-up took the client's socket down";
    // The client has given back its own start-up, so nothing may be left to clean up.
    const int cleanup = WSACleanup();
    const int error = WSAGetLastError();
    EXPECT_EQ(cleanup, SOCKET_ERROR) << "a call or the pass kept its start-up";
    if (cleanup == SOCKET_ERROR) {
        EXPECT_EQ(error, WSANOTINITIALISED);
    }
}

TEST(RedrawSocket, EachCallGivesBackTheOneWindowsSocketsStartUpItTook)
{
    ExpectEveryStartUpGivenBack(false);
}

TEST(RedrawSocket, APassHoldsWindowsSocketsOnlyWhileItRuns)
{
    ExpectEveryStartUpGivenBack(true);
}
#endif

TEST(RedrawPort, OnlyTheLow16BitsOfThePortCount)
{
    ScriptedClient client(AckFrom(0));
    ASSERT_TRUE(client.Start());
    const int32_t p = client.Port();
    size_t calls = 0;
    for (int32_t port : {p + 0x10000, p - 0x10000, p + 0x7fff0000, p + INT32_MIN}) {
        SCOPED_TRACE(port);
        ResetFakePause();
        NotifyRedraw(port);
        calls++;
        EXPECT_EQ(RequestedPauses(), kNoPause);
    }
    EXPECT_EQ(client.Stop().size(), calls);
}

TEST(RedrawPort, MinusOneAddressesPort65535)
{
    ScriptedClient client(AckFrom(0));
    if (!client.Start(65535))
        GTEST_SKIP() << "port 65535 on 127.0.0.1 is taken";
    ResetFakePause();
    NotifyRedraw(-1);
    EXPECT_EQ(client.Stop().size(), 1u);
    EXPECT_EQ(RequestedPauses(), kNoPause);
}

}  // namespace
