// SPDX-License-Identifier: Apache-2.0
// The hostile-peer and wear suite against the real program.
//
//   hostile_test.exe PATH_OF_HELPER [--wine-log=PATH] [GoogleTest flags]
//
// --wine-log names the file that receives this program's standard error (and so its
// children's, the helper's among them) while Wine runs with WINEDEBUG=-all,err+seh;
// run_logged.sh sets that up. With it, every test fails on an exception report that
// appeared while it ran. The one case that takes minutes is disabled; run it with
//   --gtest_also_run_disabled_tests --gtest_filter='*TenHung*'
#include <stdio.h>
#include <string.h>

#include "tests/hostile/hostile.h"

namespace {

using namespace hostile;

// The suite's only evidence of a swallowed fault is Wine's report: show that a fault
// in another program's window procedure, during a sent message, does reach the log.
TEST(ExceptionWatch, AFaultInAnotherProgramsSentMessageReachesTheLog)
{
    if (g_wineLog.empty())
        GTEST_SKIP() << "no --wine-log: exception reports are not collected";
    long long offset = WineLogSize();

    char self[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, self, sizeof self);
    std::string line = harness::CommandLine(self, kFaultProbeFlag);
    harness::Process probe = harness::Start(self, line.c_str());
    ASSERT_NE(probe.handle, nullptr);
    HWND window = nullptr;
    for (int i = 0; i < 500 && window == nullptr; i++) {
        window = FindWindowA(kFaultProbeClass, nullptr);
        if (window == nullptr)
            Sleep(10);
    }
    EXPECT_NE(window, nullptr);
    std::string errors;
    if (window != nullptr) {
        SendMessageA(window, WM_USER, 0, 0);
        EXPECT_NE(WaitForSingleObject(probe.handle, 0), WAIT_OBJECT_0)
            << "the fault was expected to be swallowed";
        for (int i = 0; i < 300 && errors.empty(); i++) {
            errors += ErrorLines(ReadWineLog(&offset));
            if (errors.empty())
                Sleep(10);
        }
        PostMessageA(window, WM_CLOSE, 0, 0);
    }
    if (!harness::Wait(probe, 5000, nullptr))
        harness::Kill(probe);
    EXPECT_FALSE(errors.empty()) << "no exception report reached " << g_wineLog;
    printf("  [report seen: %s]\n", errors.c_str());
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc >= 2 && strcmp(argv[1], kFaultProbeFlag) == 0)
        return RunFaultProbe();
    ::testing::InitGoogleTest(&argc, argv);
    const char *logFlag = "--wine-log=";
    std::vector<std::string> rest;
    for (int i = 1; i < argc; i++) {
        if (strncmp(argv[i], logFlag, strlen(logFlag)) == 0)
            g_wineLog = harness::WindowsPath(argv[i] + strlen(logFlag));
        else
            rest.push_back(argv[i]);
    }
    if (rest.empty()) {
        fprintf(stderr, "usage: %s PATH_OF_HELPER [--wine-log=PATH]\n", argv[0]);
        return 2;
    }
    g_helper = harness::WindowsPath(rest[0]);
    if (g_wineLog.empty())
        printf("Exception reports are not collected (no --wine-log).\n");
    return RUN_ALL_TESTS();
}
