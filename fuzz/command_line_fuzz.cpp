// SPDX-License-Identifier: Apache-2.0
// Command lines come from whoever launches the helper. The input is the command line
// itself (its bytes up to the first NUL; a NUL is added after them). Every check is
// made for several code pages' ideas of lead bytes, including one that calls every
// byte a lead byte, since the rule must stay within the line whatever the system says.
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include "control/command_text.h"
#include "fuzz/fuzz_support.h"
#include "tests/tool/contract.h"

namespace {

bool NoLeadBytes(unsigned char) { return false; }
bool SjisLeadBytes(unsigned char c) { return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC); }
bool HighLeadBytes(unsigned char c) { return c >= 0x80; }
bool EveryByteLeads(unsigned char) { return true; }

bool IsBlank(char c)
{
    unsigned char u = static_cast<unsigned char>(c);
    return u != 0 && u <= 0x20;
}

// Where the command text starts in a line of `length` bytes, walked index by index.
size_t ModelTextStart(const char *line, size_t length, LeadByteTest isLeadByte)
{
    size_t i = 0;
    if (length > 0 && line[0] == '"') {
        i = 1;
        while (i < length && line[i] != '"')
            i += (isLeadByte(static_cast<unsigned char>(line[i])) && i + 1 < length) ? 2 : 1;
        if (i < length)
            i++;  // the closing quote
    } else {
        while (i < length && !IsBlank(line[i]))
            i++;
    }
    while (i < length && IsBlank(line[i]))
        i++;
    return i;
}

void CheckProgramName(const char *line, size_t length, LeadByteTest isLeadByte, const char *which)
{
    const char *text = SkipProgramName(line, isLeadByte);
    FUZZ_CHECK(text >= line && text <= line + length,
               "%s: command text at offset %td of a %zu-byte line", which, text - line, length);
    size_t start = static_cast<size_t>(text - line);
    // The blanks after the name belong to neither name nor text.
    FUZZ_CHECK(!IsBlank(*text), "%s: command text starts with blank 0x%02x", which,
               static_cast<unsigned char>(*text));
    if (length == 0 || line[0] != '"') {
        // An unquoted name is a run of non-blanks, followed by a run of blanks.
        size_t i = 0;
        while (i < start && !IsBlank(line[i]))
            i++;
        while (i < start && IsBlank(line[i]))
            i++;
        FUZZ_CHECK(i == start, "%s: offset %zu is not after name and blanks", which, start);
    } else if (isLeadByte == NoLeadBytes) {
        // Without lead bytes a quoted name ends at the next quote, whatever lies inside.
        const char *quote = static_cast<const char *>(memchr(line + 1, '"', length - 1));
        size_t after = quote != nullptr ? static_cast<size_t>(quote - line) + 1 : length;
        while (after < length && IsBlank(line[after]))
            after++;
        FUZZ_CHECK(start == after, "%s: offset %zu, expected %zu", which, start, after);
    }
    size_t expected = ModelTextStart(line, length, isLeadByte);
    FUZZ_CHECK(start == expected, "%s: offset %zu, expected %zu", which, start, expected);
}

struct Keyword {
    const char *text;
    uintptr_t code;
};
constexpr Keyword kKeywords[] = {
    {"start ", contract::kStart}, {"stop ", contract::kStop}, {"change ", contract::kChange}};

// Returns the argument, or nullptr for no command.
const char *CheckRecognized(const char *text)
{
    static const char kUntouched[] = "untouched";
    const char *argument = kUntouched;
    CommandCode code = RecognizeCommand(text, &argument);
    size_t length = strlen(text);
    const Keyword *match = nullptr;
    for (const Keyword &k : kKeywords) {
        if (strncmp(text, k.text, strlen(k.text)) == 0)
            match = &k;
    }
    if (match == nullptr) {
        FUZZ_CHECK(code == kCommandNone, "code %u for a text with no keyword", code);
        FUZZ_CHECK(argument == kUntouched, "argument set for a text with no keyword");
        return nullptr;
    }
    FUZZ_CHECK(code == match->code, "code %u for keyword \"%s\"", code, match->text);
    FUZZ_CHECK(argument == text + strlen(match->text),
               "argument at offset %td after keyword \"%s\"", argument - text, match->text);
    FUZZ_CHECK(argument <= text + length, "argument beyond the text");
    return argument;
}

void CheckDecimal(const char *text, size_t length, const char *which)
{
    int32_t got = ParseDecimal(text, length);
    int32_t expected = fuzz::ModelDecimal(text, length);
    FUZZ_CHECK(got == expected, "%s: ParseDecimal of %zu bytes gave %d, expected %d", which,
               length, got, expected);
}

void CheckPayload(const char *argument)
{
    // A block of the size launches send: AddressSanitizer sees a write past it.
    size_t kept = strnlen(argument, contract::kBlock - 1);
    std::unique_ptr<char[]> block(new char[contract::kBlock]);
    memset(block.get(), 0x5A, contract::kBlock);
    BuildPayload(argument, block.get());
    FUZZ_CHECK(memcmp(block.get(), argument, kept) == 0, "payload does not start with the argument");
    for (size_t i = kept; i < contract::kBlock; i++)
        FUZZ_CHECK(block[i] == '\0', "payload byte %zu is 0x%02x, not zero", i,
                   static_cast<unsigned char>(block[i]));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::unique_ptr<char[]> line = fuzz::TerminatedCopy(data, size);
    size_t length = strlen(line.get());

    CheckProgramName(line.get(), length, NoLeadBytes, "no lead bytes");
    CheckProgramName(line.get(), length, SjisLeadBytes, "double-byte code page");
    CheckProgramName(line.get(), length, HighLeadBytes, "every high byte leads");
    CheckProgramName(line.get(), length, EveryByteLeads, "every byte leads");

    // As the launch does it: command text, keyword, first number of the argument, and
    // the block that would carry the argument to the resident helper.
    const char *text = SkipProgramName(line.get(), HighLeadBytes);
    const char *argument = CheckRecognized(text);
    if (argument != nullptr) {
        CheckDecimal(argument, strlen(argument), "argument");
        CheckPayload(argument);
    }
    // A line that is nothing but a command loses its keyword as the program's name, so
    // the keyword rule is tried on the whole line as well.
    CheckRecognized(line.get());

    // Numbers within exactly the bytes given, NULs and all: the last byte sits at the
    // end of the heap block, and shorter lengths cut through the same block.
    std::unique_ptr<char[]> raw = fuzz::ExactCopy(data, size);
    CheckDecimal(raw.get(), size, "whole input");
    if (size > 0)
        CheckDecimal(raw.get(), size - 1, "all but the last byte");
    CheckDecimal(raw.get(), size / 2, "first half");
    FUZZ_CHECK(ParseDecimal(nullptr, 0) == 0, "ParseDecimal of nothing is not 0");
    return 0;
}
