// SPDX-License-Identifier: Apache-2.0
#include "control/command_text.h"

#include "registry/port_table.h"

namespace {

// Blanks as the command line knows them: 0x01 to 0x20, compared unsigned so that bytes
// from 0x80 up stay part of a word whatever the signedness of char.
bool IsCommandLineBlank(char c)
{
    unsigned char u = static_cast<unsigned char>(c);
    return u >= 0x01 && u <= 0x20;
}

bool IsNumberSpace(char c)
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}

// Length of the keyword (blank included) that `text` begins with, or 0.
size_t MatchKeyword(const char *text, const char *keyword)
{
    size_t i = 0;
    for (; keyword[i] != '\0'; i++) {
        if (text[i] != keyword[i])
            return 0;  // also stops at the text's NUL, which no keyword holds
    }
    return i;
}

struct Keyword {
    const char *text;
    CommandCode code;
};

// Tested in this order: "stop " cannot shadow "start ", but the order is part of the
// language and stays as it is.
constexpr Keyword kKeywords[] = {
    {"start ", kCommandStart},
    {"change ", kCommandChange},
    {"stop ", kCommandStop},
};

}  // namespace

const char *SkipProgramName(const char *line, LeadByteTest isLeadByte)
{
    const char *p = line;
    if (*p == '"') {
        p++;
        while (*p != '\0' && *p != '"') {
            // A lead byte takes its trail byte along, so a trail byte that happens to
            // be a quote does not end the name; a lead byte at the very end stays alone.
            if (isLeadByte(static_cast<unsigned char>(*p)) && p[1] != '\0')
                p++;
            p++;
        }
        if (*p == '"')
            p++;
    } else {
        while (*p != '\0' && !IsCommandLineBlank(*p))
            p++;
    }
    while (IsCommandLineBlank(*p))
        p++;
    return p;
}

CommandCode RecognizeCommand(const char *text, const char **argument)
{
    for (const Keyword &k : kKeywords) {
        size_t n = MatchKeyword(text, k.text);
        if (n != 0) {
            *argument = text + n;
            return k.code;
        }
    }
    return kCommandNone;
}

int32_t ParseDecimal(const char *text, size_t length)
{
    size_t i = 0;
    while (i < length && IsNumberSpace(text[i]))
        i++;
    bool negative = false;
    if (i < length && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        i++;
    }
    // Unsigned, so that overflow wraps by definition rather than by accident.
    uint32_t value = 0;
    while (i < length && text[i] >= '0' && text[i] <= '9') {
        value = value * 10u + static_cast<uint32_t>(text[i] - '0');
        i++;
    }
    if (negative)
        value = 0u - value;
    return static_cast<int32_t>(value);
}

void BuildPayload(const char *argument, char block[kPayloadSize])
{
    size_t i = 0;
    for (; i < kPayloadSize - 1 && argument[i] != '\0'; i++)
        block[i] = argument[i];
    // The terminator and the rest of the block are zero, so nothing of the sender's
    // memory travels to the helper.
    for (; i < kPayloadSize; i++)
        block[i] = '\0';
}

CommandEffect ApplyCommand(uintptr_t code, const void *payload, size_t size)
{
    const char *text = static_cast<const char *>(payload);
    if (text == nullptr)
        size = 0;
    // The text ends at its first NUL or at the end of the payload: a sender that
    // forgets the NUL must not make us read beyond what it sent.
    size_t length = 0;
    while (length < size && text[length] != '\0')
        length++;

    int32_t first = ParseDecimal(text, length);
    switch (code) {
    case kCommandStart:
        AddPort(first);
        break;
    case kCommandStop:
        // The last client leaving ends the helper, whichever port it names.
        if (g_portTable.count == 1)
            return kEffectClose;
        RemovePort(first);
        break;
    case kCommandChange: {
        size_t blank = 0;
        while (blank < length && text[blank] != ' ')
            blank++;
        // Without a blank there is no new port in the text; reading one from the
        // bytes after the terminator would be guessing, so the command is dropped.
        if (blank == length)
            break;
        int32_t second = ParseDecimal(text + blank + 1, length - blank - 1);
        ChangePort(first, second);
        break;
    }
    default:
        break;
    }
    return kEffectNone;
}
