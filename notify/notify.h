// SPDX-License-Identifier: Apache-2.0
// The redraw exchange with one client: "redrawtray" and its NUL sent over UDP to
// 127.0.0.1, answered by "redrawok", at most ten attempts with a one-second pause after
// each failed one. Each call sets up and tears down its own socket.
#ifndef NOTIFY_NOTIFY_H
#define NOTIFY_NOTIFY_H

#include <stdint.h>

// The exchange's constants, shared with anything that plays a client in tests.
inline constexpr char kRedrawRequest[] = "redrawtray";  // sent with its NUL: 11 bytes
inline constexpr char kRedrawAck[] = "redrawok";
enum {
    kRedrawAttempts = 10,
    kRedrawPauseMs = 1000,
    kReplyBufferSize = 512,
    // How long one attempt waits for a reply. A client on loopback answers within
    // milliseconds, and an answer that comes later still counts, read by the next
    // attempt on the same socket; what the limit bounds is the cost of a client that
    // holds its port but never answers: 10 x (1 s pause + 0.4 s) = 14 s, during which
    // the helper handles nothing else and every launching client waits.
    kReceiveLimitMs = 400,
};

// Tells the client listening on the low 16 bits of `port` to redraw its tray icon.
// Returns nothing: whether the client acknowledged stays inside the call.
void NotifyRedraw(int32_t port);

// A pass over several clients brackets its NotifyRedraw calls with these. The sockets
// library then stays up for the whole pass, so each call's own start-up and clean-up
// (which it keeps) only count a reference, instead of setting the library up and
// tearing it down again for every client: that costs more than the exchange itself.
// Nothing is held between passes.
void BeginRedrawPass(void);
void EndRedrawPass(void);

// The pause after a failed attempt. The program links the real one (notify/pause.cpp);
// tests may link a shorter one in its place.
void RedrawPause(uint32_t milliseconds);

#endif
