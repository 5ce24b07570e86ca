// SPDX-License-Identifier: Apache-2.0
// The real program, launched as clients launch it, with UDP clients on 127.0.0.1 and
// this test playing the shell and the other programs on the desktop.
//
//   helper_e2e_test.exe PATH_OF_HELPER PATH_OF_REFUSING_BUILD [PATH_OF_OTHER_BUILD]
//                       [GoogleTest flags]
//
// The refusing build is the program with every command's delivery refused
// (tests/e2e/refused_entry.cpp). PATH_OF_OTHER_BUILD is the program built for the other
// architecture: with it, the typical road also runs with one build resident and the
// other launching.
#include <gtest/gtest.h>

#include <string.h>

#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "tests/tool/contract.h"
#include "tests/tool/harness.h"

namespace {

using namespace harness;

std::string g_helper;
std::string g_refused;
std::string g_otherBuild;
std::string g_self;  // this test program, which also plays a launch that holds the lock

const DWORD kQuick = 10000;  // ample for anything that involves no pause

// Run with this argument alone, the test program takes the launch lock, says so
// through the event and waits to be killed: a launch killed while it holds the lock.
const char kHoldLockArgument[] = "--hold-launch-lock";
const char kLockHeldEvent[] = "Local\\trayredraw-e2e.lock-held";

int HoldLaunchLockUntilKilled()
{
    HANDLE lock = CreateMutexA(nullptr, FALSE, contract::kLaunchLock);
    HANDLE held = OpenEventA(EVENT_MODIFY_STATE, FALSE, kLockHeldEvent);
    if (lock == nullptr || held == nullptr)
        return 1;
    DWORD waited = WaitForSingleObject(lock, INFINITE);
    if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED)
        return 1;
    SetEvent(held);
    Sleep(INFINITE);
    return 0;
}

BOOL CALLBACK CountHelperWindow(HWND w, LPARAM counter)
{
    char name[32] = {};
    if (GetClassNameA(w, name, sizeof name) != 0 && strcmp(name, contract::kClassName) == 0)
        ++*reinterpret_cast<int *>(counter);
    return TRUE;
}

// Windows of the helper's class on the desktop.
int HelperWindows()
{
    int count = 0;
    EnumWindows(CountHelperWindow, reinterpret_cast<LPARAM>(&count));
    return count;
}

class Helper : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(FindHelper(), nullptr) << "a helper from elsewhere is running";
    }

    void TearDown() override
    {
        // Whatever a test left running ends here, also when it failed.
        Kill(lockHolder_);
        if (resident_.handle != nullptr) {
            if (window_ != nullptr)
                PostMessageA(window_, WM_CLOSE, 0, 0);
            if (!Wait(resident_, 5000, nullptr))
                Kill(resident_);
        }
    }

    UdpClient &Client(UdpClient::Reply reply = UdpClient::AckAt(1))
    {
        clients_.push_back(std::make_unique<UdpClient>(std::move(reply)));
        return *clients_.back();
    }

    static std::string Port(UdpClient &c) { return std::to_string(c.Port()); }

    // The first client's launch, which stays resident.
    void StartResident(const std::string &commandText, const std::string &program = g_helper)
    {
        resident_ = Start(program, CommandLine(program, commandText).c_str());
        ASSERT_NE(resident_.handle, nullptr);
        window_ = WaitForHelper(kQuick);
        ASSERT_NE(window_, nullptr);
    }

    void Launch(const std::string &commandText, const std::string &program = g_helper)
    {
        EXPECT_EQ(RunCommand(program, commandText, kQuick), 0u) << commandText;
    }

    DWORD HelperExit(DWORD ms = kQuick)
    {
        DWORD code = 12345;
        EXPECT_TRUE(Wait(resident_, ms, &code)) << "the helper did not end";
        return code;
    }

    // A pass, waited for: each client records what reached it.
    void Pass() { SendTaskbarCreated(window_); }

    // From the first start, which stays resident, to the last stop; the other clients'
    // launches are made with `launcher`.
    void TypicalRoad(const std::string &resident, const std::string &launcher)
    {
        UdpClient &a = Client();
        UdpClient &b = Client();
        StartResident("start " + Port(a), resident);
        Launch("start " + Port(b), launcher);

        BroadcastTaskbarCreated();  // as the shell announces a new taskbar
        ASSERT_TRUE(b.WaitFor(1, kQuick));
        ASSERT_EQ(a.Count(), 1u);
        EXPECT_LT(a.Received()[0].at, b.Received()[0].at);
        EXPECT_EQ(a.Received()[0].bytes,
                  std::vector<char>(std::begin(contract::kRequest), std::end(contract::kRequest)));

        Launch("stop " + Port(a), launcher);
        EXPECT_NE(FindHelper(), nullptr);
        Launch("stop " + Port(b), launcher);
        EXPECT_EQ(HelperExit(), 0u);
        EXPECT_EQ(FindHelper(), nullptr);
    }

    // Five starts, each for a client of its own, let go at the same moment: one must
    // become the helper and the others hand it their ports, or a stop later reaches one
    // helper and orphans the rest. `whileTheyRun` runs once they have been let go.
    void FiveStartsLeaveOneHelperServingEveryPort(const std::function<void()> &whileTheyRun)
    {
        std::vector<UdpClient *> clients;
        std::vector<Process> launches;
        for (int i = 0; i < 5; i++) {
            clients.push_back(&Client());
            launches.push_back(Start(g_helper,
                                     CommandLine(g_helper, "start " + Port(*clients.back())).c_str(),
                                     CREATE_SUSPENDED));
        }
        for (Process &p : launches)
            Resume(p);
        whileTheyRun();
        window_ = WaitForHelper(kQuick);
        ASSERT_NE(window_, nullptr);
        DWORD residentId = 0;
        GetWindowThreadProcessId(window_, &residentId);
        std::vector<HANDLE> others;
        for (Process &p : launches) {
            if (p.id == residentId)
                resident_ = p;
            else
                others.push_back(p.handle);
        }
        ASSERT_NE(resident_.handle, nullptr);
        WaitForMultipleObjects(static_cast<DWORD>(others.size()), others.data(), TRUE, kQuick);
        for (Process &p : launches) {
            if (p.id == residentId)
                continue;
            DWORD code = 12345;
            EXPECT_TRUE(Wait(p, 0, &code)) << "a second helper stays resident";
            EXPECT_EQ(code, 0u);
            Kill(p);
        }
        ASSERT_EQ(HelperWindows(), 1);

        Pass();
        for (UdpClient *c : clients)
            EXPECT_EQ(c->Count(), 1u);
        for (UdpClient *c : clients)
            Launch("stop " + Port(*c));
        EXPECT_EQ(HelperExit(), 0u);
        clients_.clear();
        window_ = nullptr;
    }

    // Starts the test program as a launch that holds the lock (HoldLaunchLockUntilKilled)
    // and returns once it does.
    void HoldLaunchLock()
    {
        HANDLE held = CreateEventA(nullptr, TRUE, FALSE, kLockHeldEvent);
        ASSERT_NE(held, nullptr);
        lockHolder_ = Start(g_self, CommandLine(g_self, kHoldLockArgument).c_str());
        DWORD waited = WaitForSingleObject(held, kQuick);
        CloseHandle(held);
        ASSERT_NE(lockHolder_.handle, nullptr);
        ASSERT_EQ(waited, WAIT_OBJECT_0) << "the lock holder did not take the lock";
    }

    std::vector<std::unique_ptr<UdpClient>> clients_;
    Process resident_;
    Process lockHolder_;
    HWND window_ = nullptr;
};

TEST_F(Helper, TypicalRoadFromFirstStartToLastStop)
{
    TypicalRoad(g_helper, g_helper);
}

// A 32-bit helper may be resident when an application launches a 64-bit copy, and
// the other way round: each finds and drives the other.
TEST_F(Helper, TheOtherBuildsLaunchesDriveThisBuildsHelperAndTheReverse)
{
    if (g_otherBuild.empty())
        GTEST_SKIP() << "no program of the other architecture given";
    TypicalRoad(g_helper, g_otherBuild);
    if (HasFatalFailure())
        return;
    clients_.clear();
    TypicalRoad(g_otherBuild, g_helper);
}

// What a client learns when the system does not let its command through (to an
// elevated helper, say): the launch ends with 2 rather than becoming a second helper
// or reporting success.
TEST_F(Helper, ALaunchWhoseCommandIsRefusedExitsWithTwo)
{
    UdpClient &a = Client();
    StartResident("start " + Port(a));
    for (const std::string &text : {std::string("start 702"), "stop " + Port(a)})
        EXPECT_EQ(RunCommand(g_refused, text, kQuick), contract::kExitUndelivered) << text;
}

// A launch that hangs while it holds the lock must not hang every launch after it: the
// wait for the lock is bounded, and a stop without a helper then ends as usual.
TEST_F(Helper, ALaunchGivesUpWaitingForALockHeldByAnotherProcess)
{
    HANDLE lock = CreateMutexA(nullptr, FALSE, contract::kLaunchLock);
    ASSERT_NE(lock, nullptr);
    ASSERT_EQ(WaitForSingleObject(lock, 0), WAIT_OBJECT_0);  // held, as by a hung launch
    Clock::time_point launched = Clock::now();
    DWORD code = RunCommand(g_helper, "stop 701", kQuick);
    double waited = Seconds(Clock::now() - launched);
    ReleaseMutex(lock);
    CloseHandle(lock);
    EXPECT_EQ(code, 0u) << "after " << waited << " s";
}

TEST_F(Helper, LaunchesWithoutAHelperExitAtOnce)
{
    for (const char *text : {"stop 701", "change 701 702", "", "help", "start", "START 701",
                             "Start 701"}) {
        EXPECT_EQ(RunCommand(g_helper, text, kQuick), 0u) << text;
        EXPECT_EQ(FindHelper(), nullptr) << text;
    }
    // Wine hands the program its quoted name when the line is empty.
    EXPECT_EQ(harness::Run(g_helper, "", kQuick), 0u);
    // A line holding only the command: "start" is taken for the program's name.
    EXPECT_EQ(harness::Run(g_helper, "start 701", kQuick), 0u);
    EXPECT_EQ(FindHelper(), nullptr);
}

TEST_F(Helper, AQuotedNameDirectlyFollowedByTheCommandStillCounts)
{
    UdpClient &a = Client();
    resident_ = Start(g_helper, ("\"" + g_helper + "\"start " + Port(a)).c_str());
    window_ = WaitForHelper(kQuick);
    ASSERT_NE(window_, nullptr);
    Pass();
    EXPECT_EQ(a.Count(), 1u);
}

TEST_F(Helper, NoCommandsLeaveTheTableAlone)
{
    UdpClient &a = Client();
    StartResident("start " + Port(a));
    for (const char *text : {"", "help", "start", "stop", "STOP 1", "stop777"})
        Launch(text);
    Pass();
    EXPECT_EQ(a.Count(), 1u);
    EXPECT_NE(FindHelper(), nullptr);
}

TEST_F(Helper, ChangeMovesAClientToItsNewPort)
{
    UdpClient &a = Client();
    UdpClient &b = Client();
    StartResident("start " + Port(a));
    Launch("change  " + Port(a) + " " + Port(b));  // two blanks: a change from a to a
    Pass();
    EXPECT_EQ(a.Count(), 1u);
    EXPECT_EQ(b.Count(), 0u);

    Launch("change " + Port(a) + " " + Port(b));
    Pass();
    EXPECT_EQ(a.Count(), 1u);
    EXPECT_EQ(b.Count(), 1u);
}

TEST_F(Helper, StopRemovesOneOfSeveralAndClosesOnTheLast)
{
    UdpClient &a = Client();
    UdpClient &b = Client();
    StartResident("start " + Port(a));
    Launch("start " + Port(b));
    Launch("stop 777");  // not registered: nothing changes
    Pass();
    EXPECT_EQ(a.Count(), 1u);
    EXPECT_EQ(b.Count(), 1u);

    Launch("stop " + Port(a));
    Pass();
    EXPECT_EQ(a.Count(), 1u);
    EXPECT_EQ(b.Count(), 2u);

    Launch("stop 777");  // the last client leaving closes, whatever port it names
    EXPECT_EQ(HelperExit(), 0u);
}

TEST_F(Helper, APassServesPortsInTableOrderOneAfterAnother)
{
    UdpClient &a = Client(UdpClient::AckAt(2));  // costs one pause
    UdpClient &b = Client();
    UdpClient &c = Client();
    StartResident("start " + Port(a));
    Launch("start " + Port(b));
    Launch("start " + Port(c));
    Pass();
    ASSERT_EQ(a.Count(), 2u);
    ASSERT_EQ(b.Count(), 1u);
    ASSERT_EQ(c.Count(), 1u);
    // Each exchange has ended, with its acknowledgement, before the next begins.
    EXPECT_LT(a.Answers().back(), b.Received()[0].at);
    EXPECT_LT(b.Answers().back(), c.Received()[0].at);
    // Its unanswered first attempt waited out the receive limit, then the pause.
    EXPECT_GE(Seconds(a.Received()[1].at - a.Received()[0].at),
              (contract::kReceiveLimitMs + contract::kPauseMs - 100) / 1000.0);

    Pass();  // nothing changed: everyone is notified again
    EXPECT_EQ(a.Count(), 3u);  // acknowledged at once this time
    EXPECT_EQ(b.Count(), 2u);
    EXPECT_EQ(c.Count(), 2u);
}

TEST_F(Helper, ACommandDuringAPassWaitsInItsLauncher)
{
    UdpClient &a = Client(UdpClient::AckAt(3));  // a pass of two pauses
    UdpClient &b = Client();
    StartResident("start " + Port(a));
    BroadcastTaskbarCreated();
    ASSERT_TRUE(a.WaitFor(1, kQuick));

    Clock::time_point launched = Clock::now();
    Launch("start " + Port(b));
    Clock::time_point returned = Clock::now();
    ASSERT_EQ(a.Answers().size(), 1u);
    EXPECT_GE(returned, a.Answers()[0]) << "the launch ended before the pass";
    EXPECT_GE(Seconds(returned - launched), 1.0);
    EXPECT_EQ(b.Count(), 0u);  // the pass served the ports it began with

    Pass();
    EXPECT_EQ(b.Count(), 1u);  // and the command was applied after it
}

// Applications started together at log-on: five starts let go at the same moment all
// search before any of them has a window.
TEST_F(Helper, StartsThatRaceLeaveOneHelperServingEveryPort)
{
    for (int round = 1; round <= 5 && !HasFatalFailure(); round++) {
        SCOPED_TRACE("round " + std::to_string(round));
        FiveStartsLeaveOneHelperServingEveryPort([] {});
    }
}

// A launch killed while it holds the lock leaves it abandoned, and the system hands it
// to one waiting launch, which then owns it. The starts queued behind the killed one
// must still take their turns: a launch that gave the lock straight back and went on
// searching without it would race the next one into a second helper.
TEST_F(Helper, StartsWaitingForALockLeftByAKilledLaunchStillTakeTurns)
{
    for (int round = 1; round <= 3 && !HasFatalFailure(); round++) {
        SCOPED_TRACE("round " + std::to_string(round));
        HoldLaunchLock();
        if (HasFatalFailure())
            return;
        FiveStartsLeaveOneHelperServingEveryPort([this] {
            // Time for all five to start and queue on the lock (a launch waits up to
            // 5 s); one that comes later only finds the lock taken in turn.
            Sleep(1500);
            Kill(lockHolder_);  // TerminateProcess: the lock is abandoned
        });
    }
}

// What Task Manager and the file's properties show of the resident process, and that
// it runs with the rights of whoever launched it.
TEST_F(Helper, TheProgramDescribesItselfAndAsksForNoElevation)
{
    DWORD unused = 0;
    DWORD size = GetFileVersionInfoSizeA(g_helper.c_str(), &unused);
    ASSERT_GT(size, 0u);
    std::vector<char> info(size);
    ASSERT_TRUE(GetFileVersionInfoA(g_helper.c_str(), 0, size, info.data()));
    auto text = [&info](const char *name) {
        void *value = nullptr;
        UINT length = 0;
        std::string path = std::string("\\StringFileInfo\\040904B0\\") + name;
        if (!VerQueryValueA(info.data(), path.c_str(), &value, &length) || length == 0)
            return std::string("(none)");
        return std::string(static_cast<const char *>(value));
    };
    EXPECT_EQ(text("FileDescription"), "Redraws Java tray icons after Explorer restarts");
    EXPECT_EQ(text("ProductName"), "trayredraw");
    EXPECT_EQ(text("FileVersion"), TRAYREDRAW_VERSION);
    EXPECT_EQ(text("ProductVersion"), TRAYREDRAW_VERSION);
    void *value = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueA(info.data(), "\\", &value, &length));
    const VS_FIXEDFILEINFO *fixed = static_cast<const VS_FIXEDFILEINFO *>(value);
    EXPECT_EQ(std::to_string(HIWORD(fixed->dwFileVersionMS)) + "." +
                  std::to_string(LOWORD(fixed->dwFileVersionMS)) + "." +
                  std::to_string(HIWORD(fixed->dwFileVersionLS)),
              TRAYREDRAW_VERSION);

    HMODULE program = LoadLibraryExA(g_helper.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(program, nullptr);
    HRSRC found = FindResourceA(program, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24));
    std::string manifest;
    if (found != nullptr)
        manifest.assign(static_cast<const char *>(LockResource(LoadResource(program, found))),
                        SizeofResource(program, found));
    FreeLibrary(program);
    EXPECT_NE(manifest.find("<requestedExecutionLevel level=\"asInvoker\""), std::string::npos)
        << manifest;
    // Windows 10 and 11 share one id; without it they run the program as for Vista.
    EXPECT_NE(manifest.find("{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"), std::string::npos);
}

// Another program ends the helper, however many clients are registered.
struct Ending {
    const char *name;
    bool send;
    UINT message;
    WPARAM wParam;
    DWORD exitCode;
};

class EndedByAnotherProgram : public Helper, public ::testing::WithParamInterface<Ending> {};

TEST_P(EndedByAnotherProgram, WithTheExpectedExitCode)
{
    const Ending &e = GetParam();
    UdpClient &a = Client();
    UdpClient &b = Client();
    StartResident("start " + Port(a));
    Launch("start " + Port(b));
    if (e.send)
        SendMessageA(window_, e.message, e.wParam, 0);
    else
        PostMessageA(window_, e.message, e.wParam, 0);
    EXPECT_EQ(HelperExit(), e.exitCode);
}

INSTANTIATE_TEST_SUITE_P(
    Messages, EndedByAnotherProgram,
    ::testing::Values(Ending{"PostedClose", false, WM_CLOSE, 0, 0},
                      Ending{"SentClose", true, WM_CLOSE, 0, 0},
                      // The loop ends at once, without WM_CLOSE or WM_DESTROY.
                      Ending{"QuitWithFive", false, WM_QUIT, 5, 5},
                      // The window still exists; the quit message ends the loop.
                      Ending{"SentDestroy", true, WM_DESTROY, 0, 0}),
    [](const ::testing::TestParamInfo<Ending> &p) { return std::string(p.param.name); });

TEST_F(Helper, TheWindowIsHiddenWithItsTitleAndClassAndIgnoresNull)
{
    UdpClient &a = Client();
    StartResident("start " + Port(a));
    char title[64] = {};
    GetWindowTextA(window_, title, sizeof title);
    EXPECT_STREQ(title, contract::kTitle);
    EXPECT_FALSE(IsWindowVisible(window_));
    EXPECT_EQ(GetClassLongA(window_, GCL_STYLE), static_cast<DWORD>(CS_HREDRAW | CS_VREDRAW));

    SendMessageA(window_, WM_NULL, 0, 0);
    PostMessageA(window_, WM_NULL, 0, 0);
    SendMessageA(window_, WM_NULL, 0, 0);  // the posted one has been handled by now
    EXPECT_EQ(a.Count(), 0u);
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc == 2 && strcmp(argv[1], kHoldLockArgument) == 0)
        return HoldLaunchLockUntilKilled();
    ::testing::InitGoogleTest(&argc, argv);
    if (argc < 3) {
        fprintf(stderr, "usage: %s PATH_OF_HELPER PATH_OF_REFUSING_BUILD [PATH_OF_OTHER_BUILD]\n",
                argv[0]);
        return 2;
    }
    g_helper = WindowsPath(argv[1]);
    g_refused = WindowsPath(argv[2]);
    if (argc > 3)
        g_otherBuild = WindowsPath(argv[3]);
    char self[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, self, sizeof self);
    g_self = self;
    return RUN_ALL_TESTS();
}
