#include "job/switches.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Words = std::vector<std::string>;

template <typename Case>
std::string CaseName(const testing::TestParamInfo<Case>& info) {
  return info.param.name;
}

// ----- SplitArguments -------------------------------------------------------------------------

struct SplitCase {
  std::string name;
  std::string commandLine;
  Words expected;
};

class SwitchSplitArguments : public testing::TestWithParam<SplitCase> {};

TEST_P(SwitchSplitArguments, GivesArguments) {
  EXPECT_EQ(SplitArguments(GetParam().commandLine), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Switch, SwitchSplitArguments,
    testing::Values(SplitCase{"Empty", "", {}}, SplitCase{"OnlySpaces", "   ", {}},
                    SplitCase{"OneWord", "move", {"move"}},
                    SplitCase{"Spaces", "  move   autoclose ", {"move", "autoclose"}},
                    SplitCase{"TabsAndBreaks",
                              "move\tautoclose\r\npreserve",
                              {"move", "autoclose", "preserve"}},
                    SplitCase{"LowestControlSeparates", "a\x01z", {"a", "z"}},
                    SplitCase{"UnitSeparatorSeparates", "a\x1Fz", {"a", "z"}},
                    SplitCase{"ExclamationJoins", "a!b", {"a!b"}},
                    SplitCase{"DeleteJoins", "a\x7Fz", {"a\x7Fz"}},
                    // Bytes of UTF-8 sequences are above 127 and must not separate.
                    SplitCase{"NonAsciiJoins", "caf\xC3\xA9 x", {"caf\xC3\xA9", "x"}},
                    SplitCase{"QuotedSpace", "\"a b\" c", {"a b", "c"}},
                    SplitCase{"QuotesDroppedMidWord", "mo\"ve\"", {"move"}},
                    SplitCase{"QuotesJoinAcrossSpace", "a\"b c\"d", {"ab cd"}},
                    SplitCase{"UnclosedQuote", "\"a b", {"a b"}},
                    // A quote pair alone still stands for an argument, an empty one.
                    SplitCase{"EmptyQuotes", "\"\"", {""}},
                    SplitCase{"EmptyQuotesBetween", "a \"\" b", {"a", "", "b"}},
                    SplitCase{"BackslashPlain", "a\\b c\\", {"a\\b", "c\\"}},
                    SplitCase{"BackslashDoesNotEscapeQuote", "\\\"a b\\\"", {"\\a b\\"}}),
    CaseName<SplitCase>);

// ----- ReadSwitches ---------------------------------------------------------------------------

std::string Describe(const RunFlags& flags) {
  std::string text;
  if (flags.AutoClose) text += "AutoClose ";
  if (flags.MoveMode) text += "MoveMode ";
  if (flags.PreserveFolderStructure) text += "PreserveFolderStructure ";
  if (flags.PreserveOriginalFile) text += "PreserveOriginalFile ";
  if (flags.CreateNumberedCopy) text += "CreateNumberedCopy ";
  return text.empty() ? "none" : text;
}

struct SwitchCase {
  std::string name;
  Words arguments;
  RunFlags expected;
};

class SwitchWords : public testing::TestWithParam<SwitchCase> {};

TEST_P(SwitchWords, SetFlags) {
  EXPECT_EQ(Describe(ReadSwitches(GetParam().arguments)), Describe(GetParam().expected));
}

INSTANTIATE_TEST_SUITE_P(
    Switch, SwitchWords,
    testing::Values(
        SwitchCase{"NoArguments", {}, {}},
        SwitchCase{"AutoClose", {"autoclose"}, {.AutoClose = true}},
        SwitchCase{"Move", {"move"}, {.MoveMode = true}},
        SwitchCase{"Preserve", {"preserve"}, {.PreserveFolderStructure = true}},
        SwitchCase{"PreserveFolderStructure",
                   {"preservefolderstructure"},
                   {.PreserveFolderStructure = true}},
        SwitchCase{
            "PreserveOriginalFile", {"preserveoriginalfile"}, {.PreserveOriginalFile = true}},
        SwitchCase{"CreateNumberedCopy", {"createnumberedcopy"}, {.CreateNumberedCopy = true}},
        SwitchCase{"All",
                   {"autoclose", "move", "preserve", "preserveoriginalfile", "createnumberedcopy"},
                   {.AutoClose = true,
                    .MoveMode = true,
                    .PreserveFolderStructure = true,
                    .PreserveOriginalFile = true,
                    .CreateNumberedCopy = true}},
        // Only the exact, lower-case word counts.
        SwitchCase{"DashMove", {"-move"}, {}}, SwitchCase{"DoubleDashMove", {"--move"}, {}},
        SwitchCase{"SlashMove", {"/move"}, {}}, SwitchCase{"CapitalMove", {"Move"}, {}},
        SwitchCase{"UpperMove", {"MOVE"}, {}}, SwitchCase{"Moves", {"moves"}, {}},
        SwitchCase{"MoveWithValue", {"move=1"}, {}},
        SwitchCase{"MixedCaseLongWord", {"preserveFolderStructure"}, {}},
        SwitchCase{"Preserv", {"preserv"}, {}},
        SwitchCase{"PathsIgnored", {"/home/u/move", "move.txt"}, {}},
        // Each element is split again by the command-line rule.
        SwitchCase{
            "TwoWordsInOneElement", {"move autoclose"}, {.AutoClose = true, .MoveMode = true}},
        SwitchCase{"TabInElement",
                   {"move\tpreserve"},
                   {.MoveMode = true, .PreserveFolderStructure = true}},
        SwitchCase{"QuotedWord", {"\"move\""}, {.MoveMode = true}},
        SwitchCase{"QuotedSpaceMakesOneWord", {"\"move autoclose\""}, {}},
        SwitchCase{"EmptyElement", {""}, {}},
        SwitchCase{"Repeated", {"move", "move", "move move"}, {.MoveMode = true}},
        SwitchCase{"AmongOtherArguments",
                   {"/src/a", "createnumberedcopy", "--verbose", "preserveoriginalfile"},
                   {.PreserveOriginalFile = true, .CreateNumberedCopy = true}}),
    CaseName<SwitchCase>);

}  // namespace
