#include "environment/textfile.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

namespace {

using Lines = std::vector<std::string>;

// Test names may hold only letters, digits and underscores.
template <typename Case>
std::string CaseName(const testing::TestParamInfo<Case>& info) {
  return info.param.name;
}

// ----- IsValidUtf8 ----------------------------------------------------------------------------

struct Utf8Case {
  std::string name;
  std::string bytes;
  bool valid;
};

class Utf8Validity : public testing::TestWithParam<Utf8Case> {};

TEST_P(Utf8Validity, MatchesWellFormedness) {
  EXPECT_EQ(text::IsValidUtf8(GetParam().bytes), GetParam().valid);
}

INSTANTIATE_TEST_SUITE_P(
    Text, Utf8Validity,
    testing::Values(
        Utf8Case{"Empty", "", true}, Utf8Case{"Ascii", "plain /path 123", true},
        Utf8Case{"EmbeddedNul", std::string("a\0b", 3), true},
        // The edges of each sequence length.
        Utf8Case{"LastOneByte", "\x7F", true}, Utf8Case{"FirstTwoByte", "\xC2\x80", true},
        Utf8Case{"LastTwoByte", "\xDF\xBF", true}, Utf8Case{"FirstThreeByte", "\xE0\xA0\x80", true},
        Utf8Case{"LastBeforeSurrogates", "\xED\x9F\xBF", true},
        Utf8Case{"FirstAfterSurrogates", "\xEE\x80\x80", true},
        Utf8Case{"LastThreeByte", "\xEF\xBF\xBF", true},
        Utf8Case{"FirstFourByte", "\xF0\x90\x80\x80", true},
        Utf8Case{"LastCodePoint", "\xF4\x8F\xBF\xBF", true},
        Utf8Case{"MixedText", "Caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80", true},
        // Overlong forms.
        Utf8Case{"OverlongNulTwoByte", "\xC0\x80", false},
        Utf8Case{"OverlongC1", "\xC1\xBF", false},
        Utf8Case{"OverlongThreeByte", "\xE0\x9F\xBF", false},
        Utf8Case{"OverlongFourByte", "\xF0\x8F\xBF\xBF", false},
        // Surrogates and code points beyond U+10FFFF.
        Utf8Case{"FirstSurrogate", "\xED\xA0\x80", false},
        Utf8Case{"LastSurrogate", "\xED\xBF\xBF", false},
        Utf8Case{"EncodedSurrogatePair", "\xED\xA0\xBD\xED\xB8\x80", false},
        Utf8Case{"AboveLastCodePoint", "\xF4\x90\x80\x80", false},
        Utf8Case{"LeadF5", "\xF5\x80\x80\x80", false}, Utf8Case{"LeadFF", "\xFF", false},
        // Broken sequences.
        Utf8Case{"StrayContinuation", "a\x80", false},
        Utf8Case{"TruncatedTwoByte", "ab\xC3", false},
        Utf8Case{"TruncatedThreeByte", "\xE2\x82", false},
        Utf8Case{"TruncatedFourByte", "\xF0\x9F\x98", false},
        Utf8Case{"AsciiInsteadOfContinuation", "\xC3(", false},
        Utf8Case{"BadThirdByte", "\xE2\x82(", false},
        Utf8Case{"BadFourthByte", "\xF0\x9F\x98(", false},
        Utf8Case{"Latin1Byte", "Caf\xE9", false}),
    CaseName<Utf8Case>);

// ----- DecodeUtf8 and DecodeDefault -----------------------------------------------------------

struct DecodeCase {
  std::string name;
  std::string bytes;
  std::optional<std::string> expected;
};

class DecodeUtf8Text : public testing::TestWithParam<DecodeCase> {};

TEST_P(DecodeUtf8Text, GivesTextWithoutMark) {
  EXPECT_EQ(text::DecodeUtf8(GetParam().bytes), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Text, DecodeUtf8Text,
    testing::Values(DecodeCase{"Plain", "a\xC3\xA9", "a\xC3\xA9"},
                    DecodeCase{"MarkSkipped", "\xEF\xBB\xBFx", "x"},
                    DecodeCase{"OnlyMark", "\xEF\xBB\xBF", ""},
                    // Only the first mark is the file's; a second is a character of the text.
                    DecodeCase{"SecondMarkKept", "\xEF\xBB\xBF\xEF\xBB\xBFx", "\xEF\xBB\xBFx"},
                    DecodeCase{"Invalid", "Caf\xE9", std::nullopt},
                    DecodeCase{"InvalidAfterMark", "\xEF\xBB\xBF\xE9", std::nullopt},
                    // A UTF-16 mark is not UTF-8.
                    DecodeCase{"Utf16Mark", "\xFF\xFEx", std::nullopt}),
    CaseName<DecodeCase>);

class DecodeDefaultText : public testing::TestWithParam<DecodeCase> {};

TEST_P(DecodeDefaultText, GivesUtf8) {
  EXPECT_EQ(text::DecodeDefault(GetParam().bytes), GetParam().expected);
}

const std::string kMark = "\xEF\xBB\xBF";
const std::string kReplacement = "\xEF\xBF\xBD";  // U+FFFD

std::string Bytes(std::initializer_list<unsigned char> list) {
  return std::string(list.begin(), list.end());
}

INSTANTIATE_TEST_SUITE_P(
    Text, DecodeDefaultText,
    testing::Values(
        DecodeCase{"Utf8Mark", kMark + "Caf\xC3\xA9", "Caf\xC3\xA9"},
        DecodeCase{"Utf8MarkThenInvalid", kMark + "Caf\xE9", std::nullopt},
        DecodeCase{"Utf16LeMark", Bytes({0xFF, 0xFE, 'C', 0, 0xE9, 0, 0xAC, 0x20}),
                   "C\xC3\xA9\xE2\x82\xAC"},
        DecodeCase{"Utf16BeMark", Bytes({0xFE, 0xFF, 0, 'C', 0, 0xE9, 0x20, 0xAC}),
                   "C\xC3\xA9\xE2\x82\xAC"},
        DecodeCase{"Utf16LeOnlyMark", Bytes({0xFF, 0xFE}), ""},
        DecodeCase{"Utf16LeSurrogatePair", Bytes({0xFF, 0xFE, 0x3D, 0xD8, 0x00, 0xDE}),
                   "\xF0\x9F\x98\x80"},
        DecodeCase{"Utf16BeSurrogatePair", Bytes({0xFE, 0xFF, 0xD8, 0x3D, 0xDE, 0x00}),
                   "\xF0\x9F\x98\x80"},
        DecodeCase{"Utf16LeLoneHighAtEnd", Bytes({0xFF, 0xFE, 'a', 0, 0x3D, 0xD8}),
                   "a\xEF\xBF\xBD"},
        DecodeCase{"Utf16LeHighBeforeLetter", Bytes({0xFF, 0xFE, 0x3D, 0xD8, 'a', 0}),
                   kReplacement + "a"},
        DecodeCase{"Utf16LeLoneLow", Bytes({0xFF, 0xFE, 0x00, 0xDE, 'a', 0}), kReplacement + "a"},
        DecodeCase{"Utf16LeTwoHighsThenLow",
                   Bytes({0xFF, 0xFE, 0x3D, 0xD8, 0x3D, 0xD8, 0x00, 0xDE}),
                   "\xEF\xBF\xBD\xF0\x9F\x98\x80"},
        DecodeCase{"Utf16LeOddByteDropped", Bytes({0xFF, 0xFE, 'a', 0, 'b'}), "a"},
        DecodeCase{"Utf16BeOddByteDropped", Bytes({0xFE, 0xFF, 0, 'a', 0}), "a"},
        DecodeCase{"Utf16LeNulKept", Bytes({0xFF, 0xFE, 'a', 0, 0, 0, 'b', 0}),
                   std::string("a\0b", 3)},
        // Without a mark: Windows-1252, including the bytes where it differs from Latin-1.
        DecodeCase{"Ascii", "/home/user", "/home/user"},
        DecodeCase{"Latin1Letter", "Caf\xE9", "Caf\xC3\xA9"},
        DecodeCase{"EuroSign", "\x80", "\xE2\x82\xAC"},
        DecodeCase{"LowQuote", "\x82", "\xE2\x80\x9A"}, DecodeCase{"SCaron", "\x8A", "\xC5\xA0"},
        DecodeCase{"ZCaron", "\x8E", "\xC5\xBD"}, DecodeCase{"LeftQuote", "\x91", "\xE2\x80\x98"},
        DecodeCase{"EnDash", "\x96", "\xE2\x80\x93"},
        DecodeCase{"TradeMark", "\x99", "\xE2\x84\xA2"},
        DecodeCase{"YDiaeresis", "\x9F", "\xC5\xB8"}, DecodeCase{"Undefined81", "\x81", "\xC2\x81"},
        DecodeCase{"Undefined8D", "\x8D", "\xC2\x8D"},
        DecodeCase{"Undefined8F", "\x8F", "\xC2\x8F"},
        DecodeCase{"Undefined90", "\x90", "\xC2\x90"},
        DecodeCase{"Undefined9D", "\x9D", "\xC2\x9D"},
        DecodeCase{"NoBreakSpace", "\xA0", "\xC2\xA0"}, DecodeCase{"LastByte", "\xFF", "\xC3\xBF"},
        // Valid UTF-8 without a mark is still read as Windows-1252 here.
        DecodeCase{"Utf8WithoutMark", "\xC3\xA9", "\xC3\x83\xC2\xA9"}, DecodeCase{"Empty", "", ""}),
    CaseName<DecodeCase>);

// ----- SplitLines -----------------------------------------------------------------------------

struct SplitCase {
  std::string name;
  std::string text;
  Lines expected;
};

class SplitTextLines : public testing::TestWithParam<SplitCase> {};

TEST_P(SplitTextLines, GivesLines) {
  EXPECT_EQ(text::SplitLines(GetParam().text), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Text, SplitTextLines,
    testing::Values(SplitCase{"Empty", "", {}}, SplitCase{"OneLine", "a", {"a"}},
                    SplitCase{"FinalLf", "a\n", {"a"}}, SplitCase{"FinalCrLf", "a\r\n", {"a"}},
                    SplitCase{"FinalCr", "a\r", {"a"}}, SplitCase{"OnlyBreak", "\n", {""}},
                    SplitCase{"Lf", "a\nb", {"a", "b"}}, SplitCase{"CrLf", "a\r\nb", {"a", "b"}},
                    SplitCase{"Cr", "a\rb", {"a", "b"}},
                    SplitCase{"Mixed", "a\rb\nc\r\nd", {"a", "b", "c", "d"}},
                    SplitCase{"BlankLineLf", "a\n\nb", {"a", "", "b"}},
                    SplitCase{"BlankLineCr", "a\r\rb", {"a", "", "b"}},
                    SplitCase{"BlankLineCrLf", "a\r\n\r\nb", {"a", "", "b"}},
                    // LF before CR is two breaks, not one.
                    SplitCase{"LfThenCr", "a\n\rb", {"a", "", "b"}},
                    SplitCase{"TrailingBlankLine", "a\n\n", {"a", ""}},
                    SplitCase{"SpacesKept", "  a \n", {"  a "}},
                    SplitCase{"NulEndsText", std::string("a\nb\0c\nd", 7), {"a", "b"}},
                    SplitCase{"NulAfterBreak", std::string("a\n\0b", 4), {"a"}},
                    SplitCase{"NulFirst", std::string("\0a\nb", 4), {}},
                    SplitCase{"NulBetweenCrAndLf", std::string("a\r\0\nb", 5), {"a"}}),
    CaseName<SplitCase>);

// ----- TrimControl ----------------------------------------------------------------------------

struct TrimCase {
  std::string name;
  std::string text;
  std::string expected;
};

class TrimControlText : public testing::TestWithParam<TrimCase> {};

TEST_P(TrimControlText, DropsOuterControlsAndSpaces) {
  EXPECT_EQ(text::TrimControl(GetParam().text), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Text, TrimControlText,
    testing::Values(TrimCase{"Empty", "", ""}, TrimCase{"OnlySpaces", "   ", ""},
                    TrimCase{"Spaces", "  /x/y  ", "/x/y"},
                    TrimCase{"Controls", "\t\r\n\x01/x\x1F\x0B", "/x"},
                    TrimCase{"InnerSpacesKept", " a  b ", "a  b"},
                    TrimCase{"DeleteKept", " \x7Fz\x7F ", "\x7Fz\x7F"},
                    // Bytes of UTF-8 sequences are above 127 and must not count as controls.
                    TrimCase{"NonAsciiKept", " \xC3\xA9t\xC3\xA9 ", "\xC3\xA9t\xC3\xA9"},
                    TrimCase{"NoBreakSpaceKept", "\xC2\xA0x\xC2\xA0", "\xC2\xA0x\xC2\xA0"}),
    CaseName<TrimCase>);

}  // namespace
