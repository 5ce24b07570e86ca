// SPDX-License-Identifier: Apache-2.0
// The typical road, shown: two clients register through real launches, the shell
// announces a new taskbar, each client is asked to redraw and answers, both stop, and
// the helper ends. Prints a transcript.
//
//   demo.exe PATH_OF_HELPER
#include <stdio.h>

#include <string>

#include "tests/tool/harness.h"

using namespace harness;

static std::string Shown(const std::vector<char> &bytes)
{
    std::string s;
    for (char c : bytes)
        s += c == '\0' ? std::string("\\0") : std::string(1, c);
    return s;
}

static Clock::time_point g_start = Clock::now();

static void Say(const std::string &line, Clock::time_point at = Clock::now())
{
    printf("[%6.3f s] %s\n", Seconds(at - g_start), line.c_str());
    fflush(stdout);
}

static void Launch(const std::string &helper, const std::string &command)
{
    Say("$ trayredraw.exe " + command);
    DWORD code = RunCommand(helper, command);
    Say("    launch ended, exit code " + std::to_string(code));
}

int main(int argc, char **argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: demo PATH_OF_HELPER\n");
        return 2;
    }
    std::string helper = WindowsPath(argv[1]);
    if (FindHelper() != nullptr) {
        fprintf(stderr, "demo: a helper is already running on this desktop\n");
        return 1;
    }

    UdpClient a(UdpClient::AckAt(1));
    UdpClient b(UdpClient::AckAt(1));
    Say("client A listens on udp 127.0.0.1:" + std::to_string(a.Port()));
    Say("client B listens on udp 127.0.0.1:" + std::to_string(b.Port()));

    std::string startA = "start " + std::to_string(a.Port());
    Say("$ trayredraw.exe " + startA);
    Process resident = Start(helper, CommandLine(helper, startA).c_str());
    if (WaitForHelper(10000) == nullptr) {
        Say("no helper window appeared");
        Kill(resident);
        return 1;
    }
    Say("    no helper was running: this launch stays resident in a hidden window");
    Launch(helper, "start " + std::to_string(b.Port()));

    Say("shell: the taskbar was created anew; broadcasting \"TaskbarCreated\"");
    BroadcastTaskbarCreated();
    bool served = a.WaitFor(1, 15000) && b.WaitFor(1, 15000);
    Sleep(50);  // let both answers be recorded
    struct {
        const char *name;
        UdpClient *client;
    } clients[] = {{"A", &a}, {"B", &b}};
    for (auto &c : clients) {
        for (const UdpClient::Datagram &d : c.client->Received())
            Say(std::string("client ") + c.name + " received \"" + Shown(d.bytes) + "\" (" +
                std::to_string(d.bytes.size()) + " bytes) from port " +
                std::to_string(d.fromPort) + ", answered \"redrawok\"",
                d.at);
    }

    Launch(helper, "stop " + std::to_string(a.Port()));
    Launch(helper, "stop " + std::to_string(b.Port()));
    DWORD code = 0;
    if (!Wait(resident, 10000, &code)) {
        Say("the helper did not end");
        Kill(resident);
        return 1;
    }
    Say("the last client left: the helper ended with exit code " + std::to_string(code));
    return served && code == 0 ? 0 : 1;
}
