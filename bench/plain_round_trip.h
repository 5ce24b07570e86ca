// SPDX-License-Identifier: Apache-2.0
// The yardstick of a notification pass: one request and its answer over a socket that
// is already open, the least a UDP exchange on 127.0.0.1 can cost. Windows only.
#ifndef BENCH_PLAIN_ROUND_TRIP_H
#define BENCH_PLAIN_ROUND_TRIP_H

#include <winsock2.h>

#include <string.h>

#include "notify/notify.h"

inline sockaddr_in Loopback(unsigned short port)
{
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = inet_addr("127.0.0.1");
    a.sin_port = htons(port);
    return a;
}

// true if "redrawok" and its NUL came back within a second.
inline bool PlainRoundTrip(SOCKET s, unsigned short port)
{
    sockaddr_in to = Loopback(port);
    if (sendto(s, kRedrawRequest, sizeof kRedrawRequest, 0,
               reinterpret_cast<const sockaddr *>(&to), sizeof to) < 0)
        return false;
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(s, &readable);
    timeval limit = {1, 0};
    if (select(0, &readable, nullptr, nullptr, &limit) <= 0)
        return false;
    char buffer[kReplyBufferSize] = {};
    return recv(s, buffer, sizeof buffer, 0) == static_cast<int>(sizeof kRedrawAck) &&
           memcmp(buffer, kRedrawAck, sizeof kRedrawAck) == 0;
}

#endif
