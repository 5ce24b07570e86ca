// SPDX-License-Identifier: Apache-2.0
#include "host/system_function.h"

#include <windows.h>

SystemFunction FindSystemFunction(const char *module, const char *name)
{
    HMODULE loaded = GetModuleHandleA(module);
    if (loaded == nullptr)
        return nullptr;
    // Through void(*)(void), the one function type GCC lets any other convert from.
    return reinterpret_cast<SystemFunction>(GetProcAddress(loaded, name));
}
