// SPDX-License-Identifier: Apache-2.0
// Functions that not every Windows the program supports has are looked up at run time,
// here, so that the program still starts where one is missing.
#ifndef HOST_SYSTEM_FUNCTION_H
#define HOST_SYSTEM_FUNCTION_H

// What a lookup gives: to be converted to the function's own type before the call.
typedef void (*SystemFunction)(void);

// The function NAME of MODULE, a system DLL that the process has loaded already;
// nullptr where this Windows lacks it. Loads nothing.
SystemFunction FindSystemFunction(const char *module, const char *name);

#endif
