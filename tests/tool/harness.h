// SPDX-License-Identifier: Apache-2.0
// Plays everything around the helper in tests, the demo and the benchmark: the shell
// (its "TaskbarCreated" broadcast), other programs (messages to the helper window,
// launches with exact command lines) and UDP clients on 127.0.0.1 that answer as told
// and record what they receive. Windows only; runs under Wine as on Windows.
#ifndef TESTS_TOOL_HARNESS_H
#define TESTS_TOOL_HARNESS_H

#include <winsock2.h>
#include <windows.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace harness {

using Clock = std::chrono::steady_clock;

// The helper program's Windows path, from a path given in either Unix or Windows form
// (Wine maps "/" to drive Z:).
std::string WindowsPath(const std::string &path);

// The helper's window, or nullptr; WaitForHelper polls until it appears or `ms` pass.
HWND FindHelper();
HWND WaitForHelper(DWORD ms);

// The shell's message id.
UINT TaskbarCreatedId();

// A process started with an exact command line.
struct Process {
    HANDLE handle = nullptr;
    DWORD id = 0;
    HANDLE suspended = nullptr;  // its first thread, while it waits for Resume
};

// Starts `application` with `commandLine` passed byte for byte (nullptr: Windows builds
// it from the name). Returns a process with a null handle on failure; a launch that the
// system failed to set up before the program ran is tried again. `flags` are
// CreateProcess's: CREATE_SUSPENDED holds the process until Resume, so that launches
// can be let go together and race for real.
Process Start(const std::string &application, const char *commandLine, DWORD flags = 0);
void Resume(Process &p);
// Waits up to `ms` for the end; returns true and the exit code if it ended.
bool Wait(Process &p, DWORD ms, DWORD *exitCode);
// Ends a process this harness started and closes its handle (for clean-ups).
void Kill(Process &p);

// Starts and waits: returns the exit code, or -1 (as unsigned) if it did not start or did
// not end in time, which it then says on standard error.
DWORD Run(const std::string &application, const char *commandLine, DWORD ms = 30000);
// The usual launch: "<quoted application> <command text>".
DWORD RunCommand(const std::string &application, const std::string &commandText,
                 DWORD ms = 30000);
std::string CommandLine(const std::string &application, const std::string &commandText);

// A UDP client on 127.0.0.1 that records every datagram it receives and answers
// according to `reply`: given the 1-based number of the request received so far and
// the datagram, it returns the bytes to answer with, or an empty vector for silence.
class UdpClient {
public:
    struct Datagram {
        Clock::time_point at;
        unsigned short fromPort;
        std::vector<char> bytes;
    };
    using Reply = std::function<std::vector<char>(int request, const std::vector<char> &)>;

    // port 0: a free port the system picks.
    explicit UdpClient(Reply reply, unsigned short port = 0);
    ~UdpClient();
    UdpClient(const UdpClient &) = delete;
    UdpClient &operator=(const UdpClient &) = delete;

    unsigned short Port() const { return port_; }
    std::vector<Datagram> Received();
    size_t Count();
    // Waits until `n` datagrams arrived or `ms` passed; tells whether they did.
    bool WaitFor(size_t n, DWORD ms);
    // Moments at which answers were sent.
    std::vector<Clock::time_point> Answers();

    // Ready-made policies.
    static Reply AckAt(int request);  // "redrawok" from the n-th request on
    static Reply Never();             // holds the port, never answers
    static Reply Bytes(std::vector<char> bytes);
    static std::vector<char> Ack();   // "redrawok" and its NUL

private:
    void Loop();

    SOCKET socket_ = INVALID_SOCKET;
    unsigned short port_ = 0;
    Reply reply_;
    std::mutex mutex_;
    std::vector<Datagram> received_;
    std::vector<Clock::time_point> answers_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// Sends the shell's message to the helper and returns once the pass it starts has
// ended (SendMessage), or posts it to every top-level window as the shell does.
void SendTaskbarCreated(HWND helper);
void BroadcastTaskbarCreated();

double Seconds(Clock::duration d);

}  // namespace harness

#endif
