// SPDX-License-Identifier: Apache-2.0
// Control payloads come from any process that finds the helper's window: any code, any
// bytes, any size. The input is laid out as
//   code selector  1 byte: below 0x80 the code is the byte mod 8; 0x80-0xBF picks one of
//                  kNotableCodes; from 0xC0 on the code is the next 8 bytes (little
//                  endian, cut to the width of uintptr_t)
//   flags          1 byte: low 4 bits, how many ports the table is built from (0-15);
//                  0x10, the payload is missing (a null pointer with the size below)
//   stale slots    2 bytes, little-endian int16: what the unused slots hold
//   ports          2 bytes each, little-endian int16, added in order
//   payload        the rest, as an exactly-sized heap block
// Missing bytes read as zero. The effect on the table is compared with a model of the
// forwarded-command rules kept in a std::vector.
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "control/command_text.h"
#include "fuzz/fuzz_support.h"
#include "registry/port_table.h"
#include "tests/tool/contract.h"

namespace {

const uint64_t kNotableCodes[] = {
    0, 1, 2, 3, 4, 5, 0xFF, 0x100, 0x101, 0x102, 0x103, 0x10001,
    0x7FFFFFFF, 0x80000000, 0x80000001, 0x80000002, 0x80000003, 0xFFFFFFFF,
    0x100000000, 0x100000001, 0x100000002, 0x100000003, 0xFFFFFFFF00000001,
    0x8000000000000001, 0x8000000000000002, 0x8000000000000003,
    0xFFFFFFFFFFFFFFFE, 0xFFFFFFFFFFFFFFFF, contract::kTag,
};

// A little-endian int16, widened: ports that meet often, negative ones included.
int32_t Int16(fuzz::ByteReader &in)
{
    return static_cast<int16_t>(static_cast<uint16_t>(in.Little(2)));
}

using Ports = std::vector<int32_t>;

bool Holds(const Ports &ports, int32_t port)
{
    return std::find(ports.begin(), ports.end(), port) != ports.end();
}

// The forwarded-command rules, applied to the model table. Returns true when the
// helper is to close.
bool ModelApply(uint64_t code, const std::string &text, Ports &ports)
{
    int32_t first = fuzz::ModelDecimal(text.data(), text.size());
    if (code == contract::kStart) {
        if (!Holds(ports, first) && ports.size() < contract::kMaxPorts)
            ports.push_back(first);
    } else if (code == contract::kStop) {
        if (ports.size() == 1)
            return true;
        ports.erase(std::remove(ports.begin(), ports.end(), first), ports.end());
    } else if (code == contract::kChange) {
        size_t blank = text.find(' ');
        if (blank == std::string::npos)
            return false;
        std::string after = text.substr(blank + 1);
        int32_t second = fuzz::ModelDecimal(after.data(), after.size());
        if (Holds(ports, second))
            return false;
        auto old = std::find(ports.begin(), ports.end(), first);
        if (old != ports.end())
            *old = second;
    }
    return false;
}

Ports Table()
{
    return Ports(g_portTable.ports, g_portTable.ports + g_portTable.count);
}

std::string Show(const Ports &ports)
{
    std::string s = "{";
    for (int32_t p : ports)
        s += (s.size() > 1 ? ", " : "") + std::to_string(p);
    return s + "}";
}

void CheckInvariants()
{
    int32_t count = g_portTable.count;
    FUZZ_CHECK(count >= 0 && count <= kMaxPorts, "count %d", count);
    for (int32_t i = 0; i < count; i++)
        for (int32_t j = i + 1; j < count; j++)
            FUZZ_CHECK(g_portTable.ports[i] != g_portTable.ports[j],
                       "port %d held in slots %d and %d", g_portTable.ports[i], i, j);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::ByteReader in(data, size);
    uint8_t selector = in.Byte();
    uint64_t code;
    if (selector < 0x80)
        code = selector % 8;
    else if (selector < 0xC0)
        code = kNotableCodes[(selector - 0x80) % (sizeof kNotableCodes / sizeof kNotableCodes[0])];
    else
        code = in.Little(8);
    // What the helper can receive in wParam; the model sees the same value.
    uintptr_t wparam = static_cast<uintptr_t>(code);
    code = wparam;

    uint8_t flags = in.Byte();
    int32_t stale = Int16(in);
    // Stale slots hold a port of the input's choosing, so that a lookup reaching
    // beyond the count finds something it must not.
    for (int i = 0; i < kMaxPorts; i++)
        g_portTable.ports[i] = stale;
    g_portTable.count = kMaxPorts;
    ClearPorts();
    FUZZ_CHECK(g_portTable.count == 0, "ClearPorts left count %d", g_portTable.count);
    Ports model;
    for (int n = flags & 0x0F; n > 0; n--) {
        int32_t port = Int16(in);
        AddPort(port);
        if (!Holds(model, port) && model.size() < contract::kMaxPorts)
            model.push_back(port);
    }
    FUZZ_CHECK(Table() == model, "table built as %s, expected %s", Show(Table()).c_str(),
               Show(model).c_str());

    size_t payloadSize = in.RestSize();
    bool missing = (flags & 0x10) != 0;
    std::unique_ptr<char[]> payload = fuzz::ExactCopy(in.Rest(), payloadSize);
    const char *bytes = missing ? nullptr : payload.get();
    std::string text;
    if (!missing)
        text.assign(bytes, strnlen(bytes, payloadSize));

    Ports before = model;
    CommandEffect effect = ApplyCommand(wparam, bytes, payloadSize);
    bool close = ModelApply(code, text, model);

    CheckInvariants();
    FUZZ_CHECK(effect == (close ? kEffectClose : kEffectNone),
               "code %llu on %s: effect %d, expected %s",
               static_cast<unsigned long long>(code), Show(before).c_str(), effect,
               close ? "close" : "none");
    FUZZ_CHECK(Table() == model, "code %llu, text \"%s\" on %s: table %s, expected %s",
               static_cast<unsigned long long>(code), text.c_str(), Show(before).c_str(),
               Show(Table()).c_str(), Show(model).c_str());
    return 0;
}
