// SPDX-License-Identifier: Apache-2.0
// The port table: what each operation keeps, refuses and reorders.
#include <gtest/gtest.h>

#include <initializer_list>
#include <vector>

#include "registry/port_table.h"

namespace {

std::vector<int32_t> Table()
{
    return std::vector<int32_t>(g_portTable.ports, g_portTable.ports + g_portTable.count);
}

void Fill(std::initializer_list<int32_t> ports)
{
    ClearPorts();
    for (int32_t p : ports)
        AddPort(p);
}

using V = std::vector<int32_t>;

TEST(PortTable, AddAppendsInOrderAndNeverHoldsAPortTwice)
{
    Fill({701, 702, 701, 703, 702});
    EXPECT_EQ(Table(), (V{701, 702, 703}));
}

TEST(PortTable, StoresAnyValueAsParsed)
{
    Fill({0, -1, 65536 + 80, INT32_MIN, INT32_MAX});
    EXPECT_EQ(Table(), (V{0, -1, 65616, INT32_MIN, INT32_MAX}));
}

TEST(PortTable, DropsTheEleventhPort)
{
    Fill({1, 2, 3, 4, 5, 6, 7, 8, 9, 10});
    AddPort(11);
    EXPECT_EQ(Table(), (V{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));
    EXPECT_EQ(FindPort(11), -1);
    // Room again after a removal, and the new port goes last.
    RemovePort(1);
    AddPort(11);
    EXPECT_EQ(Table(), (V{2, 3, 4, 5, 6, 7, 8, 9, 10, 11}));
}

TEST(PortTable, FindReportsTheIndexOrMinusOne)
{
    Fill({701, 702, 703});
    EXPECT_EQ(FindPort(701), 0);
    EXPECT_EQ(FindPort(703), 2);
    EXPECT_EQ(FindPort(704), -1);
}

TEST(PortTable, RemoveClosesTheGapKeepingOrder)
{
    Fill({701, 702, 703});
    RemovePort(702);
    EXPECT_EQ(Table(), (V{701, 703}));
    RemovePort(777);
    EXPECT_EQ(Table(), (V{701, 703}));
    RemovePort(703);
    RemovePort(701);
    EXPECT_EQ(Table(), V{});
    RemovePort(701);
    EXPECT_EQ(g_portTable.count, 0);
}

TEST(PortTable, RemoveFromAFullTableMovesTheLastSlot)
{
    Fill({1, 2, 3, 4, 5, 6, 7, 8, 9, 10});
    RemovePort(1);
    EXPECT_EQ(Table(), (V{2, 3, 4, 5, 6, 7, 8, 9, 10}));
}

TEST(PortTable, ChangeReplacesInPlace)
{
    Fill({701, 702, 703});
    ChangePort(702, 800);
    EXPECT_EQ(Table(), (V{701, 800, 703}));
}

TEST(PortTable, ChangeRefusesAPresentNewPortOrAnAbsentOldOne)
{
    Fill({701, 703});
    ChangePort(701, 703);  // the new port is looked for first
    EXPECT_EQ(Table(), (V{701, 703}));
    ChangePort(900, 901);
    EXPECT_EQ(Table(), (V{701, 703}));
    ChangePort(701, 701);
    EXPECT_EQ(Table(), (V{701, 703}));
    ChangePort(900, 701);  // new present, old absent
    EXPECT_EQ(Table(), (V{701, 703}));
}

TEST(PortTable, ClearForgetsEverythingAndRefillsFromSlotZero)
{
    Fill({701, 702});
    ClearPorts();
    EXPECT_EQ(FindPort(701), -1);
    EXPECT_EQ(g_portTable.count, 0);
    AddPort(900);
    EXPECT_EQ(g_portTable.ports[0], 900);
    EXPECT_EQ(Table(), V{900});
}

}  // namespace
