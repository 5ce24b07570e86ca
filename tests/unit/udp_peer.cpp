// SPDX-License-Identifier: Apache-2.0
#include "udp_peer.h"

#include <string.h>

namespace {

using Clock = std::chrono::steady_clock;

// How often a listening client looks at whether it should stop.
constexpr int kListenSliceMs = 20;

sockaddr_in Loopback(uint16_t port)
{
    sockaddr_in address;
    memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    return address;
}

}  // namespace

UdpSocket::UdpSocket()
{
    WSADATA wsa;
    started_ = WSAStartup(MAKEWORD(2, 2), &wsa) == 0;
    if (started_)
        socket_ = socket(AF_INET, SOCK_DGRAM, 0);
}

UdpSocket::~UdpSocket()
{
    if (socket_ != INVALID_SOCKET)
        closesocket(socket_);
    if (started_)
        WSACleanup();
}

bool UdpSocket::Bind(uint16_t port)
{
    sockaddr_in address = Loopback(port);
    return socket_ != INVALID_SOCKET &&
           bind(socket_, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0;
}

uint16_t UdpSocket::Port() const
{
    sockaddr_in address;
    SocketLength length = sizeof address;
    if (getsockname(socket_, reinterpret_cast<sockaddr *>(&address), &length) != 0)
        return 0;
    return ntohs(address.sin_port);
}

bool UdpSocket::Receive(Datagram &datagram, int limitMs)
{
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(limitMs);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - Clock::now());
        if (!WaitReadable(socket_, left.count() > 0 ? static_cast<int>(left.count()) : 0))
            return false;
        // Larger than anything the helper sends, so a request is never cut.
        char buffer[2048];
        sockaddr_in from;
        SocketLength fromLength = sizeof from;
        const auto got = recvfrom(socket_, buffer, sizeof buffer, 0,
                                  reinterpret_cast<sockaddr *>(&from), &fromLength);
        if (got >= 0) {
            datagram.bytes.assign(buffer, static_cast<size_t>(got));
            datagram.sourcePort = ntohs(from.sin_port);
            datagram.at = Clock::now();
            return true;
        }
        // An error (Windows reports an earlier send to a closed port this way) is no
        // datagram; keep waiting for one while time is left.
        if (Clock::now() >= deadline)
            return false;
    }
}

bool UdpSocket::SendTo(const std::string &bytes, uint16_t port)
{
    sockaddr_in to = Loopback(port);
    return sendto(socket_, bytes.data(), static_cast<int>(bytes.size()), 0,
                  reinterpret_cast<const sockaddr *>(&to), sizeof to) ==
           static_cast<int>(bytes.size());
}

ScriptedClient::ScriptedClient(Answer answer) : answer_(std::move(answer)) {}

ScriptedClient::~ScriptedClient()
{
    Stop();
}

bool ScriptedClient::Start(uint16_t port)
{
    if (!socket_.Bind(port))
        return false;
    thread_ = std::thread(&ScriptedClient::Listen, this);
    return true;
}

bool ScriptedClient::WaitForRequests(size_t count, int limitMs)
{
    std::unique_lock<std::mutex> lock(mutex_);
    return arrived_.wait_for(lock, std::chrono::milliseconds(limitMs),
                             [&] { return requests_.size() >= count; });
}

std::vector<Datagram> ScriptedClient::Requests()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

std::vector<Datagram> ScriptedClient::Stop()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    if (thread_.joinable())
        thread_.join();
    return Requests();
}

void ScriptedClient::Listen()
{
    for (;;) {
        bool stopping;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping = stopping_;
        }
        // Once asked to stop, one more quiet slice ends the listening: whatever was
        // already sent has arrived by then.
        Datagram datagram;
        if (!socket_.Receive(datagram, kListenSliceMs)) {
            if (stopping)
                return;
            continue;
        }
        int n;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            requests_.push_back(datagram);
            n = static_cast<int>(requests_.size()) - 1;
        }
        arrived_.notify_all();
        if (std::optional<std::string> reply = answer_(n))
            socket_.SendTo(*reply, datagram.sourcePort);
    }
}
