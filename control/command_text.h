// SPDX-License-Identifier: Apache-2.0
// The command language, without any platform: how a launch's command text is derived
// from its command line, which command it holds, how numbers are read, and the layout
// of the control message's payload. Everything here reads only within the bounds it
// is given, because command lines and payloads come from other processes.
#ifndef CONTROL_COMMAND_TEXT_H
#define CONTROL_COMMAND_TEXT_H

#include <stddef.h>
#include <stdint.h>

// The one name by which launches find the resident helper and under which it registers
// its window class. The macro lets other names be derived from it at compile time.
#define HELPER_CLASS_NAME "ZYLjavatray"
inline constexpr char kHelperClassName[] = HELPER_CLASS_NAME;

// The number that names a command inside a control message. The values are the wire
// format and do not follow the order in which the keywords are tested.
enum CommandCode : uint32_t {
    kCommandNone = 0,
    kCommandStart = 1,
    kCommandStop = 2,
    kCommandChange = 3,
};

// The control message carries this tag in dwData and always a block of this many
// bytes: the argument text, its NUL, then zeros.
inline constexpr uint32_t kControlTag = 0x12345678;
enum { kPayloadSize = 218 };

// Tells whether a byte leads a double-byte character in the system's ANSI code page.
typedef bool (*LeadByteTest)(unsigned char c);

// The command text of a command line: the line less its first word (the program's
// name, quoted or not) and less the run of characters 0x01 to 0x20 that follows it.
// Bytes from 0x80 up are never blanks. Returns a pointer into `line`.
const char *SkipProgramName(const char *line, LeadByteTest isLeadByte);

// Recognises "start ", "change ", "stop " (in that order, case-sensitive, with the
// blank) at the beginning of the NUL-terminated text. Sets *argument to the text after
// the keyword's blank; returns kCommandNone, leaving *argument alone, for no command.
CommandCode RecognizeCommand(const char *text, const char **argument);

// Reads a number from text[0..length): white space (0x09-0x0D, 0x20), an optional sign,
// decimal digits accumulated in 32 bits with wrap-around. No digits yield 0. A NUL
// also ends the text.
int32_t ParseDecimal(const char *text, size_t length);

// Fills the 218-byte block: the argument text cut to 217 bytes, its NUL, then zeros.
void BuildPayload(const char *argument, char block[kPayloadSize]);

// What the helper must do after a forwarded command was applied.
enum CommandEffect { kEffectNone, kEffectClose };

// Applies a forwarded command to the port table. The payload is read as text up to its
// first NUL or its `size`, whichever comes first; a missing payload is an empty text.
// Unknown codes and change texts without a blank are ignored. A stop while exactly one
// port is registered leaves the table alone and asks for the helper to close.
CommandEffect ApplyCommand(uintptr_t code, const void *payload, size_t size);

#endif
