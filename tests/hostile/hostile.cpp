// SPDX-License-Identifier: Apache-2.0
#include "tests/hostile/hostile.h"

#include <psapi.h>
#include <string.h>

#include <algorithm>
#include <iterator>
#include <sstream>

namespace hostile {

std::string g_helper;
std::string g_wineLog;

namespace {

// One entry of the system's handle table (SystemExtendedHandleInformation).
struct HandleEntry {
    void *object;
    ULONG_PTR processId;
    ULONG_PTR handle;
    ULONG access;
    USHORT creatorBackTraceIndex;
    USHORT objectTypeIndex;
    ULONG attributes;
    ULONG reserved;
};
struct HandleTable {
    ULONG_PTR count;
    ULONG_PTR reserved;
    HandleEntry entries[1];
};
constexpr ULONG kSystemExtendedHandleInformation = 64;
constexpr LONG kInfoLengthMismatch = static_cast<LONG>(0xC0000004L);

// Counts the process's entries in the system's handle table. Wine answers
// GetProcessHandleCount for another process with 0, but its server knows every handle.
bool CountHandlesInSystemTable(DWORD processId, DWORD *count)
{
    typedef LONG(WINAPI * QueryFn)(ULONG, void *, ULONG, ULONG *);
    QueryFn query = reinterpret_cast<QueryFn>(reinterpret_cast<void (*)(void)>(
        GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQuerySystemInformation")));
    if (query == nullptr)
        return false;
    std::vector<char> buffer(1 << 16);
    LONG status;
    for (;;) {
        ULONG needed = 0;
        status = query(kSystemExtendedHandleInformation, buffer.data(),
                       static_cast<ULONG>(buffer.size()), &needed);
        if (status != kInfoLengthMismatch || buffer.size() >= (64u << 20))
            break;
        buffer.resize(std::max<size_t>(buffer.size() * 2, needed + 4096));
    }
    if (status != 0)
        return false;
    const HandleTable *table = reinterpret_cast<const HandleTable *>(buffer.data());
    DWORD n = 0;
    for (ULONG_PTR i = 0; i < table->count; i++) {
        if (table->entries[i].processId == processId)
            n++;
    }
    *count = n;
    return true;
}

}  // namespace

bool MeasureUsage(DWORD processId, Usage *usage)
{
    HANDLE p = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, processId);
    if (p == nullptr)
        return false;
    Usage u;
    DWORD handles = 0;
    bool ok = GetProcessHandleCount(p, &handles) != FALSE;
    u.handles = handles;
    u.handleSource = "GetProcessHandleCount";
    // A live process holds handles; none means the count is not really known.
    if (ok && handles == 0 && CountHandlesInSystemTable(processId, &handles)) {
        u.handles = handles;
        u.handleSource = "system handle table";
    }
    PROCESS_MEMORY_COUNTERS_EX m = {};
    m.cb = sizeof m;
    ok = GetProcessMemoryInfo(p, reinterpret_cast<PROCESS_MEMORY_COUNTERS *>(&m), sizeof m) &&
         ok;
    u.privateBytes = m.PrivateUsage;
    u.memorySource = "PrivateUsage";
    // Wine leaves PrivateUsage at zero and reports the process's anonymous memory as
    // PagefileUsage, which on Windows equals PrivateUsage.
    if (m.PrivateUsage == 0) {
        u.privateBytes = m.PagefileUsage;
        u.memorySource = "PagefileUsage";
    }
    CloseHandle(p);
    *usage = u;
    return ok;
}

std::string Describe(const Usage &u)
{
    std::ostringstream s;
    s << u.handles << " handles (" << u.handleSource << "), " << u.privateBytes
      << " private bytes (" << u.memorySource << ")";
    return s.str();
}

std::vector<char> Request()
{
    return std::vector<char>(std::begin(contract::kRequest), std::end(contract::kRequest));
}

std::vector<char> Text(const std::string &s)
{
    return std::vector<char>(s.begin(), s.end());
}

std::vector<char> TextZ(const std::string &s)
{
    return std::vector<char>(s.c_str(), s.c_str() + s.size() + 1);
}

std::vector<UdpClient::Datagram> HelperRequests(UdpClient &c, unsigned short strayPort)
{
    std::vector<UdpClient::Datagram> out;
    for (const UdpClient::Datagram &d : c.Received()) {
        if (d.fromPort != strayPort && d.bytes == Request())
            out.push_back(d);
    }
    return out;
}

void HostileHelper::SetUp()
{
    ASSERT_EQ(harness::FindHelper(), nullptr) << "a helper from elsewhere is running";
    logOffset_ = WineLogSize();
}

void HostileHelper::TearDown()
{
    // Whatever a test left running ends here, also when it failed.
    if (resident_.handle != nullptr) {
        if (window_ != nullptr)
            PostMessageA(window_, WM_CLOSE, 0, 0);
        if (!harness::Wait(resident_, 5000, nullptr))
            harness::Kill(resident_);
    }
    CheckWineLog();
}

void HostileHelper::CheckWineLog()
{
    std::string errors = ErrorLines(ReadWineLog(&logOffset_));
    EXPECT_TRUE(errors.empty()) << "Wine reported exceptions while this test ran:\n"
                                << errors;
}

UdpClient &HostileHelper::Client(UdpClient::Reply reply)
{
    clients_.push_back(std::make_unique<UdpClient>(std::move(reply)));
    return *clients_.back();
}

void HostileHelper::StartResident(const std::string &commandText)
{
    resident_ = harness::Start(g_helper, harness::CommandLine(g_helper, commandText).c_str());
    ASSERT_NE(resident_.handle, nullptr);
    window_ = harness::WaitForHelper(kQuick);
    ASSERT_NE(window_, nullptr);
}

void HostileHelper::Launch(const std::string &commandText, DWORD ms)
{
    EXPECT_EQ(harness::RunCommand(g_helper, commandText, ms), 0u) << commandText;
}

void HostileHelper::Forward(WPARAM code, const std::string &text)
{
    char block[kBlock] = {};
    memcpy(block, text.data(), std::min<size_t>(text.size(), kBlock - 1));
    SendControl(code, block, kBlock);
}

LRESULT HostileHelper::SendControl(WPARAM code, const void *data, DWORD size, ULONG_PTR tag,
                                   bool withStruct)
{
    COPYDATASTRUCT cds;
    cds.dwData = tag;
    cds.cbData = size;
    cds.lpData = const_cast<void *>(data);
    return SendMessageA(window_, WM_COPYDATA, code,
                        withStruct ? reinterpret_cast<LPARAM>(&cds) : 0);
}

double HostileHelper::Pass()
{
    Clock::time_point begin = Clock::now();
    harness::SendTaskbarCreated(window_);
    return harness::Seconds(Clock::now() - begin);
}

bool HostileHelper::ExpectAlive()
{
    DWORD code = 0;
    if (resident_.handle != nullptr)
        GetExitCodeProcess(resident_.handle, &code);
    EXPECT_EQ(code, static_cast<DWORD>(STILL_ACTIVE)) << "the helper ended";
    EXPECT_TRUE(IsWindow(window_)) << "the helper's window is gone";
    return code == STILL_ACTIVE && IsWindow(window_);
}

void HostileHelper::ExpectTable(const std::vector<UdpClient *> &expected, bool ordered)
{
    ASSERT_LE(expected.size(), kMaxPorts);
    if (!ExpectAlive())
        return;

    std::vector<UdpClient *> served = expected;
    for (size_t i = expected.size(); i < kMaxPorts; i++) {
        UdpClient &filler = Client();
        Forward(kStart, Port(filler));
        served.push_back(&filler);
    }
    UdpClient &extra = Client();
    Forward(kStart, Port(extra));

    std::vector<size_t> before;
    for (const auto &c : clients_)
        before.push_back(c->Count());
    double seconds = Pass();

    auto role = [&](UdpClient *c) -> std::string {
        size_t at = static_cast<size_t>(std::find(served.begin(), served.end(), c) -
                                        served.begin());
        if (at == served.size())
            return "is not in the table";
        if (at < expected.size())
            return "is expected at position " + std::to_string(at);
        return "fills a free slot";
    };
    bool countsRight = true;
    for (size_t i = 0; i < clients_.size(); i++) {
        UdpClient *c = clients_[i].get();
        bool isServed = std::find(served.begin(), served.end(), c) != served.end();
        size_t requests = c->Count() - before[i];
        EXPECT_EQ(requests, isServed ? 1u : 0u)
            << "client on port " << c->Port() << " " << role(c);
        countsRight = countsRight && requests == (isServed ? 1u : 0u);
    }
    // The pass served the table in order, each exchange ended before the next began;
    // where the order of the expected entries is open, theirs is taken as it came.
    if (countsRight) {
        auto requestedAt = [](UdpClient *c) { return c->Received().back().at; };
        if (!ordered) {
            std::sort(served.begin(), served.begin() + static_cast<long>(expected.size()),
                      [&](UdpClient *x, UdpClient *y) {
                          return requestedAt(x) < requestedAt(y);
                      });
        }
        for (size_t i = 1; i < served.size(); i++) {
            EXPECT_LT(requestedAt(served[i - 1]), requestedAt(served[i]))
                << "table positions " << i - 1 << " and " << i;
        }
    }
    printf("  [table check: %zu expected + %zu fillers, pass %.3f s]\n", expected.size(),
           served.size() - expected.size(), seconds);
}

Usage HostileHelper::HelperUsage()
{
    Usage u;
    EXPECT_TRUE(MeasureUsage(resident_.id, &u)) << "cannot measure the helper";
    return u;
}

namespace {

HANDLE OpenWineLog()
{
    if (g_wineLog.empty())
        return INVALID_HANDLE_VALUE;
    // The shell that started this program writes to the file while we read.
    return CreateFileA(g_wineLog.c_str(), GENERIC_READ,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace

long long WineLogSize()
{
    HANDLE f = OpenWineLog();
    if (f == INVALID_HANDLE_VALUE)
        return 0;
    LARGE_INTEGER size = {};
    GetFileSizeEx(f, &size);
    CloseHandle(f);
    return size.QuadPart;
}

std::string ReadWineLog(long long *offset)
{
    HANDLE f = OpenWineLog();
    if (f == INVALID_HANDLE_VALUE)
        return std::string();
    LARGE_INTEGER at;
    at.QuadPart = *offset;
    SetFilePointerEx(f, at, nullptr, FILE_BEGIN);
    std::string text;
    char buffer[4096];
    DWORD n = 0;
    while (ReadFile(f, buffer, sizeof buffer, &n, nullptr) && n > 0)
        text.append(buffer, n);
    CloseHandle(f);
    *offset += static_cast<long long>(text.size());
    return text;
}

std::string ErrorLines(const std::string &text)
{
    std::istringstream in(text);
    std::string line, out;
    while (std::getline(in, line)) {
        // Under user-mode emulation Wine learns of every hardware fault in 32-bit code
        // without its trap number, and says so first, also of the faults it catches
        // itself (reading a message that it was asked to send from a null pointer, in
        // the sender). A fault that reaches the helper's window procedure still ends in
        // the report that counts: an exception ignored.
        if (line.find("segv_handler Got unexpected trap -1") != std::string::npos)
            continue;
        if (line.find(":err:") != std::string::npos)
            out += line + "\n";
    }
    return out;
}

namespace {

LRESULT CALLBACK FaultProbeProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_USER) {
        volatile int *nowhere = nullptr;
        *nowhere = 1;
        return 0;
    }
    if (message == WM_DESTROY) {
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

}  // namespace

int RunFaultProbe()
{
    WNDCLASSA wc = {};
    wc.lpfnWndProc = FaultProbeProc;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = kFaultProbeClass;
    if (RegisterClassA(&wc) == 0)
        return 1;
    if (CreateWindowExA(0, kFaultProbeClass, "fault probe", WS_OVERLAPPEDWINDOW, 0, 0, 0, 0,
                        nullptr, nullptr, wc.hInstance, nullptr) == nullptr)
        return 1;
    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0) > 0)
        DispatchMessageA(&msg);
    return 0;
}

}  // namespace hostile
