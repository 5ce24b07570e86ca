// SPDX-License-Identifier: Apache-2.0
// The pause the exchange's unit tests link in place of the program's one-second one
// (notify/pause.cpp). It records every pause the exchange asks for and sleeps only a few
// milliseconds, so that a test can count pauses without waiting them out.
#ifndef TESTS_UNIT_FAKE_PAUSE_H
#define TESTS_UNIT_FAKE_PAUSE_H

#include <stdint.h>

#include <functional>
#include <vector>

// Forgets the pauses recorded so far. `onPause`, if given, runs inside every later pause
// with its number (1 for the first), before the pause returns to the exchange.
void ResetFakePause(std::function<void(int number)> onPause = nullptr);

// The milliseconds of every pause asked for since the last reset, in order.
std::vector<uint32_t> RequestedPauses();

#endif
