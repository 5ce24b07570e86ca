// SPDX-License-Identifier: Apache-2.0
// The launch decision and forwarded commands through real windows of the helper's
// class, in one process: what a launch sends (code, tag, length, block) and what the
// helper's window procedure makes of it.
#include <gtest/gtest.h>

#include <windows.h>

#include <string.h>

#include <string>
#include <thread>
#include <vector>

#include "control/command_text.h"
#include "control/control.h"
#include "host/tray_window.h"
#include "registry/port_table.h"
#include "tests/tool/contract.h"

namespace {

using V = std::vector<int32_t>;

V Table()
{
    return V(g_portTable.ports, g_portTable.ports + g_portTable.count);
}

struct Received {
    int count = 0;
    WPARAM code = 0;
    ULONG_PTR tag = 0;
    DWORD size = 0;
    std::vector<char> block;
};
Received g_received;

LRESULT CALLBACK RecordingWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_COPYDATA) {
        const COPYDATASTRUCT *cds = reinterpret_cast<const COPYDATASTRUCT *>(lParam);
        g_received.count++;
        g_received.code = wParam;
        g_received.tag = cds->dwData;
        g_received.size = cds->cbData;
        const char *data = static_cast<const char *>(cds->lpData);
        g_received.block.assign(data, data + cds->cbData);
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

// Plays a resident helper that only records what launches send it.
class Launch : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_received = Received();
        WNDCLASSA wc = {};
        wc.lpfnWndProc = RecordingWndProc;
        wc.hInstance = GetModuleHandleA(nullptr);
        wc.lpszClassName = contract::kClassName;
        ASSERT_NE(RegisterClassA(&wc), 0);
    }
    void TearDown() override
    {
        if (window_ != nullptr)
            DestroyWindow(window_);
        UnregisterClassA(contract::kClassName, GetModuleHandleA(nullptr));
    }
    void StartRecordingHelper()
    {
        window_ = CreateWindowExA(0, contract::kClassName, "recorder", WS_OVERLAPPEDWINDOW,
                                  0, 0, 0, 0, nullptr, nullptr, GetModuleHandleA(nullptr),
                                  nullptr);
        ASSERT_NE(window_, nullptr);
    }
    void ExpectForwarded(WPARAM code, const std::string &argument)
    {
        ASSERT_EQ(g_received.count, 1);
        EXPECT_EQ(g_received.code, code);
        EXPECT_EQ(g_received.tag, contract::kTag);
        EXPECT_EQ(g_received.size, contract::kBlock);
        ASSERT_EQ(g_received.block.size(), contract::kBlock);
        std::vector<char> expected(contract::kBlock, '\0');
        memcpy(expected.data(), argument.data(), argument.size());
        EXPECT_EQ(g_received.block, expected);
    }

    HWND window_ = nullptr;
};

// Whether another launch could take the lock that makes search and creation one step.
// Asked from another thread, which a mutex keeps out like another process. The handle
// stays open so that the lock outlives the launch's own handle: a lock closed but never
// released would still be held.
bool LaunchLockIsFree()
{
    static HANDLE lock = CreateMutexA(nullptr, FALSE, contract::kLaunchLock);
    bool free = false;
    std::thread other([&free] {
        free = WaitForSingleObject(lock, 0) == WAIT_OBJECT_0;
        if (free)
            ReleaseMutex(lock);
    });
    other.join();
    return free;
}

TEST_F(Launch, StartWithoutAHelperBecomesTheHelperWithItsPortHoldingTheLockMeanwhile)
{
    AddPort(5);  // whatever the table held, every launch starts from an empty one
    EXPECT_EQ(HandleCommandLine("start 701"), kLaunchBecomeHelper);
    EXPECT_EQ(Table(), V{701});
    // Until its window exists, other launches wait rather than find none.
    EXPECT_FALSE(LaunchLockIsFree());
    EndLaunch();
    EXPECT_TRUE(LaunchLockIsFree());
    EXPECT_EQ(HandleCommandLine("start  -1"), kLaunchBecomeHelper);
    EXPECT_EQ(Table(), V{-1});
    EndLaunch();
}

TEST_F(Launch, EverythingElseWithoutAHelperExitsAtOnceAndFreesTheLock)
{
    for (const char *text : {"stop 701", "change 701 702", "", "help", "start", "START 701"}) {
        AddPort(5);
        EXPECT_EQ(HandleCommandLine(text), kLaunchDone) << text;
        EXPECT_EQ(Table(), V{}) << text;
        EXPECT_TRUE(LaunchLockIsFree()) << text;
    }
    EXPECT_EQ(HandleCommandLine(nullptr), kLaunchDone);
}

TEST_F(Launch, StartIsForwardedWithItsWholeArgumentText)
{
    StartRecordingHelper();
    EXPECT_EQ(HandleCommandLine("start 702 extra"), kLaunchDone);
    ExpectForwarded(contract::kStart, "702 extra");
    EXPECT_EQ(Table(), V{702});  // the launch's own table, discarded as it exits
    EXPECT_TRUE(LaunchLockIsFree());
}

TEST_F(Launch, ChangeAndStopAreForwardedWithTheirCodes)
{
    StartRecordingHelper();
    EXPECT_EQ(HandleCommandLine("change  701 800"), kLaunchDone);
    ExpectForwarded(contract::kChange, " 701 800");
    g_received = Received();
    EXPECT_EQ(HandleCommandLine("stop 701"), kLaunchDone);
    ExpectForwarded(contract::kStop, "701");
    EXPECT_EQ(Table(), V{});
}

TEST_F(Launch, ALongArgumentIsCutTo217Bytes)
{
    StartRecordingHelper();
    std::string text = "stop " + std::string(300, '9');
    EXPECT_EQ(HandleCommandLine(text.c_str()), kLaunchDone);
    ExpectForwarded(contract::kStop, std::string(contract::kBlock - 1, '9'));
}

TEST_F(Launch, NoCommandSendsNothingEvenWithAHelper)
{
    StartRecordingHelper();
    for (const char *text : {"", "help", "start", "Start 701", "stop", "701"})
        EXPECT_EQ(HandleCommandLine(text), kLaunchDone) << text;
    EXPECT_EQ(g_received.count, 0);
}

// A helper that the system does not let a launch reach, played by stand-ins for the
// window search and the send: each search returns the next of `found`, each send
// leaves the next of `errors` as the last error.
struct Link {
    std::vector<HWND> found;
    std::vector<DWORD> errors;
    size_t searches = 0;
    size_t sends = 0;
};
Link g_link;

HWND WINAPI StandInFind(LPCSTR, LPCSTR)
{
    return g_link.searches < g_link.found.size() ? g_link.found[g_link.searches++] : nullptr;
}

LRESULT WINAPI StandInSend(HWND, UINT, WPARAM, LPARAM)
{
    SetLastError(g_link.sends < g_link.errors.size() ? g_link.errors[g_link.sends++] : 0);
    return 0;
}

class UnreachableHelper : public ::testing::Test {
protected:
    void SetUp() override { g_helperLink = {StandInFind, StandInSend}; }
    void TearDown() override
    {
        g_helperLink = {};
        EndLaunch();
    }
    // One launch against the stand-ins; tells what it decided.
    LaunchOutcome Run(const char *text, std::vector<HWND> found, std::vector<DWORD> errors)
    {
        g_link = Link{std::move(found), std::move(errors)};
        return HandleCommandLine(text);
    }

    HWND helper_ = reinterpret_cast<HWND>(0x10010);
    HWND another_ = reinterpret_cast<HWND>(0x10020);
};

TEST_F(UnreachableHelper, ARefusedCommandIsReportedAndNotRetried)
{
    // User-interface privilege isolation shuts an elevated helper to this launch.
    for (const char *text : {"start 702", "stop 701", "change 701 702"}) {
        EXPECT_EQ(Run(text, {helper_}, {ERROR_ACCESS_DENIED}), kLaunchUndelivered) << text;
        EXPECT_EQ(g_link.searches, 1u) << text;
        EXPECT_EQ(g_link.sends, 1u) << text;
    }
}

TEST_F(UnreachableHelper, AHelperThatClosedBeforeTheSendIsLookedForOnceMore)
{
    // None any more: a start becomes the helper with its port, the others have nothing
    // to act on.
    EXPECT_EQ(Run("start 702", {helper_, nullptr}, {ERROR_INVALID_WINDOW_HANDLE}),
              kLaunchBecomeHelper);
    EXPECT_EQ(Table(), V{702});
    EXPECT_FALSE(LaunchLockIsFree());
    EndLaunch();
    for (const char *text : {"stop 701", "change 701 702"}) {
        EXPECT_EQ(Run(text, {helper_, nullptr}, {ERROR_INVALID_WINDOW_HANDLE}), kLaunchDone);
        EXPECT_EQ(g_link.searches, 2u) << text;
    }
    // A new helper in its place gets the command.
    EXPECT_EQ(Run("stop 701", {helper_, another_}, {ERROR_INVALID_WINDOW_HANDLE, 0}),
              kLaunchDone);
    EXPECT_EQ(g_link.sends, 2u);
    // Vanishing twice is not waited out for ever.
    EXPECT_EQ(Run("stop 701", {helper_, another_, another_},
                  {ERROR_INVALID_WINDOW_HANDLE, ERROR_INVALID_WINDOW_HANDLE}),
              kLaunchUndelivered);
    EXPECT_EQ(g_link.sends, 2u);
    EXPECT_TRUE(LaunchLockIsFree());
}

// The real window procedure, reached with SendMessageA as a launch reaches it.
class HelperWindow : public ::testing::Test {
protected:
    void SetUp() override
    {
        ClearPorts();
        AddPort(701);
        window_ = CreateHelperWindow(GetModuleHandleA(nullptr));
        ASSERT_NE(window_, nullptr);
    }
    void TearDown() override
    {
        if (IsWindow(window_))
            DestroyWindow(window_);
        Drain();
        UnregisterClassA(contract::kClassName, GetModuleHandleA(nullptr));
    }
    LRESULT Send(WPARAM code, const void *data, DWORD size, ULONG_PTR tag = contract::kTag)
    {
        COPYDATASTRUCT cds = {tag, size, const_cast<void *>(data)};
        return SendMessageA(window_, WM_COPYDATA, code, reinterpret_cast<LPARAM>(&cds));
    }
    LRESULT Send(WPARAM code, const char *text)
    {
        char block[kPayloadSize];
        BuildPayload(text, block);
        return Send(code, block, sizeof block);
    }
    // Handles what is queued; tells whether the quit message came, and with which code.
    bool Drain(WPARAM *quitCode = nullptr)
    {
        bool quit = false;
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_QUIT) {
                quit = true;
                if (quitCode != nullptr)
                    *quitCode = msg.wParam;
                continue;
            }
            DispatchMessageA(&msg);
        }
        return quit;
    }

    HWND window_ = nullptr;
};

TEST_F(HelperWindow, HasTheHelpersClassTitleAndStaysHidden)
{
    EXPECT_EQ(FindWindowA(contract::kClassName, nullptr), window_);
    char title[64] = {};
    GetWindowTextA(window_, title, sizeof title);
    EXPECT_STREQ(title, contract::kTitle);
    EXPECT_FALSE(IsWindowVisible(window_));
    EXPECT_EQ(GetClassLongA(window_, GCL_STYLE), static_cast<DWORD>(CS_HREDRAW | CS_VREDRAW));
    EXPECT_EQ(TaskbarCreatedMsg, RegisterWindowMessageA("TaskbarCreated"));
}

TEST_F(HelperWindow, AppliesStartChangeAndStopAndAnswersZero)
{
    EXPECT_EQ(Send(contract::kStart, "702"), 0);
    EXPECT_EQ(Send(contract::kChange, "701 800"), 0);
    EXPECT_EQ(Send(contract::kStop, "702"), 0);
    EXPECT_EQ(Table(), V{800});
    EXPECT_FALSE(Drain());
    EXPECT_TRUE(IsWindow(window_));
}

TEST_F(HelperWindow, StopOfTheLastClientClosesEvenIfAStartComesFirst)
{
    Send(contract::kStop, "777");
    // Handled before the queued close request: it does not withdraw it.
    Send(contract::kStart, "702");
    WPARAM code = 99;
    EXPECT_TRUE(Drain(&code));
    EXPECT_EQ(code, 0u);
    EXPECT_FALSE(IsWindow(window_));
    EXPECT_EQ(Table(), (V{701, 702}));
}

TEST_F(HelperWindow, ReadsOddPayloadsOnlyWithinTheirBounds)
{
    // Each payload sits at the very end of a committed page, followed by one that is
    // not accessible: reading a byte past cbData would fault.
    SYSTEM_INFO si;
    GetSystemInfo(&si);
    char *pages = static_cast<char *>(
        VirtualAlloc(nullptr, 2 * si.dwPageSize, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    ASSERT_NE(pages, nullptr);
    DWORD old;
    ASSERT_TRUE(VirtualProtect(pages + si.dwPageSize, si.dwPageSize, PAGE_NOACCESS, &old));
    char *end = pages + si.dwPageSize;

    memcpy(end - 3, "702", 3);  // no NUL
    Send(contract::kStart, end - 3, 3);
    memcpy(end - 7, "702 703", 7);  // a change with no NUL after the new port
    Send(contract::kChange, end - 7, 7);
    memcpy(end - 3, "701", 3);  // a change with no blank: ignored
    Send(contract::kChange, end - 3, 3);
    Send(contract::kStart, nullptr, 0);  // no payload at all: an empty text, port 0
    Send(7, end - 3, 3);  // an unknown code
    Send(contract::kStart, "704", 4, 0xBADu);  // the tag is not checked
    VirtualFree(pages, 0, MEM_RELEASE);
    EXPECT_EQ(Table(), (V{701, 703, 0, 704}));
    EXPECT_TRUE(IsWindow(window_));
}

TEST_F(HelperWindow, NullNeverStartsAPassAndCloseDestroys)
{
    // 0 is not the registered id, so WM_NULL goes to the default handling only.
    EXPECT_EQ(SendMessageA(window_, WM_NULL, 0, 0), 0);
    EXPECT_EQ(SendMessageA(window_, WM_CLOSE, 0, 0), 0);
    EXPECT_FALSE(IsWindow(window_));
    WPARAM code = 99;
    EXPECT_TRUE(Drain(&code));
    EXPECT_EQ(code, 0u);
}

}  // namespace
