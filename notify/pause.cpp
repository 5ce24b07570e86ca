// SPDX-License-Identifier: Apache-2.0
#include "notify/notify.h"

#ifdef _WIN32
#include <windows.h>

void RedrawPause(uint32_t milliseconds)
{
    Sleep(milliseconds);
}
#else
#include <time.h>

void RedrawPause(uint32_t milliseconds)
{
    timespec t = {static_cast<time_t>(milliseconds / 1000),
                  static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&t, &t) != 0) {
    }
}
#endif
