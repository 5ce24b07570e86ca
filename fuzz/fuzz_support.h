// SPDX-License-Identifier: Apache-2.0
// What the fuzz targets share: a check that stops the run with a message (libFuzzer
// keeps the input that got there), exactly-sized heap copies so that AddressSanitizer
// sees any read past the bytes a caller was given, and an independent reading of
// decimal numbers to hold ParseDecimal against.
#ifndef FUZZ_FUZZ_SUPPORT_H
#define FUZZ_FUZZ_SUPPORT_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <memory>

#define FUZZ_CHECK(condition, ...)                                                  \
    do {                                                                            \
        if (!(condition)) {                                                         \
            fprintf(stderr, "%s:%d: check failed: %s\n  ", __FILE__, __LINE__,      \
                    #condition);                                                    \
            fprintf(stderr, __VA_ARGS__);                                           \
            fprintf(stderr, "\n");                                                  \
            abort();                                                                \
        }                                                                           \
    } while (0)

namespace fuzz {

// Reads a fuzz input front to back; bytes past its end read as zero, so every input,
// however short, decodes to something.
class ByteReader {
public:
    ByteReader(const uint8_t *data, size_t size) : data_(data), size_(size) {}
    bool AtEnd() const { return pos_ >= size_; }
    uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    uint64_t Little(int bytes)
    {
        uint64_t v = 0;
        for (int i = 0; i < bytes; i++)
            v |= static_cast<uint64_t>(Byte()) << (8 * i);
        return v;
    }
    const uint8_t *Rest() const { return data_ + std::min(pos_, size_); }
    size_t RestSize() const { return size_ - std::min(pos_, size_); }

private:
    const uint8_t *data_;
    size_t size_;
    size_t pos_ = 0;
};

// A heap block of exactly `size` bytes holding `bytes`; nothing readable lies beyond.
inline std::unique_ptr<char[]> ExactCopy(const void *bytes, size_t size)
{
    std::unique_ptr<char[]> block(new char[size]);
    if (size != 0)
        memcpy(block.get(), bytes, size);
    return block;
}

// The same, plus a terminating NUL as the one byte after them.
inline std::unique_ptr<char[]> TerminatedCopy(const void *bytes, size_t size)
{
    std::unique_ptr<char[]> block(new char[size + 1]);
    if (size != 0)
        memcpy(block.get(), bytes, size);
    block[size] = '\0';
    return block;
}

// How a number reads, worked out in 64 bits and reduced modulo 2^32 only at each step
// and at the end, so that it shares no wrap-around trick with the product.
inline int32_t ModelDecimal(const char *text, size_t length)
{
    const int64_t kModulus = int64_t{1} << 32;
    size_t i = 0;
    while (i < length && text[i] != '\0' && memchr(" \t\n\v\f\r", text[i], 6) != nullptr)
        i++;
    int64_t sign = 1;
    if (i < length && (text[i] == '+' || text[i] == '-')) {
        if (text[i] == '-')
            sign = -1;
        i++;
    }
    int64_t value = 0;
    while (i < length && text[i] >= '0' && text[i] <= '9') {
        value = (value * 10 + (text[i] - '0')) % kModulus;
        i++;
    }
    int64_t reduced = ((sign * value) % kModulus + kModulus) % kModulus;
    return static_cast<int32_t>(reduced >= kModulus / 2 ? reduced - kModulus : reduced);
}

}  // namespace fuzz

#endif
