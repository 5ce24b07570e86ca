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
