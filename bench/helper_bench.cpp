// SPDX-License-Identifier: Apache-2.0
// What the resident helper costs next to the least that something of its kind can cost,
// measured inside Wine (or on Windows) with QueryPerformanceCounter:
//   - a forwarded command (a launch "start N" that finds the helper) against a launch of
//     the empty program with the same command line; with --probes, also the launch
//     probes (bench/launch_probe.cpp) that tell where the difference goes;
//   - a notification pass over 1 and over 10 acknowledging clients against plain UDP
//     round trips on 127.0.0.1 to the same clients;
//   - with --slow, a pass over a port without a listener and over a client that never
//     answers (about 14 s each);
//   - where a pass's time goes: bench/exchange_probe.cpp, run against the same clients;
//   - the helper's peak working set against the empty program's.
// Prints one "key value" line per figure for bench/run.sh to lay out; judges nothing.
//
//   helper_bench HELPER BENCH_DIR [--runs N] [--slow] [--probes]
//
// BENCH_DIR holds the empty programs and the probes (the build's bench/ folder).
//
// Every process it starts it also ends: helpers by WM_CLOSE (their own way out) or, if
// that fails, by TerminateProcess on the handle it holds. Those that outlive a single
// measurement also sit in a job that ends them should this program end early.
#include "tests/tool/harness.h"

#include <psapi.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "bench/plain_round_trip.h"
#include "notify/notify.h"

using harness::Clock;

namespace {

double g_ticksPerMs = 1;
HANDLE g_job = nullptr;

double NowMs()
{
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return static_cast<double>(t.QuadPart) / g_ticksPerMs;
}

void MakeJob()
{
    g_job = CreateJobObjectA(nullptr, nullptr);
    if (g_job == nullptr)
        return;
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    SetInformationJobObject(g_job, JobObjectExtendedLimitInformation, &limits,
                            sizeof limits);
}

void KeepInJob(HANDLE process)
{
    if (g_job != nullptr)
        AssignProcessToJobObject(g_job, process);
}

// The figures of one series, printed as "<key>.median" and so on, in milliseconds.
void PrintSeries(const char *key, std::vector<double> ms, int failed)
{
    printf("%s.n %zu\n%s.failed %d\n", key, ms.size(), key, failed);
    if (ms.empty())
        return;
    std::sort(ms.begin(), ms.end());
    const size_t n = ms.size();
    const double median = n % 2 != 0 ? ms[n / 2] : (ms[n / 2 - 1] + ms[n / 2]) / 2;
    printf("%s.min %.4f\n%s.p10 %.4f\n%s.median %.4f\n%s.p90 %.4f\n%s.max %.4f\n", key,
           ms.front(), key, ms[n / 10], key, median, key, ms[(n * 9) / 10], key,
           ms.back());
}

// Why the last failed launch failed, for the figures.
std::string g_lastFailure;

// One launch, from CreateProcessA to the end of the process, in ms; negative if it did
// not start, did not end within 30 s (it is then ended) or exited with a code not 0.
double TimedLaunch(const std::string &application, const std::string &line)
{
    std::vector<char> text(line.begin(), line.end());
    text.push_back('\0');
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    const double start = NowMs();
    if (!CreateProcessA(application.c_str(), text.data(), nullptr, nullptr, FALSE, 0,
                        nullptr, nullptr, &si, &pi)) {
        g_lastFailure = "CreateProcessA_error_" + std::to_string(GetLastError());
        return -1;
    }
    const DWORD waited = WaitForSingleObject(pi.hProcess, 30000);
    const double end = NowMs();
    DWORD code = 0;
    if (waited != WAIT_OBJECT_0) {
        TerminateProcess(pi.hProcess, 77);
        WaitForSingleObject(pi.hProcess, 5000);
        code = 77;
    } else {
        GetExitCodeProcess(pi.hProcess, &code);
    }
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    if (code == 0)
        return end - start;
    char why[32];
    snprintf(why, sizeof why, "exit_code_0x%lx", static_cast<unsigned long>(code));
    g_lastFailure = why;
    return -1;
}

struct Memory {
    unsigned long long peak = 0, workingSet = 0, privateBytes = 0;
};

bool ReadMemory(HANDLE process, Memory *m)
{
    PROCESS_MEMORY_COUNTERS_EX c = {};
    c.cb = sizeof c;
    if (!GetProcessMemoryInfo(process, reinterpret_cast<PROCESS_MEMORY_COUNTERS *>(&c),
                              sizeof c))
        return false;
    m->peak = c.PeakWorkingSetSize;
    m->workingSet = c.WorkingSetSize;
    m->privateBytes = c.PrivateUsage;
    return true;
}

// Reads once the process has settled: at least 300 ms after the call and three reads
// 50 ms apart with the same peak (at most 3 s in all).
bool SettledMemory(HANDLE process, Memory *m)
{
    Sleep(300);
    unsigned long long last = 0;
    int same = 0;
    for (int i = 0; i < 60 && same < 3; i++) {
        if (!ReadMemory(process, m))
            return false;
        same = m->peak == last ? same + 1 : 0;
        last = m->peak;
        Sleep(50);
    }
    return true;
}

void PrintMemory(const char *key, const Memory &m)
{
    printf("%s.peak %llu\n%s.ws %llu\n%s.private %llu\n", key, m.peak, key, m.workingSet,
           key, m.privateBytes);
}

// The resident helper, started as the first client's launch starts it.
class Helper {
public:
    explicit Helper(std::string application) : application_(std::move(application)) {}
    ~Helper() { Stop(); }
    Helper(const Helper &) = delete;
    Helper &operator=(const Helper &) = delete;

    bool Start(unsigned short port)
    {
        const std::string line =
            harness::CommandLine(application_, "start " + std::to_string(port));
        process_ = harness::Start(application_, line.c_str());
        if (process_.handle == nullptr)
            return false;
        KeepInJob(process_.handle);
        window_ = harness::WaitForHelper(10000);
        DWORD owner = 0;
        if (window_ != nullptr)
            GetWindowThreadProcessId(window_, &owner);
        if (owner != process_.id) {
            Stop();
            return false;
        }
        return true;
    }

    // A later client's launch, forwarded to this helper.
    bool Register(unsigned short port)
    {
        return harness::RunCommand(application_, "start " + std::to_string(port), 30000) ==
               0;
    }

    void Stop()
    {
        if (process_.handle == nullptr)
            return;
        // The helper's own way out: WM_CLOSE destroys its window and so ends its loop.
        if (window_ != nullptr)
            PostMessageA(window_, WM_CLOSE, 0, 0);
        if (!harness::Wait(process_, 5000, nullptr))
            harness::Kill(process_);
        window_ = nullptr;
    }

    HWND Window() const { return window_; }
    HANDLE Handle() const { return process_.handle; }

private:
    std::string application_;
    harness::Process process_;
    HWND window_ = nullptr;
};

// A plain request and answer: "redrawtray" and its NUL to a client on 127.0.0.1 over a
// socket kept open, and its answer read back. The least one exchange can cost.
class Requester {
public:
    Requester() : socket_(socket(AF_INET, SOCK_DGRAM, 0)) {}
    ~Requester()
    {
        if (socket_ != INVALID_SOCKET)
            closesocket(socket_);
    }
    Requester(const Requester &) = delete;
    Requester &operator=(const Requester &) = delete;

    bool RoundTrip(unsigned short port) { return PlainRoundTrip(socket_, port); }

private:
    SOCKET socket_;
};

struct Programs {
    std::string helper, empty, emptyCrt, emptyStays, emptyCrtStays;
    std::vector<std::string> probes;  // names, found beside the empty programs
    std::string dir;
};

int g_runs = 200;
const int kWarmUp = 5;  // rounds run first and not counted

void MeasureEmptyMemory(const char *key, const std::string &application)
{
    harness::Process p =
        harness::Start(application, harness::CommandLine(application, "start 1").c_str());
    if (p.handle == nullptr) {
        printf("%s.error could_not_start\n", key);
        return;
    }
    KeepInJob(p.handle);
    Memory m;
    if (SettledMemory(p.handle, &m))
        PrintMemory(key, m);
    harness::Kill(p);
}

// Forwarded commands, empty launches and the probes, interleaved round by round in a
// rotating order, so that whatever else the machine does falls on all of them alike.
bool MeasureLaunches(const Programs &programs, unsigned short port)
{
    harness::UdpClient anchor(harness::UdpClient::AckAt(1));
    Helper helper(programs.helper);
    if (!helper.Start(anchor.Port())) {
        printf("error helper_did_not_start\n");
        return false;
    }
    const std::string text = "start " + std::to_string(port);
    std::vector<std::string> keys = {"launch.forward", "launch.empty", "launch.empty_crt"};
    std::vector<std::string> apps = {programs.helper, programs.empty, programs.emptyCrt};
    for (const std::string &probe : programs.probes) {
        keys.push_back("launch." + probe);
        apps.push_back(programs.dir + probe + ".exe");
    }
    const size_t count = apps.size();
    std::vector<std::vector<double>> ms(count);
    std::vector<int> failed(count);
    for (int round = 0; round < kWarmUp + g_runs; round++) {
        for (size_t k = 0; k < count; k++) {
            const size_t which = (static_cast<size_t>(round) + k) % count;
            const std::string &app = apps[which];
            const double t = TimedLaunch(app, harness::CommandLine(app, text));
            if (round < kWarmUp)
                continue;
            if (t < 0) {
                failed[which]++;
                printf("%s.last_failure %s\n", keys[which].c_str(), g_lastFailure.c_str());
            } else {
                ms[which].push_back(t);
            }
        }
    }
    for (size_t k = 0; k < count; k++)
        PrintSeries(keys[k].c_str(), ms[k], failed[k]);
    Memory m;
    if (ReadMemory(helper.Handle(), &m))
        PrintMemory("memory.helper_after_launches", m);
    return true;
}

// The exchange probe, run against these clients from a process of its own, prints its
// figures into a file that is copied here.
void RunExchangeProbe(const Programs &programs,
                      const std::vector<std::unique_ptr<harness::UdpClient>> &clients)
{
    const std::string probe = programs.dir + "exchange_probe.exe";
    const std::string figures = programs.dir + "exchange-figures.txt";
    DeleteFileA(figures.c_str());
    std::string text = "\"" + figures + "\" " + std::to_string(g_runs);
    for (const auto &client : clients)
        text += " " + std::to_string(client->Port());
    harness::Process p = harness::Start(probe, harness::CommandLine(probe, text).c_str());
    if (p.handle == nullptr) {
        printf("error exchange_probe_did_not_start\n");
        return;
    }
    KeepInJob(p.handle);
    DWORD code = 0;
    if (!harness::Wait(p, 300000, &code)) {
        harness::Kill(p);
        printf("error exchange_probe_did_not_end\n");
        return;
    }
    FILE *in = fopen(figures.c_str(), "r");
    if (in == nullptr) {
        printf("error exchange_probe_wrote_nothing\n");
        return;
    }
    char line[256];
    while (fgets(line, sizeof line, in) != nullptr)
        fputs(line, stdout);
    fclose(in);
}

// Passes over `count` acknowledging clients, each followed by as many plain round trips
// to the same clients. A pass is timed to the moment the last client sent its
// acknowledgement (the clients' timestamps come from steady_clock, which is
// QueryPerformanceCounter under MinGW-w64) and to the return of SendMessage.
bool MeasurePasses(const Programs &programs, int count, const char *key)
{
    std::vector<std::unique_ptr<harness::UdpClient>> clients;
    for (int i = 0; i < count; i++)
        clients.push_back(
            std::make_unique<harness::UdpClient>(harness::UdpClient::AckAt(1)));
    Helper helper(programs.helper);
    if (!helper.Start(clients[0]->Port())) {
        printf("error helper_did_not_start\n");
        return false;
    }
    for (int i = 1; i < count; i++) {
        if (!helper.Register(clients[i]->Port())) {
            printf("error register_failed\n");
            return false;
        }
    }
    {
        Memory m;
        if (SettledMemory(helper.Handle(), &m))
            PrintMemory((std::string("memory.helper_idle_") + key).c_str(), m);
    }
    const UINT taskbarCreated = harness::TaskbarCreatedId();
    Requester requester;
    std::vector<double> toAck, toReturn, plain;
    int passFailed = 0, plainFailed = 0, extraRequests = 0;
    for (int round = 0; round < kWarmUp + g_runs; round++) {
        std::vector<size_t> answersBefore(count), requestsBefore(count);
        for (int i = 0; i < count; i++) {
            answersBefore[i] = clients[i]->Answers().size();
            requestsBefore[i] = clients[i]->Count();
        }
        const Clock::time_point start = Clock::now();
        const double startMs = NowMs();
        SendMessageA(helper.Window(), taskbarCreated, 0, 0);
        const double returnedMs = NowMs();

        // A client records its answer just after sending it: give the record a moment.
        bool allAnswered = true;
        Clock::time_point lastAck = start;
        for (int i = 0; i < count; i++) {
            std::vector<Clock::time_point> answers;
            for (int wait = 0; wait < 200; wait++) {
                answers = clients[i]->Answers();
                if (answers.size() > answersBefore[i])
                    break;
                Sleep(5);
            }
            if (answers.size() <= answersBefore[i]) {
                allAnswered = false;
                continue;
            }
            lastAck = std::max(lastAck, answers[answersBefore[i]]);
            extraRequests += static_cast<int>(clients[i]->Count() - requestsBefore[i]) - 1;
        }

        const double plainStart = NowMs();
        bool plainOk = true;
        for (int i = 0; i < count; i++)
            plainOk = requester.RoundTrip(clients[i]->Port()) && plainOk;
        const double plainMs = NowMs() - plainStart;

        if (round < kWarmUp)
            continue;
        if (allAnswered) {
            toAck.push_back(harness::Seconds(lastAck - start) * 1000);
            toReturn.push_back(returnedMs - startMs);
        } else {
            passFailed++;
        }
        if (plainOk)
            plain.push_back(plainMs);
        else
            plainFailed++;
    }
    if (count > 1)
        RunExchangeProbe(programs, clients);
    PrintSeries((std::string(key) + ".to_last_ack").c_str(), toAck, passFailed);
    PrintSeries((std::string(key) + ".to_return").c_str(), toReturn, passFailed);
    PrintSeries((std::string(key) + ".plain").c_str(), plain, plainFailed);
    printf("%s.extra_requests %d\n", key, extraRequests);
    Memory m;
    if (ReadMemory(helper.Handle(), &m))
        PrintMemory((std::string("memory.helper_after_") + key).c_str(), m);
    return true;
}

// One pass over a single port that never acknowledges, timed to the return of
// SendMessage: the whole cost a notification pass can reach for one such client.
void MeasureSilentPort(const Programs &programs, unsigned short port, const char *key)
{
    Helper helper(programs.helper);
    if (!helper.Start(port)) {
        printf("error helper_did_not_start\n");
        return;
    }
    const double start = NowMs();
    SendMessageA(helper.Window(), harness::TaskbarCreatedId(), 0, 0);
    printf("%s.seconds %.3f\n", key, (NowMs() - start) / 1000);
}

// A port that nobody holds: one the system just handed out and took back.
unsigned short FreePort()
{
    SOCKET s = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = inet_addr("127.0.0.1");
    bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a);
    int length = sizeof a;
    getsockname(s, reinterpret_cast<sockaddr *>(&a), &length);
    closesocket(s);
    return ntohs(a.sin_port);
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc < 3) {
        fprintf(stderr,
                "usage: helper_bench HELPER BENCH_DIR [--runs N] [--slow] [--probes]\n");
        return 2;
    }
    Programs programs;
    programs.helper = harness::WindowsPath(argv[1]);
    programs.dir = harness::WindowsPath(argv[2]);
    if (!programs.dir.empty() && programs.dir.back() != '\\')
        programs.dir += '\\';
    programs.empty = programs.dir + "empty_entry.exe";
    programs.emptyCrt = programs.dir + "empty_crt.exe";
    programs.emptyStays = programs.dir + "empty_entry_stays.exe";
    programs.emptyCrtStays = programs.dir + "empty_crt_stays.exe";
    bool slow = false;
    for (int i = 3; i < argc; i++) {
        if (strcmp(argv[i], "--slow") == 0)
            slow = true;
        else if (strcmp(argv[i], "--probes") == 0)
            programs.probes = {"probe_import", "probe_find",   "probe_user32", "probe_gdi32",
                               "probe_ws2_32", "probe_msvcrt", "probe_all"};
        else if (strcmp(argv[i], "--runs") == 0 && i + 1 < argc)
            g_runs = std::max(1, atoi(argv[++i]));
    }
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    g_ticksPerMs = static_cast<double>(frequency.QuadPart) / 1000;
    WSADATA wsa;
    WSAStartup(MAKEWORD(2, 2), &wsa);
    MakeJob();

    // A helper that is not ours would take the commands meant for the one we start.
    if (harness::FindHelper() != nullptr) {
        printf("error helper_already_running\n");
        return 1;
    }
    printf("runs %d\nqpc.frequency %lld\n", g_runs,
           static_cast<long long>(frequency.QuadPart));
    printf("limits.attempts %d\nlimits.pause_ms %d\nlimits.receive_ms %d\n",
           kRedrawAttempts, kRedrawPauseMs, kReceiveLimitMs);
    fflush(stdout);

    MeasureEmptyMemory("memory.empty", programs.emptyStays);
    MeasureEmptyMemory("memory.empty_crt", programs.emptyCrtStays);
    fflush(stdout);

    harness::UdpClient target(harness::UdpClient::AckAt(1));
    if (!MeasureLaunches(programs, target.Port()))
        return 1;
    fflush(stdout);
    if (!MeasurePasses(programs, 1, "pass1") || !MeasurePasses(programs, 10, "pass10"))
        return 1;
    fflush(stdout);

    if (slow) {
        MeasureSilentPort(programs, FreePort(), "nolistener");
        fflush(stdout);
        harness::UdpClient hung(harness::UdpClient::Never());
        MeasureSilentPort(programs, hung.Port(), "hung");
        printf("hung.requests %zu\n", hung.Count());
    }
    printf("done 1\n");
    fflush(stdout);
    if (g_job != nullptr)
        CloseHandle(g_job);
    WSACleanup();
    return 0;
}
