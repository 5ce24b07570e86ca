// SPDX-License-Identifier: Apache-2.0
// The command language: command text from a command line, keyword recognition,
// numbers, the payload block and how a forwarded command changes the table.
#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <vector>

#include "control/command_text.h"
#include "registry/port_table.h"
#include "tests/tool/contract.h"

namespace {

bool NoLeadBytes(unsigned char) { return false; }
// Shift-JIS-like: 0x81-0x9F and 0xE0-0xFC lead a double-byte character.
bool SjisLeadBytes(unsigned char c) { return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC); }

std::string Text(const char *line, LeadByteTest lead = NoLeadBytes)
{
    const char *text = SkipProgramName(line, lead);
    EXPECT_GE(text, line);
    EXPECT_LE(text, line + strlen(line));
    return text;
}

TEST(CommandText, SkipsAnUnquotedNameAndTheBlanksAfterIt)
{
    EXPECT_EQ(Text("trayredraw.exe start 701"), "start 701");
    EXPECT_EQ(Text("C:\\x\\trayredraw.exe \t\r\n\x01 start 701  "), "start 701  ");
    EXPECT_EQ(Text("trayredraw.exe"), "");
    EXPECT_EQ(Text(""), "");
    EXPECT_EQ(Text("   start 701"), "start 701");  // an empty first word
}

TEST(CommandText, SkipsAQuotedNameWithBlanksInside)
{
    EXPECT_EQ(Text("\"C:\\Program Files\\t r.exe\" start 701"), "start 701");
    EXPECT_EQ(Text("\"C:\\t.exe\"start 701"), "start 701");  // no blank after the quote
    EXPECT_EQ(Text("\"unterminated name start 701"), "");
    EXPECT_EQ(Text("\"\" stop 5"), "stop 5");
}

TEST(CommandText, ALineThatIsOnlyACommandLosesItsKeywordAsTheName)
{
    EXPECT_EQ(Text("start 701"), "701");
}

TEST(CommandText, HighBytesAreNeverBlanks)
{
    // A runtime comparing signed chars would take these for blanks.
    EXPECT_EQ(Text("na\xA0me\xFF start 7"), "start 7");
    EXPECT_EQ(Text("name \x80start 7"), "\x80start 7");
}

TEST(CommandText, LeadBytesCarryTheirTrailByteInAQuotedName)
{
    // 0x81 followed by a quote: the quote is the second byte of a character.
    EXPECT_EQ(Text("\"a\x81\"b\" start 1", SjisLeadBytes), "start 1");
    EXPECT_EQ(Text("\"a\x81\"b\" start 1", NoLeadBytes), "b\" start 1");
    // A lead byte that ends the line takes nothing along and reads nothing past it.
    EXPECT_EQ(Text("\"a\x81", SjisLeadBytes), "");
}

struct Recognized {
    CommandCode code;
    std::string argument;
};

Recognized Recognize(const char *text)
{
    const char *argument = nullptr;
    CommandCode code = RecognizeCommand(text, &argument);
    return {code, argument != nullptr ? argument : "<none>"};
}

TEST(Commands, KeywordsWithTheirBlankGiveTheirCodes)
{
    Recognized r = Recognize("start 701");
    EXPECT_EQ(r.code, contract::kStart);
    EXPECT_EQ(r.argument, "701");
    r = Recognize("change 701 800");
    EXPECT_EQ(r.code, contract::kChange);
    EXPECT_EQ(r.argument, "701 800");
    r = Recognize("stop  701 extra");
    EXPECT_EQ(r.code, contract::kStop);
    EXPECT_EQ(r.argument, " 701 extra");
    EXPECT_EQ(Recognize("start ").argument, "");
}

TEST(Commands, AnythingElseIsNoCommand)
{
    for (const char *text : {"", "start", "Start 701", "START 701", "help", "start\t701",
                             " start 701", "stopp 1", "chang 1 2"}) {
        Recognized r = Recognize(text);
        EXPECT_EQ(r.code, kCommandNone) << text;
        EXPECT_EQ(r.argument, "<none>") << text;
    }
}

int32_t Parse(const char *text) { return ParseDecimal(text, strlen(text)); }

TEST(ParseDecimal, ReadsSignsAfterWhiteSpace)
{
    EXPECT_EQ(Parse("701"), 701);
    EXPECT_EQ(Parse(" \t\n\v\f\r701 extra"), 701);
    EXPECT_EQ(Parse("+42"), 42);
    EXPECT_EQ(Parse("-1"), -1);
    EXPECT_EQ(Parse("-0"), 0);
    EXPECT_EQ(Parse("007x9"), 7);
}

TEST(ParseDecimal, TextWithoutDigitsIsZero)
{
    EXPECT_EQ(Parse(""), 0);
    EXPECT_EQ(Parse("abc"), 0);
    EXPECT_EQ(Parse("+"), 0);
    EXPECT_EQ(Parse("- 5"), 0);
    EXPECT_EQ(Parse("+-5"), 0);
    EXPECT_EQ(Parse("\x01" "5"), 0);  // 0x01 is a command-line blank, not white space
}

TEST(ParseDecimal, WrapsIn32Bits)
{
    EXPECT_EQ(Parse("2147483647"), INT32_MAX);
    EXPECT_EQ(Parse("2147483648"), INT32_MIN);
    EXPECT_EQ(Parse("-2147483648"), INT32_MIN);
    EXPECT_EQ(Parse("4294967295"), -1);
    EXPECT_EQ(Parse("4294967296"), 0);
    EXPECT_EQ(Parse("4294967297701"), static_cast<int32_t>(4294967297701ULL & 0xFFFFFFFFu));
    EXPECT_EQ(Parse("99999999999999999999999999"),
              static_cast<int32_t>(3825205247u));  // 10^26 - 1 mod 2^32
}

TEST(ParseDecimal, StopsAtItsLengthAndAtANul)
{
    EXPECT_EQ(ParseDecimal("70199", 3), 701);
    EXPECT_EQ(ParseDecimal("  ", 2), 0);
    EXPECT_EQ(ParseDecimal(nullptr, 0), 0);
    const char withNul[] = {'1', '2', '\0', '3'};
    EXPECT_EQ(ParseDecimal(withNul, sizeof withNul), 12);
}

TEST(Payload, HoldsTheArgumentItsNulAndZeros)
{
    char block[kPayloadSize];
    memset(block, 'x', sizeof block);
    BuildPayload("701 extra", block);
    EXPECT_STREQ(block, "701 extra");
    for (size_t i = strlen("701 extra"); i < sizeof block; i++)
        ASSERT_EQ(block[i], '\0') << i;
}

TEST(Payload, CutsALongArgumentTo217BytesAndWritesNothingPast218)
{
    std::string argument(1000, '7');
    std::vector<char> guarded(contract::kBlock + 16, 'g');
    BuildPayload(argument.c_str(), guarded.data());
    EXPECT_EQ(std::string(guarded.data()), std::string(contract::kBlock - 1, '7'));
    EXPECT_EQ(guarded[contract::kBlock - 1], '\0');
    for (size_t i = contract::kBlock; i < guarded.size(); i++)
        ASSERT_EQ(guarded[i], 'g') << i;
}

std::vector<int32_t> Table()
{
    return std::vector<int32_t>(g_portTable.ports, g_portTable.ports + g_portTable.count);
}

CommandEffect Apply(uintptr_t code, const char *text)
{
    char block[kPayloadSize];
    BuildPayload(text, block);
    return ApplyCommand(code, block, sizeof block);
}

using V = std::vector<int32_t>;

class Forwarded : public ::testing::Test {
protected:
    void SetUp() override
    {
        ClearPorts();
        AddPort(701);
    }
};

TEST_F(Forwarded, StartAddsTheFirstNumberOfTheText)
{
    EXPECT_EQ(Apply(contract::kStart, "702 extra"), kEffectNone);
    EXPECT_EQ(Apply(contract::kStart, "  -1"), kEffectNone);
    EXPECT_EQ(Apply(contract::kStart, "abc"), kEffectNone);
    EXPECT_EQ(Table(), (V{701, 702, -1, 0}));
}

TEST_F(Forwarded, StopOfTheLastClientAsksToCloseWhateverItNames)
{
    EXPECT_EQ(Apply(contract::kStop, "777"), kEffectClose);
    EXPECT_EQ(Table(), V{701});  // the port stays until the process ends
}

TEST_F(Forwarded, StopWithSeveralClientsRemovesOnlyARegisteredPort)
{
    Apply(contract::kStart, "702");
    EXPECT_EQ(Apply(contract::kStop, "777"), kEffectNone);
    EXPECT_EQ(Table(), (V{701, 702}));
    EXPECT_EQ(Apply(contract::kStop, "701"), kEffectNone);
    EXPECT_EQ(Table(), V{702});
}

TEST_F(Forwarded, ChangeReadsTheSecondNumberAfterTheFirstBlank)
{
    Apply(contract::kChange, "701 800");
    EXPECT_EQ(Table(), V{800});
    // A leading blank makes the second number the first one again: 800 to 800.
    Apply(contract::kChange, " 800 900");
    EXPECT_EQ(Table(), V{800});
}

TEST_F(Forwarded, ChangeWithoutABlankIsIgnored)
{
    Apply(contract::kChange, "701,800");
    Apply(contract::kChange, "701");
    EXPECT_EQ(Table(), V{701});
}

TEST_F(Forwarded, UnknownCodesAreIgnored)
{
    for (uintptr_t code : {uintptr_t{0}, uintptr_t{4}, ~uintptr_t{0}, (uintptr_t{1} << (sizeof(uintptr_t) * 8 - 1)) | 1})
        EXPECT_EQ(Apply(code, "702"), kEffectNone);
    EXPECT_EQ(Table(), V{701});
}

TEST_F(Forwarded, PayloadsAreReadOnlyWithinTheirSize)
{
    // No NUL anywhere: the text ends with the payload.
    const char digits[] = {'7', '0', '2'};
    ApplyCommand(contract::kStart, digits, sizeof digits);
    // A short payload whose next byte in memory would continue the number.
    const char longer[] = {'7', '0', '3', '9', '9'};
    ApplyCommand(contract::kStart, longer, 3);
    // The blank of a change lies beyond the payload: no blank, ignored.
    const char change[] = {'7', '0', '1', ' ', '9'};
    ApplyCommand(contract::kChange, change, 3);
    // A blank that ends the payload: the new port is an empty text, 0.
    ApplyCommand(contract::kChange, change, 4);
    EXPECT_EQ(Table(), (V{0, 702, 703}));
}

TEST_F(Forwarded, AMissingPayloadIsAnEmptyText)
{
    ApplyCommand(contract::kStart, nullptr, contract::kBlock);
    ApplyCommand(contract::kStart, "999", 0);
    EXPECT_EQ(Table(), (V{701, 0}));
    EXPECT_EQ(ApplyCommand(contract::kChange, nullptr, 0), kEffectNone);
    EXPECT_EQ(Table(), (V{701, 0}));
}

}  // namespace
