// SPDX-License-Identifier: Apache-2.0
// The helper among hostile and careless peers: other programs that send it malformed
// control messages, launches by the hundred, junk on the wire, clients that answer late
// or never; and what the helper holds (handles, private memory) after long use.
//
// Every test runs the real program and ends it itself. Under Wine, a fault inside the
// helper's window procedure while it handles a sent message is swallowed and the
// process lives on; run with exception reports on (run_logged.sh), each test also fails
// on any report that appeared while it ran.
#ifndef TESTS_HOSTILE_HOSTILE_H
#define TESTS_HOSTILE_HOSTILE_H

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "tests/tool/contract.h"
#include "tests/tool/harness.h"
#include "tests/unit/udp_peer.h"

namespace hostile {

using harness::Clock;
using harness::UdpClient;

// Set by main(): the helper's Windows path, and where Wine's exception reports are
// collected (empty: not collected).
extern std::string g_helper;
extern std::string g_wineLog;

// Ample for anything that involves no pause, and for one hung client's pass.
inline constexpr DWORD kQuick = 10000;
inline constexpr DWORD kOneHungPass = 60000;

// The command codes as they travel in wParam, the tag launches put in dwData, the
// block's size and the table's.
using contract::kBlock;
using contract::kChange;
using contract::kMaxPorts;
using contract::kStart;
using contract::kStop;
using contract::kTag;

// What the helper process holds, as another program sees it.
struct Usage {
    DWORD handles = 0;
    SIZE_T privateBytes = 0;
    const char *handleSource = "";
    const char *memorySource = "";
};
bool MeasureUsage(DWORD processId, Usage *usage);
std::string Describe(const Usage &u);

// A third program on 127.0.0.1 that sends datagrams where it likes.
class Stray {
public:
    Stray() { socket_.Bind(0); }
    unsigned short Port() const { return socket_.Port(); }
    bool SendTo(unsigned short port, const std::vector<char> &bytes)
    {
        return socket_.SendTo(std::string(bytes.begin(), bytes.end()), port);
    }

private:
    UdpSocket socket_;
};

// The bytes of a request as the helper sends it: "redrawtray" and its NUL.
std::vector<char> Request();
std::vector<char> Text(const std::string &s);  // without a NUL
std::vector<char> TextZ(const std::string &s);  // with its NUL

// The requests a client received from the helper, leaving out anything a third
// program sent it.
std::vector<UdpClient::Datagram> HelperRequests(UdpClient &c, unsigned short strayPort);

// One resident helper per test, started as the first client's launch, and the UDP
// clients around it.
class HostileHelper : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    UdpClient &Client(UdpClient::Reply reply = UdpClient::AckAt(1));
    static std::string Port(UdpClient &c) { return std::to_string(c.Port()); }

    void StartResident(const std::string &commandText);
    void Launch(const std::string &commandText, DWORD ms = kQuick);

    // The control message a launch sends: code, tag, the 218-byte block holding the
    // text, its NUL and zeros.
    void Forward(WPARAM code, const std::string &text);
    // Any control message at all: `data` and `size` go into the COPYDATASTRUCT as they
    // are; without `withStruct` lParam is 0. Returns what SendMessage returned.
    LRESULT SendControl(WPARAM code, const void *data, DWORD size, ULONG_PTR tag = kTag,
                        bool withStruct = true);

    // A pass, waited for; returns how long it took.
    double Pass();

    // Fails the test unless the helper process still runs with its window; tells
    // whether it does.
    bool ExpectAlive();

    // Proves that the helper's table holds exactly `expected`, in this order unless
    // `ordered` is false: fills the free slots with acknowledging clients, offers one
    // more, and runs a pass. Every expected client and every filler must get exactly
    // one request, in table order, the extra one none (the table was full), and no
    // other client of this test any. An entry nobody expected takes a filler's slot
    // and shows that way, even when no one listens on its port. Leaves the table full.
    void ExpectTable(const std::vector<UdpClient *> &expected, bool ordered = true);

    Usage HelperUsage();

    std::vector<std::unique_ptr<UdpClient>> clients_;
    harness::Process resident_;
    HWND window_ = nullptr;

private:
    void CheckWineLog();
    long long logOffset_ = 0;
};

// The Wine log: what appeared since `offset`; moves `offset` to the end.
std::string ReadWineLog(long long *offset);
long long WineLogSize();
// The lines of `text` that report an error.
std::string ErrorLines(const std::string &text);

// The program's second role, for the check that exception reports reach this suite: a
// window of its own class that faults on WM_USER.
inline constexpr char kFaultProbeFlag[] = "--fault-probe";
inline constexpr char kFaultProbeClass[] = "HostileFaultProbe";
int RunFaultProbe();

}  // namespace hostile

#endif
