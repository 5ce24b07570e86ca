// SPDX-License-Identifier: Apache-2.0
// Launches by the hundred, several at once, while the helper serves registered clients
// and passes come and go. Every launcher must end with 0 and no command may be lost or
// applied twice: each launcher works only on its own two ports and leaves one of them
// registered whatever the interleaving, so the final table is known.
#include <mutex>
#include <thread>

#include "tests/hostile/hostile.h"

namespace {

using namespace hostile;

using LaunchStorm = HostileHelper;

// How many launches the storm makes at most, in all phases together. Each launcher's
// share is a first start and whole rounds, so the storm makes just under this.
constexpr int kStormLaunches = 1000;
// Launchers at once, phase after phase; the same launcher keeps its ports across
// phases. Two ports per launcher and two resident clients fill the table exactly.
constexpr int kPhases[] = {2, 3, 4};
constexpr int kMaxLaunchers = 4;
constexpr int kRoundLength = 6;
// A launch waits at most for a pass of acknowledging clients; this only catches hangs.
constexpr DWORD kLaunchLimit = 60000;

int LauncherPhases()
{
    int n = 0;
    for (int launchers : kPhases)
        n += launchers;
    return n;
}

constexpr int RoundsPerShare(int phases)
{
    return (kStormLaunches / phases - 1) / kRoundLength;
}

// One launcher's commands in one phase, from and back to "p registered, q not". Each
// round holds a change that moves, one that is refused (its new port is taken), a
// duplicate start, a stop that removes and one that finds nothing.
std::vector<std::string> Share(const std::string &p, const std::string &q, int rounds)
{
    std::vector<std::string> commands = {"start " + p};  // new, or already there
    for (int r = 0; r < rounds; r++) {
        commands.push_back("change " + p + " " + q);
        commands.push_back("start " + p);
        commands.push_back("change " + q + " " + p);
        commands.push_back("start " + q);
        commands.push_back("stop " + q);
        commands.push_back("stop " + q);
    }
    return commands;
}

struct Failures {
    std::mutex mutex;
    std::vector<std::string> lines;
    void Add(const std::string &line)
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (lines.size() < 20)
            lines.push_back(line);
    }
};

TEST_F(LaunchStorm, EveryLauncherEndsWithZeroAndTheTableIsWhatTheCommandsImply)
{
    UdpClient &a = Client();
    UdpClient &b = Client();
    StartResident("start " + Port(a));
    Launch("start " + Port(b));
    std::vector<UdpClient *> p, q;
    for (int i = 0; i < kMaxLaunchers; i++) {
        p.push_back(&Client());
        q.push_back(&Client());
    }
    Pass();
    ASSERT_EQ(a.Count(), 1u);
    ASSERT_EQ(b.Count(), 1u);
    Usage first = HelperUsage();

    const int rounds = RoundsPerShare(LauncherPhases());
    ASSERT_GT(rounds, 0);
    Failures failures;
    std::atomic<int> launches{0};
    std::atomic<bool> storming{true};
    int passes = 0;
    // Passes meanwhile, as a shell that restarts again and again: launches wait for
    // them inside their SendMessage.
    std::thread shell([&] {
        while (storming) {
            harness::SendTaskbarCreated(window_);
            passes++;
            Sleep(150);
        }
    });

    Clock::time_point begin = Clock::now();
    for (int launchersAtOnce : kPhases) {
        std::vector<std::thread> launchers;
        for (int i = 0; i < launchersAtOnce; i++) {
            launchers.emplace_back([&, i] {
                for (const std::string &text : Share(Port(*p[i]), Port(*q[i]), rounds)) {
                    DWORD code = harness::RunCommand(g_helper, text, kLaunchLimit);
                    launches++;
                    if (code != 0)
                        failures.Add(text + " -> exit " + std::to_string(code));
                }
            });
        }
        for (std::thread &t : launchers)
            t.join();
    }
    double seconds = harness::Seconds(Clock::now() - begin);
    storming = false;
    shell.join();

    printf("  [storm: %d launches by %d, %d, %d launchers at once in %.1f s (%.1f per s), "
           "%d passes meanwhile]\n",
           launches.load(), kPhases[0], kPhases[1], kPhases[2], seconds,
           launches.load() / seconds, passes);
    EXPECT_TRUE(failures.lines.empty()) << [&] {
        std::string s;
        for (const std::string &l : failures.lines)
            s += l + "\n";
        return s;
    }();
    ExpectAlive();

    Usage last = HelperUsage();
    printf("  [helper before the storm: %s]\n  [helper after the storm:  %s]\n",
           Describe(first).c_str(), Describe(last).c_str());
    EXPECT_LE(last.handles, first.handles + 3u);
    EXPECT_LE(last.privateBytes, first.privateBytes + 64u * 1024u);

    // The resident clients heard every pass; each launcher left p registered, q not.
    EXPECT_EQ(a.Count(), 1u + static_cast<size_t>(passes));
    EXPECT_EQ(b.Count(), 1u + static_cast<size_t>(passes));
    ExpectTable({&a, &b, p[0], p[1], p[2], p[3]}, false);
}

}  // namespace
