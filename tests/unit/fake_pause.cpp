// SPDX-License-Identifier: Apache-2.0
#include "fake_pause.h"

#include <chrono>
#include <mutex>
#include <thread>

#include "notify/notify.h"

namespace {

// Long enough to let a client's thread run, short enough that ten pauses cost nothing.
constexpr std::chrono::milliseconds kFakePause(2);

std::mutex g_mutex;
std::vector<uint32_t> g_pauses;
std::function<void(int)> g_onPause;

}  // namespace

void ResetFakePause(std::function<void(int number)> onPause)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_pauses.clear();
    g_onPause = std::move(onPause);
}

std::vector<uint32_t> RequestedPauses()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_pauses;
}

void RedrawPause(uint32_t milliseconds)
{
    std::function<void(int)> onPause;
    int number;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_pauses.push_back(milliseconds);
        number = static_cast<int>(g_pauses.size());
        onPause = g_onPause;
    }
    if (onPause)
        onPause(number);
    std::this_thread::sleep_for(kFakePause);
}
