// SPDX-License-Identifier: Apache-2.0
// Clients of the redraw exchange, played by tests and by the cost measurements: real UDP
// sockets on 127.0.0.1, made through the same few socket calls the helper makes
// (notify/sockets.h: Windows Sockets on Windows and under Wine, their POSIX twins in the
// native build). A client runs on its own thread while the exchange runs on the caller's.
#ifndef TESTS_UNIT_UDP_PEER_H
#define TESTS_UNIT_UDP_PEER_H

#include <stddef.h>
#include <stdint.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "notify/sockets.h"

struct Datagram {
    std::string bytes;
    uint16_t sourcePort = 0;
    std::chrono::steady_clock::time_point at;
};

// One UDP socket, bound to 127.0.0.1 on request. It holds its own reference on Windows
// Sockets, so the WSACleanup that ends every exchange leaves it working.
class UdpSocket {
public:
    UdpSocket();
    ~UdpSocket();
    UdpSocket(const UdpSocket &) = delete;
    UdpSocket &operator=(const UdpSocket &) = delete;

    // Binds to 127.0.0.1:port, port 0 meaning one the system picks; false if taken.
    bool Bind(uint16_t port);
    uint16_t Port() const;
    // Waits at most `limitMs` for one datagram.
    bool Receive(Datagram &datagram, int limitMs);
    bool SendTo(const std::string &bytes, uint16_t port);

private:
    bool started_ = false;
    SOCKET socket_ = INVALID_SOCKET;
};

// A client listening on its own thread. It records every datagram it receives and
// answers the n-th one (counting from 0) with what `answer(n)` returns, sent back to its
// source; nullopt means no answer.
class ScriptedClient {
public:
    using Answer = std::function<std::optional<std::string>(int n)>;

    explicit ScriptedClient(Answer answer);
    ~ScriptedClient();
    ScriptedClient(const ScriptedClient &) = delete;
    ScriptedClient &operator=(const ScriptedClient &) = delete;

    // Binds 127.0.0.1:port (0: a free one) and starts listening; false if taken.
    bool Start(uint16_t port = 0);
    uint16_t Port() const { return socket_.Port(); }
    // Waits until `count` datagrams have arrived, at most `limitMs`.
    bool WaitForRequests(size_t count, int limitMs);
    std::vector<Datagram> Requests();
    // Sends from the client's own port, outside the script.
    bool SendTo(const std::string &bytes, uint16_t port)
    {
        return socket_.SendTo(bytes, port);
    }
    // Takes in what has already arrived, stops listening and returns all it received.
    // Datagrams on loopback are queued when their send returns, so after the exchange
    // has returned this sees every request it made.
    std::vector<Datagram> Stop();

private:
    void Listen();

    Answer answer_;
    UdpSocket socket_;
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable arrived_;
    std::vector<Datagram> requests_;
    bool stopping_ = false;
};

#endif
