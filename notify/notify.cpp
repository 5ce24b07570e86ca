// SPDX-License-Identifier: Apache-2.0
#include "notify/notify.h"

#include <string.h>

#include "notify/sockets.h"

// One attempt: send the request, wait for one datagram, and judge it. The buffer is
// cleared before the send and before the receive, so a receive that delivers nothing
// leaves it zero and is judged a failure.
static bool TryOnce(SOCKET s, const sockaddr_in &to, char (&buffer)[kReplyBufferSize])
{
    memset(buffer, 0, sizeof buffer);
    memcpy(buffer, kRedrawRequest, sizeof kRedrawRequest);
    sendto(s, buffer, sizeof kRedrawRequest, 0, reinterpret_cast<const sockaddr *>(&to),
           sizeof to);

    memset(buffer, 0, sizeof buffer);
    if (WaitReadable(s, kReceiveLimitMs)) {
        sockaddr_in from;
        SocketLength fromLength = sizeof from;
        // At most the buffer: a longer datagram leaves its first 512 bytes, which is
        // what it is judged by.
        recvfrom(s, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr *>(&from),
                 &fromLength);
    }
    // The text up to the first NUL must be exactly the acknowledgement: comparing the
    // NUL as well rejects "redrawokay" and a 512-byte reply without any NUL.
    return memcmp(buffer, kRedrawAck, sizeof kRedrawAck) == 0;
}

// Whether the pass holds a reference to the sockets library, to be given back at its end.
static bool g_passHoldsSockets;

void BeginRedrawPass(void)
{
    WSADATA wsa;
    g_passHoldsSockets = WSAStartup(MAKEWORD(2, 2), &wsa) == 0;
}

void EndRedrawPass(void)
{
    if (g_passHoldsSockets)
        WSACleanup();
    g_passHoldsSockets = false;
}

void NotifyRedraw(int32_t port)
{
    WSADATA wsa;
    if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0)
        return;
    if (wsa.wVersion != MAKEWORD(2, 2)) {
        WSACleanup();
        return;
    }

    // Unbound: the system picks the source port at the first send, and every attempt
    // of this call uses it, so a late answer to one attempt is read by the next.
    SOCKET s = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to;
    memset(&to, 0, sizeof to);
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = inet_addr("127.0.0.1");
    // Only the low 16 bits address a UDP port; the conversion wraps by definition.
    to.sin_port = htons(static_cast<uint16_t>(static_cast<uint32_t>(port)));

    char buffer[kReplyBufferSize];
    for (int attempt = 0; attempt < kRedrawAttempts; attempt++) {
        // Without a socket every attempt fails, but the attempts and their pauses stay
        // as they are, so the call costs what any failed exchange costs.
        if (s != INVALID_SOCKET && TryOnce(s, to, buffer))
            break;
        RedrawPause(kRedrawPauseMs);
    }

    if (s != INVALID_SOCKET)
        closesocket(s);
    WSACleanup();
}
