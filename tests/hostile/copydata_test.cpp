// SPDX-License-Identifier: Apache-2.0
// Control messages that no launch would send, from another program on the desktop. The
// helper reads a payload only within its cbData, up to its first NUL; takes a missing or
// empty payload for an empty text (port 0); ignores unknown codes and change texts
// without a blank; does not look at the tag. Each test ends by proving the whole table.
//
// Ports that should never be registered are those of clients that listen: were one
// registered by mistake, the table check would see it notified.
#include <string.h>

#include "tests/hostile/hostile.h"

namespace {

using namespace hostile;

using ForeignControlMessage = HostileHelper;

// `digits` right-aligned in `size` bytes of blanks, no NUL anywhere: the number sits
// in the very last bytes, so only a reader that reaches the end sees all of it.
std::vector<char> NumberAtTheEnd(const std::string &digits, size_t size)
{
    std::vector<char> block(size, ' ');
    memcpy(block.data() + size - digits.size(), digits.data(), digits.size());
    return block;
}

TEST_F(ForeignControlMessage, APayloadOfNoBytesOrNoneAtAllReadsAsPortZero)
{
    UdpClient &a = Client();
    UdpClient &b = Client();
    UdpClient &named = Client();  // its port is in bytes the helper must not read
    UdpClient &c = Client();
    UdpClient &d = Client();
    StartResident("start " + Port(a));
    Forward(kStart, Port(b));  // two clients: no stop can be the last one's

    // No COPYDATASTRUCT at all. Windows delivers lParam 0 and the helper reads an
    // empty text; Wine refuses it in the sender and returns an error status. Stop and
    // change are harmless either way: port 0 is not registered, and there is no blank.
    for (WPARAM code : {kStop, kChange, WPARAM{0}, WPARAM{4}, ~WPARAM{0}})
        SendControl(code, nullptr, 0, kTag, false);
    LRESULT started = SendControl(kStart, nullptr, 0, kTag, false);
    bool delivered = started == 0;
    printf("  [a start without COPYDATASTRUCT: %s (SendMessage returned 0x%lx)]\n",
           delivered ? "delivered" : "refused by the system",
           static_cast<unsigned long>(started));
    Forward(kChange, "0 " + Port(c));  // port 0, if registered, becomes c

    // A payload of no bytes whose pointer leads to text: still an empty text.
    std::string text = Port(named);
    SendControl(kStart, text.c_str(), 0);
    SendControl(kChange, (text + " " + Port(named)).c_str(), 0);  // no blank in 0 bytes
    Forward(kChange, "0 " + Port(d));
    SendControl(kStop, Port(a).c_str(), 0);  // stop 0, which is no longer registered

    if (delivered)
        ExpectTable({&a, &b, &c, &d});
    else
        ExpectTable({&a, &b, &d});
}

TEST_F(ForeignControlMessage, APayloadIsReadUpToItsSizeOrItsFirstNulAndNoFurther)
{
    UdpClient &a = Client();
    UdpClient &named = Client();  // its digits travel, but only the first is sent
    UdpClient &b = Client();
    UdpClient &c = Client();
    UdpClient &d = Client();
    UdpClient &e = Client();
    UdpClient &f = Client();
    StartResident("start " + Port(a));

    // An ignored code with 64 KiB of digits: the memory into which the system copies
    // the next payloads may still hold them, so a reader that ran past a payload's end
    // would read another number.
    std::vector<char> digitsBehind(64 * 1024, '8');
    auto leaveDigitsBehind = [&] {
        SendControl(0, digitsBehind.data(), static_cast<DWORD>(digitsBehind.size()));
    };

    // One byte of a longer number, no NUL: the port is that one digit.
    std::string digits = Port(named);
    leaveDigitsBehind();
    SendControl(kStart, digits.data(), 1);
    Forward(kChange, digits.substr(0, 1) + " " + Port(b));

    // 217 bytes, the number ending in the last one; the byte after it, never sent,
    // would make it another number.
    std::vector<char> block = NumberAtTheEnd(Port(c), kBlock - 1);
    block.push_back('7');
    leaveDigitsBehind();
    SendControl(kStart, block.data(), kBlock - 1);

    // A whole block of 218 bytes without a NUL, and 64 KiB without one.
    block = NumberAtTheEnd(Port(d), kBlock);
    leaveDigitsBehind();
    SendControl(kStart, block.data(), kBlock);
    block = NumberAtTheEnd(Port(e), 64 * 1024);
    SendControl(kStart, block.data(), 64 * 1024);

    // Digits after the first NUL are not part of the text.
    block.assign(kBlock, '9');
    std::string port = Port(f);
    memcpy(block.data(), port.c_str(), port.size() + 1);
    SendControl(kStart, block.data(), kBlock);

    ExpectTable({&a, &b, &c, &d, &e, &f});
    EXPECT_EQ(named.Count(), 0u);
}

TEST_F(ForeignControlMessage, UnknownCodesAreIgnoredAndTheTagIsNotLookedAt)
{
    UdpClient &a = Client();
    UdpClient &ignored = Client();
    UdpClient &tagged = Client();
    StartResident("start " + Port(a));

    for (WPARAM code : {WPARAM{0}, WPARAM{4}, WPARAM{0x101}, ~WPARAM{0}})
        Forward(code, Port(ignored));
    std::vector<char> text = TextZ(Port(tagged));
    SendControl(kStart, text.data(), static_cast<DWORD>(text.size()), 0xDEADBEEF);

    ExpectTable({&a, &tagged});
}

TEST_F(ForeignControlMessage, AChangeWithoutABlankInItsTextIsDropped)
{
    UdpClient &a = Client();
    UdpClient &b = Client();
    UdpClient &target = Client();  // no dropped change may move anyone here
    UdpClient &moved = Client();
    StartResident("start " + Port(a));
    Forward(kStart, Port(b));

    std::string from = Port(a);
    std::string to = Port(target);
    Forward(kChange, from);                 // no second port at all
    Forward(kChange, from + "\t" + to);     // a tab is no blank here
    Forward(kChange, from + "\r\n" + to);
    std::vector<char> block(kBlock, '\0');  // the blank after the NUL
    memcpy(block.data(), from.data(), from.size());
    block[from.size() + 1] = ' ';
    memcpy(block.data() + from.size() + 2, to.data(), to.size());
    SendControl(kChange, block.data(), kBlock);
    std::string whole = from + " " + to;    // the blank just past cbData
    SendControl(kChange, whole.data(), static_cast<DWORD>(from.size()));
    std::vector<char> noNul(kBlock, 'x');  // a whole block, no NUL, no blank
    memcpy(noNul.data(), from.data(), from.size());
    SendControl(kChange, noNul.data(), kBlock);

    Forward(kChange, Port(b) + " " + Port(moved));  // a well-formed one still works
    ExpectTable({&a, &moved});
}

TEST_F(ForeignControlMessage, PostedControlMessagesAreRefusedAndChangeNothing)
{
    UdpClient &a = Client();
    UdpClient &posted = Client();
    UdpClient &c = Client();
    StartResident("start " + Port(a));

    char block[kBlock] = {};
    std::string port = Port(posted);
    memcpy(block, port.data(), port.size());
    COPYDATASTRUCT cds = {kTag, kBlock, block};
    LPARAM lParam = reinterpret_cast<LPARAM>(&cds);
    DWORD thread = GetWindowThreadProcessId(window_, nullptr);

    // A pointer means nothing in another process: the system takes WM_COPYDATA only
    // as a sent message and refuses to queue it, with or without a payload.
    SetLastError(0);
    EXPECT_FALSE(PostMessageA(window_, WM_COPYDATA, kStart, lParam));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MESSAGE_SYNC_ONLY));
    EXPECT_FALSE(PostMessageA(window_, WM_COPYDATA, kStart, 0));  // port 0, were it taken
    EXPECT_FALSE(PostThreadMessageA(thread, WM_COPYDATA, kStart, lParam));
    EXPECT_FALSE(SendNotifyMessageA(window_, WM_COPYDATA, kStart, lParam));
    EXPECT_FALSE(SendMessageCallbackA(window_, WM_COPYDATA, kStart, lParam, nullptr, 0));
    EXPECT_FALSE(PostMessageA(window_, WM_COPYDATA, kStop, lParam));

    SendMessageA(window_, WM_NULL, 0, 0);  // anything queued has been handled by now
    ExpectAlive();
    Forward(kChange, "0 " + Port(c));  // port 0, had it been registered, becomes c
    ExpectTable({&a});
}

}  // namespace
