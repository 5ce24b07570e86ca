// SPDX-License-Identifier: Apache-2.0
// The helper's whole memory: the UDP ports of the clients that want to hear when the
// taskbar has been created anew, in the order in which they registered. That order is
// the order in which a notification pass serves them.
//
// Only the operations below write the table; the rest of the program reads `count` and
// slots 0 to count-1. Ports are stored exactly as parsed: no range check anywhere.
#ifndef REGISTRY_PORT_TABLE_H
#define REGISTRY_PORT_TABLE_H

#include <stdint.h>

enum { kMaxPorts = 10 };

struct PortTable {
    int32_t ports[kMaxPorts];  // slots from `count` on hold stale values
    int32_t count;
};

// The process-wide table; zero when the process starts.
extern PortTable g_portTable;

void ClearPorts(void);                          // empties the table, slots untouched
int32_t FindPort(int32_t port);                 // index of the port, or -1
void AddPort(int32_t port);                     // appends unless present or full
void ChangePort(int32_t oldPort, int32_t newPort);  // in place, unless new present or old absent
void RemovePort(int32_t port);                  // deletes, keeping the order of the rest

#endif
