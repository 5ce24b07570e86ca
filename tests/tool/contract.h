// SPDX-License-Identifier: Apache-2.0
// What other programs rely on, written out as literals: the redraw exchange that
// clients answer, the size of the port table, and the window and control message by
// which launches reach the resident helper. Tests check the program against these and
// never against the program's own definitions, so that a number changed in the program
// fails a test instead of carrying the test along with it.
#ifndef TESTS_TOOL_CONTRACT_H
#define TESTS_TOOL_CONTRACT_H

#include <stddef.h>
#include <stdint.h>

namespace contract {

// The request travels with its NUL: 11 bytes. The answer may come with or without one.
inline constexpr char kRequest[11] = "redrawtray";
inline constexpr char kAck[] = "redrawok";
// Attempts at most, and the pause after each failed one, the last one included.
inline constexpr int kAttempts = 10;
inline constexpr int kPauseMs = 1000;
// How long one attempt waits for the answer.
inline constexpr int kReceiveLimitMs = 400;

// Ports held at most; one more is dropped.
inline constexpr size_t kMaxPorts = 10;

// The helper's hidden window, as launches and other programs find it.
inline constexpr char kClassName[] = "ZYLjavatray";
inline constexpr char kTitle[] = "Java tray wexel ZYL";
// The lock under which a launch finds or becomes the helper, shared by every version.
inline constexpr char kLaunchLock[] = "Local\\ZYLjavatray.launch";

// A launch's exit code when the system refused to deliver its command to the helper.
inline constexpr unsigned long kExitUndelivered = 2;

// The control message: the command's code in wParam, the tag in dwData, and always a
// block of this many bytes (the argument text, its NUL, then zeros).
inline constexpr uintptr_t kStart = 1;
inline constexpr uintptr_t kStop = 2;
inline constexpr uintptr_t kChange = 3;
inline constexpr uint32_t kTag = 0x12345678;
inline constexpr uint32_t kBlock = 218;

}  // namespace contract

#endif
