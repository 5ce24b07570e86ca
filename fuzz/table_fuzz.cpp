// SPDX-License-Identifier: Apache-2.0
// The port table against a plain std::vector that follows the same rules: no port
// twice, at most ten, registration order kept, a change refused when the new port
// is present (looked at first) or the old one absent, a removal closing the gap. The
// input is a sequence of operations, each one byte:
//   byte mod 8   0 clear, 1 find, 2-3 add, 4 change (old, new), 5-6 remove,
//                7 scribble over the unused slots
// followed by its ports. A port byte below 0xF0 stands for a port from -8 to 23, so
// that ports meet often; from 0xF0 on the next 4 bytes are the port (little endian).
// After every step the whole table is compared with the model.
#include <stddef.h>
#include <stdint.h>

#include <algorithm>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "registry/port_table.h"
#include "tests/tool/contract.h"

namespace {

// A port byte below 0xF0 stands for a port from -8 to 23; from 0xF0 on, the next four
// bytes are the port.
int32_t ReadPort(fuzz::ByteReader &in)
{
    uint8_t b = in.Byte();
    if (b < 0xF0)
        return static_cast<int32_t>(b % 32) - 8;
    return static_cast<int32_t>(static_cast<uint32_t>(in.Little(4)));
}

using Ports = std::vector<int32_t>;

int32_t ModelFind(const Ports &ports, int32_t port)
{
    auto it = std::find(ports.begin(), ports.end(), port);
    return it == ports.end() ? -1 : static_cast<int32_t>(it - ports.begin());
}

std::string Show(const Ports &ports)
{
    std::string s = "{";
    for (int32_t p : ports)
        s += (s.size() > 1 ? ", " : "") + std::to_string(p);
    return s + "}";
}

void CheckAgainst(const Ports &model, int step, const char *operation)
{
    int32_t count = g_portTable.count;
    FUZZ_CHECK(count >= 0 && count <= kMaxPorts, "step %d (%s): count %d", step, operation, count);
    Ports table(g_portTable.ports, g_portTable.ports + count);
    FUZZ_CHECK(table == model, "step %d (%s): table %s, expected %s", step, operation,
               Show(table).c_str(), Show(model).c_str());
    for (int32_t i = 0; i < count; i++) {
        for (int32_t j = i + 1; j < count; j++)
            FUZZ_CHECK(table[i] != table[j], "step %d (%s): port %d twice", step, operation, table[i]);
        // Every registered port is found where it stands.
        FUZZ_CHECK(FindPort(table[i]) == i, "step %d (%s): FindPort(%d) = %d, expected %d",
                   step, operation, table[i], FindPort(table[i]), i);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::ByteReader in(data, size);
    // Whatever earlier inputs left behind, including in the unused slots, must not
    // matter once the table is cleared.
    ClearPorts();
    Ports model;
    CheckAgainst(model, 0, "clear");
    for (int step = 1; !in.AtEnd(); step++) {
        switch (in.Byte() % 8) {
        case 0:
            ClearPorts();
            model.clear();
            CheckAgainst(model, step, "clear");
            break;
        case 1: {
            int32_t port = ReadPort(in);
            int32_t found = FindPort(port);
            FUZZ_CHECK(found == ModelFind(model, port), "step %d: FindPort(%d) = %d, expected %d",
                       step, port, found, ModelFind(model, port));
            CheckAgainst(model, step, "find");
            break;
        }
        case 2:
        case 3: {
            int32_t port = ReadPort(in);
            AddPort(port);
            if (ModelFind(model, port) == -1 && model.size() < contract::kMaxPorts)
                model.push_back(port);
            CheckAgainst(model, step, "add");
            break;
        }
        case 4: {
            int32_t oldPort = ReadPort(in);
            int32_t newPort = ReadPort(in);
            ChangePort(oldPort, newPort);
            int32_t at = ModelFind(model, oldPort);
            if (ModelFind(model, newPort) == -1 && at != -1)
                model[static_cast<size_t>(at)] = newPort;
            CheckAgainst(model, step, "change");
            break;
        }
        case 5:
        case 6: {
            int32_t port = ReadPort(in);
            RemovePort(port);
            int32_t at = ModelFind(model, port);
            if (at != -1)
                model.erase(model.begin() + at);
            CheckAgainst(model, step, "remove");
            break;
        }
        default: {
            // The unused slots are the table's own business; filling them with a port
            // must change nothing that can be observed.
            int32_t port = ReadPort(in);
            for (int32_t i = g_portTable.count; i < kMaxPorts; i++)
                g_portTable.ports[i] = port;
            CheckAgainst(model, step, "scribble");
            break;
        }
        }
    }
    return 0;
}
