// SPDX-License-Identifier: Apache-2.0
#include "registry/port_table.h"

PortTable g_portTable;

void ClearPorts(void)
{
    // Only the count: stale slots are never read, so there is nothing to wipe.
    g_portTable.count = 0;
}

int32_t FindPort(int32_t port)
{
    for (int32_t i = 0; i < g_portTable.count; i++) {
        if (g_portTable.ports[i] == port)
            return i;
    }
    return -1;
}

void AddPort(int32_t port)
{
    if (FindPort(port) != -1)
        return;
    if (g_portTable.count >= kMaxPorts)
        return;  // full: the port is dropped, silently
    g_portTable.ports[g_portTable.count++] = port;
}

void ChangePort(int32_t oldPort, int32_t newPort)
{
    // The new port is looked for first: when both are registered nothing changes,
    // and the old one stays registered beside the new one.
    if (FindPort(newPort) != -1)
        return;
    int32_t i = FindPort(oldPort);
    if (i == -1)
        return;
    g_portTable.ports[i] = newPort;
}

void RemovePort(int32_t port)
{
    int32_t i = FindPort(port);
    if (i == -1)
        return;
    for (int32_t j = i; j < g_portTable.count - 1; j++)
        g_portTable.ports[j] = g_portTable.ports[j + 1];
    g_portTable.count--;
}
