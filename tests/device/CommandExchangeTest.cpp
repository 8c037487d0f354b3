// Command frames, the answer parser and the status check.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "CommandExchange.h"
#include "DeviceTestSupport.h"

namespace nimbra {
namespace {

using Bytes = std::vector<std::uint8_t>;
using test::Item;
using test::MakeAnswer;

// All the literal's bytes, zero bytes included (without its terminator).
template <std::size_t N>
Bytes B(const char (&s)[N]) {
    return Bytes(s, s + N - 1);
}

TEST(CommandFrame, TheThreeCommandsByteForByte) {
    EXPECT_EQ(BuildCommandFrame(RuinfCommandData()),
              (Bytes{0x54, 0x32, 0x06, 0x00, 0x52, 0x55, 0x49, 0x4E, 0x46, 0x3A, 0xBE, 0x01}));
    EXPECT_EQ(BuildCommandFrame(EbstsCommandData()),
              (Bytes{0x54, 0x32, 0x06, 0x00, 0x45, 0x42, 0x53, 0x54, 0x53, 0x3A, 0xBB, 0x01}));
    EXPECT_EQ(BuildCommandFrame(IchipCommandData()),
              (Bytes{0x54, 0x32, 0x0E, 0x00, 0x49, 0x43, 0x48, 0x49, 0x50, 0x3A, 0x4D, 0x4F, 0x44, 0x45, 0x3D, 0x01,
                     0x00, 0x31, 0x3B, 0x03}));
}

TEST(CommandFrame, DataMustFitTheSixtyFourByteArea) {
    const std::string longest(kMaxFrameData, '\xFF');
    const Bytes frame = BuildCommandFrame(longest);
    ASSERT_EQ(frame.size(), kFrameArea);
    EXPECT_EQ(frame[2], 58);
    EXPECT_EQ(frame[62] | frame[63] << 8, 58 * 255);
    EXPECT_TRUE(BuildCommandFrame(longest + "x").empty());
}

struct ValueCase {
    const char* name;
    Bytes answer;  // exactly n bytes, so a read past them is a sanitizer error
    const char* key;
    std::string expected;
};

void PrintTo(const ValueCase& c, std::ostream* os) { *os << c.name; }

class ResponseValue : public ::testing::TestWithParam<ValueCase> {};

TEST_P(ResponseValue, Table) {
    const ValueCase& c = GetParam();
    EXPECT_EQ(GetResponseValue(c.answer.data(), static_cast<int>(c.answer.size()), c.key), c.expected);
}

const Bytes kRuinf = MakeAnswer("RUINF:", {{"STATUS", "0-0"}, {"FWV", "1.31"}});

INSTANTIATE_TEST_SUITE_P(
    Parser, ResponseValue,
    ::testing::Values(
        ValueCase{"FrameStatus", kRuinf, "STATUS", "0-0"},
        ValueCase{"FrameFwv", kRuinf, "FWV", "1.31"},
        ValueCase{"FrameNoNetv", kRuinf, "NETV", ""},
        ValueCase{"PrefixKeyComesFirst", MakeAnswer("RUINF:", {{"FWVX", "9.99"}, {"FWV", "1.31"}}), "FWV", "9.99"},
        ValueCase{"AcxMatchesAc", MakeAnswer("EBSTS:", {{"ACX", "7"}, {"AC", "1"}}), "AC", "7"},
        ValueCase{"ShorterKeyNeverMatches", MakeAnswer("RUINF:", {{"FW", "x"}, {"FWV", "1.31"}}), "FWV", "1.31"},
        ValueCase{"ZeroByteCutsValue", MakeAnswer("RUINF:", {{"FWV", std::string("1.\0x", 4)}}), "FWV", "1."},
        ValueCase{"EmptyValue", MakeAnswer("RUINF:", {{"FWV", ""}, {"NETV", "2.00"}}), "FWV", ""},
        ValueCase{"ItemAfterEmptyValue", MakeAnswer("RUINF:", {{"FWV", ""}, {"NETV", "2.00"}}), "NETV", "2.00"},
        ValueCase{"NoChecksumNeeded", B("\x54\x32\x00\x00RUINF:FWV=\x04\x00" "1.31"), "FWV", "1.31"},
        ValueCase{"LengthRunsPastN", B("....RUINF:FWV=\x0A\x00" "1.3"), "FWV", "1.3"},
        ValueCase{"AnswerEndsAtEquals", B("....RUINF:FWV="), "FWV", ""},
        ValueCase{"OneLengthByteOnly", B("....RUINF:FWV=\x04"), "FWV", ""},
        ValueCase{"SkipLengthPastN", B("....RUINF:XX=\xFF\xFF" "FWV=\x01\x00" "1"), "FWV", ""},
        ValueCase{"NoColon", B("....RUINF FWV=\x01\x00" "1"), "FWV", ""},
        ValueCase{"NoEquals", B("....RUINF:FWV\x01\x00" "1"), "FWV", ""},
        ValueCase{"ColonInHeaderIgnored", B("::::RUINF:FWV=\x01\x00" "1"), "FWV", "1"},
        ValueCase{"ColonRightAtByteFour", B("T2\x00\x00:FWV=\x01\x00" "5"), "FWV", "5"},
        ValueCase{"NameNotCompared", B("T2\x00\x00" "ANY:FWV=\x01\x00" "5"), "FWV", "5"},
        ValueCase{"Utf8Kept", B("....X:FWV=\x03\x00" "\xC3\xA9!"), "FWV", "\xC3\xA9!"},
        ValueCase{"InvalidByteReplaced", B("....X:FWV=\x02\x00" "\xE9!"), "FWV", "\xEF\xBF\xBD!"}),
    [](const ::testing::TestParamInfo<ValueCase>& i) { return std::string(i.param.name); });

TEST(ResponseValue, AnswersOfFourBytesOrLessHaveNoItems) {
    // n cuts a good answer short: nothing of it may be seen.
    for (int n = 0; n <= 4; ++n) {
        const Bytes shortAnswer(kRuinf.begin(), kRuinf.begin() + n);
        for (const char* key : {"STATUS", "FWV", "NETV", "AC"})
            EXPECT_EQ(GetResponseValue(shortAnswer.data(), n, key), "") << "n=" << n << " key=" << key;
        EXPECT_EQ(CheckStatus(shortAnswer.data(), n), StatusCheck::Error1) << "n=" << n;
    }
    EXPECT_EQ(GetResponseValue(nullptr, 0, "FWV"), "");
    EXPECT_EQ(GetResponseValue(kRuinf.data(), -5, "FWV"), "");
}

struct StatusCase {
    const char* text;
    StatusCheck expected;
};

TEST(StatusCheck, Table) {
    const StatusCase cases[] = {
        {"0-0", StatusCheck::Accepted},
        {"7-0", StatusCheck::Accepted},
        {" 1- 0", StatusCheck::Accepted},
        {"+1--0", StatusCheck::Accepted},
        {"0-0 trailing", StatusCheck::Accepted},
        {"-5-00", StatusCheck::Accepted},
        {"0-00000000000000000000000", StatusCheck::Accepted},
        {"0-1", StatusCheck::Error2},
        {"0--3", StatusCheck::Error2},
        {"0-4294967296", StatusCheck::Error2},  // not 0, however it would wrap
        {"0", StatusCheck::Error1},
        {"0 -0", StatusCheck::Error1},
        {"-", StatusCheck::Error1},
        {"", StatusCheck::Error1},
        {"0-", StatusCheck::Error1},
        {"0-x", StatusCheck::Error1},
        {"0-+", StatusCheck::Error1},
        {"x0-0", StatusCheck::Error1},
        {"--0", StatusCheck::Error1},
    };
    for (const auto& c : cases) EXPECT_EQ(CheckStatusText(c.text), c.expected) << '"' << c.text << '"';
}

TEST(StatusCheck, ReadsTheStatusItemOfAnAnswer) {
    const Bytes ok = MakeAnswer("RUINF:", {{"STATUS", "0-0"}});
    const Bytes refused = MakeAnswer("ICHIP:", {{"STATUS", "0-2"}});
    const Bytes none = MakeAnswer("RUINF:", {{"FWV", "1.31"}});
    EXPECT_EQ(CheckStatus(ok.data(), static_cast<int>(ok.size())), StatusCheck::Accepted);
    EXPECT_EQ(CheckStatus(refused.data(), static_cast<int>(refused.size())), StatusCheck::Error2);
    EXPECT_EQ(CheckStatus(none.data(), static_cast<int>(none.size())), StatusCheck::Error1);
}

TEST(TextConversion, Latin1BytesBecomeTheirCodePoints) {
    EXPECT_EQ(Latin1ToUtf8("1.31"), "1.31");
    EXPECT_EQ(Latin1ToUtf8("\xE9\xFF\x80"), "\xC3\xA9\xC3\xBF\xC2\x80");
    EXPECT_EQ(Latin1ToUtf8(std::string("a\0b", 3)), std::string("a\0b", 3));
}

TEST(TextConversion, InvalidUtf8FromTheLinkIsReplacedNotPassedOn) {
    EXPECT_EQ(AnsiToUtf8("\xE3\x81\x82"), "\xE3\x81\x82");      // a valid 3-byte character
    EXPECT_EQ(AnsiToUtf8("\xE3\x81"), "\xEF\xBF\xBD\xEF\xBF\xBD");  // cut short
    EXPECT_EQ(AnsiToUtf8("\xC0\xAF"), "\xEF\xBF\xBD\xEF\xBF\xBD");  // overlong
    EXPECT_EQ(AnsiToUtf8("\xED\xA0\x80"), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");  // surrogate
}

}  // namespace
}  // namespace nimbra
