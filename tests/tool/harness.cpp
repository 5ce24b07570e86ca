// SPDX-License-Identifier: Apache-2.0
#include "tests/tool/harness.h"

#include <stdio.h>
#include <string.h>

#include "tests/tool/contract.h"

namespace harness {

namespace {

struct WinsockUser {
    WinsockUser()
    {
        WSADATA wsa;
        WSAStartup(MAKEWORD(2, 2), &wsa);
    }
    ~WinsockUser() { WSACleanup(); }
};

// How often a launch that the system failed to set up is tried in all.
constexpr int kStartAttempts = 3;

// How a launch is named in the harness's reports.
const char *Shown(const std::string &application, const char *commandLine)
{
    return commandLine != nullptr ? commandLine : application.c_str();
}

}  // namespace

std::string WindowsPath(const std::string &path)
{
    if (path.empty() || path[0] != '/')
        return path;
    std::string w = "Z:" + path;
    for (char &c : w) {
        if (c == '/')
            c = '\\';
    }
    return w;
}

HWND FindHelper()
{
    return FindWindowA(contract::kClassName, nullptr);
}

HWND WaitForHelper(DWORD ms)
{
    Clock::time_point end = Clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        HWND w = FindHelper();
        if (w != nullptr || Clock::now() >= end)
            return w;
        Sleep(10);
    }
}

UINT TaskbarCreatedId()
{
    return RegisterWindowMessageA("TaskbarCreated");
}

Process Start(const std::string &application, const char *commandLine, DWORD flags)
{
    Process p;
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    for (int attempt = 1;; attempt++) {
        // CreateProcessA may write into the command line: hand it a fresh copy each time.
        std::vector<char> line;
        if (commandLine != nullptr)
            line.assign(commandLine, commandLine + strlen(commandLine) + 1);
        if (CreateProcessA(application.c_str(), commandLine != nullptr ? line.data() : nullptr,
                           nullptr, nullptr, FALSE, flags, nullptr, nullptr, &si, &pi))
            break;
        // Under Wine, about one launch in a few thousand dies while the system sets it
        // up, before any of the program's own code runs, and CreateProcess fails with
        // ERROR_INTERNAL_ERROR. The program never saw its command, so it is started again;
        // any other failure is the answer.
        DWORD error = GetLastError();
        if (error != ERROR_INTERNAL_ERROR || attempt == kStartAttempts) {
            SetLastError(error);
            return p;
        }
        fprintf(stderr, "harness: %s died while it was set up (error %lu); starting it again\n",
                Shown(application, commandLine), error);
        Sleep(50);
    }
    if ((flags & CREATE_SUSPENDED) != 0)
        p.suspended = pi.hThread;
    else
        CloseHandle(pi.hThread);
    p.handle = pi.hProcess;
    p.id = pi.dwProcessId;
    return p;
}

void Resume(Process &p)
{
    if (p.suspended == nullptr)
        return;
    ResumeThread(p.suspended);
    CloseHandle(p.suspended);
    p.suspended = nullptr;
}

bool Wait(Process &p, DWORD ms, DWORD *exitCode)
{
    if (p.handle == nullptr || WaitForSingleObject(p.handle, ms) != WAIT_OBJECT_0)
        return false;
    DWORD code = 0;
    GetExitCodeProcess(p.handle, &code);
    if (exitCode != nullptr)
        *exitCode = code;
    CloseHandle(p.handle);
    p.handle = nullptr;
    return true;
}

void Kill(Process &p)
{
    if (p.handle == nullptr)
        return;
    // A suspended process is ended as it is: resumed, it might run its command first.
    if (p.suspended != nullptr) {
        CloseHandle(p.suspended);
        p.suspended = nullptr;
    }
    TerminateProcess(p.handle, 77);
    WaitForSingleObject(p.handle, 5000);
    CloseHandle(p.handle);
    p.handle = nullptr;
}

DWORD Run(const std::string &application, const char *commandLine, DWORD ms)
{
    Process p = Start(application, commandLine);
    if (p.handle == nullptr) {
        fprintf(stderr, "harness: could not start %s: error %lu\n",
                Shown(application, commandLine), GetLastError());
        return static_cast<DWORD>(-1);
    }
    DWORD code = 0;
    if (!Wait(p, ms, &code)) {
        fprintf(stderr, "harness: %s did not end within %lu ms\n", Shown(application, commandLine),
                ms);
        Kill(p);
        return static_cast<DWORD>(-1);
    }
    return code;
}

std::string CommandLine(const std::string &application, const std::string &commandText)
{
    return "\"" + application + "\" " + commandText;
}

DWORD RunCommand(const std::string &application, const std::string &commandText, DWORD ms)
{
    return Run(application, CommandLine(application, commandText).c_str(), ms);
}

UdpClient::UdpClient(Reply reply, unsigned short port) : reply_(std::move(reply))
{
    static WinsockUser winsock;
    socket_ = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = inet_addr("127.0.0.1");
    a.sin_port = htons(port);
    bind(socket_, reinterpret_cast<sockaddr *>(&a), sizeof a);
    int len = sizeof a;
    getsockname(socket_, reinterpret_cast<sockaddr *>(&a), &len);
    port_ = ntohs(a.sin_port);
    DWORD timeout = 20;  // how often the loop looks at stop_
    setsockopt(socket_, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char *>(&timeout),
               sizeof timeout);
    thread_ = std::thread([this] { Loop(); });
}

UdpClient::~UdpClient()
{
    stop_ = true;
    thread_.join();
    closesocket(socket_);
}

void UdpClient::Loop()
{
    std::vector<char> buffer(70000);
    while (!stop_) {
        sockaddr_in from = {};
        int fromLength = sizeof from;
        int n = recvfrom(socket_, buffer.data(), static_cast<int>(buffer.size()), 0,
                         reinterpret_cast<sockaddr *>(&from), &fromLength);
        if (n < 0)
            continue;
        Datagram d{Clock::now(), ntohs(from.sin_port),
                   std::vector<char>(buffer.data(), buffer.data() + n)};
        int request;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            received_.push_back(d);
            request = static_cast<int>(received_.size());
        }
        std::vector<char> answer = reply_(request, d.bytes);
        if (!answer.empty()) {
            // Noted before the send, so that whatever the answer sets off elsewhere
            // (the helper's next exchange) is certain to be recorded later.
            {
                std::lock_guard<std::mutex> lock(mutex_);
                answers_.push_back(Clock::now());
            }
            sendto(socket_, answer.data(), static_cast<int>(answer.size()), 0,
                   reinterpret_cast<sockaddr *>(&from), fromLength);
        }
    }
}

std::vector<UdpClient::Datagram> UdpClient::Received()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
}

size_t UdpClient::Count()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return received_.size();
}

bool UdpClient::WaitFor(size_t n, DWORD ms)
{
    Clock::time_point end = Clock::now() + std::chrono::milliseconds(ms);
    while (Count() < n) {
        if (Clock::now() >= end)
            return false;
        Sleep(5);
    }
    return true;
}

std::vector<Clock::time_point> UdpClient::Answers()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return answers_;
}

std::vector<char> UdpClient::Ack()
{
    return std::vector<char>(contract::kAck, contract::kAck + sizeof contract::kAck);
}

UdpClient::Reply UdpClient::AckAt(int n)
{
    return [n](int request, const std::vector<char> &) {
        return request >= n ? Ack() : std::vector<char>();
    };
}

UdpClient::Reply UdpClient::Never()
{
    return [](int, const std::vector<char> &) { return std::vector<char>(); };
}

UdpClient::Reply UdpClient::Bytes(std::vector<char> bytes)
{
    return [bytes](int, const std::vector<char> &) { return bytes; };
}

void SendTaskbarCreated(HWND helper)
{
    SendMessageA(helper, TaskbarCreatedId(), 0, 0);
}

void BroadcastTaskbarCreated()
{
    PostMessageA(HWND_BROADCAST, TaskbarCreatedId(), 0, 0);
}

double Seconds(Clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

}  // namespace harness
