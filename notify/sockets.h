// SPDX-License-Identifier: Apache-2.0
// The few socket calls the redraw exchange makes, spelled as Windows Sockets spells
// them. On Windows this is Winsock itself; elsewhere (only for the native unit tests)
// each name maps onto its POSIX twin. Nothing else in the program sees sockets.
#ifndef NOTIFY_SOCKETS_H
#define NOTIFY_SOCKETS_H

#ifdef _WIN32
#include <winsock2.h>

typedef int SocketLength;

// Waits until a datagram (or an error, such as the one Windows reports for a port
// without a listener) can be read, at most `milliseconds`.
static inline bool WaitReadable(SOCKET s, int milliseconds)
{
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(s, &readable);
    timeval limit;
    limit.tv_sec = milliseconds / 1000;
    limit.tv_usec = (milliseconds % 1000) * 1000;
    return select(0, &readable, nullptr, nullptr, &limit) > 0;
}
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdint.h>
#include <sys/socket.h>
#include <unistd.h>

typedef int SOCKET;
typedef socklen_t SocketLength;
#define INVALID_SOCKET (-1)
#define MAKEWORD(low, high) static_cast<uint16_t>((low) | ((high) << 8))

struct WSADATA {
    uint16_t wVersion;
};
static inline int WSAStartup(uint16_t version, WSADATA *data)
{
    data->wVersion = version;
    return 0;
}
static inline int WSACleanup(void) { return 0; }
static inline int closesocket(SOCKET s) { return close(s); }

static inline bool WaitReadable(SOCKET s, int milliseconds)
{
    pollfd p = {s, POLLIN, 0};
    return poll(&p, 1, milliseconds) > 0;
}
#endif

#endif
