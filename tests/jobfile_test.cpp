#include "job/jobfile.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <initializer_list>
#include <string>
#include <vector>

#include "tests/testsupport.h"

namespace {

using namespace std::string_literals;
using Lines = std::vector<std::string>;
using testing_support::TempFolder;
using testing_support::WriteFile;

template <typename Case>
std::string CaseName(const testing::TestParamInfo<Case>& info) {
  return info.param.name;
}

std::string Bytes(std::initializer_list<unsigned char> list) {
  return std::string(list.begin(), list.end());
}

// ASCII text as UTF-16 in the given byte order, optionally with its byte-order mark.
std::string Utf16(const std::string& ascii, bool bigEndian, bool withMark) {
  std::string bytes = withMark ? (bigEndian ? "\xFE\xFF" : "\xFF\xFE") : "";
  for (char c : ascii) {
    if (bigEndian) bytes += '\0';
    bytes += c;
    if (!bigEndian) bytes += '\0';
  }
  return bytes;
}

// ----- LoadJobFile, then TakeOutputFolder, for files as editors save them ---------------------

struct JobFileCase {
  std::string name;
  std::string bytes;
  Lines lines;
  std::string outputFolder;
};

class JobFileContent : public testing::TestWithParam<JobFileCase> {
 protected:
  TempFolder settings_;
};

TEST_P(JobFileContent, GivesLinesAndOutputFolder) {
  WriteFile(settings_ / kJobFileName, GetParam().bytes);
  const Lines lines = LoadJobFile(settings_.path());
  EXPECT_EQ(lines, GetParam().lines);
  EXPECT_EQ(TakeOutputFolder(lines), GetParam().outputFolder);
}

INSTANTIATE_TEST_SUITE_P(
    Job, JobFileContent,
    testing::Values(
        // Encodings.
        JobFileCase{"Utf8",
                    "OutputFolder:/o\xC3\xA9\n/a\n",
                    {"OutputFolder:/o\xC3\xA9", "/a"},
                    "/o\xC3\xA9"},
        JobFileCase{"Utf8WithMark",
                    "\xEF\xBB\xBFOutputFolder:/o\n/a\xC3\xA9\n",
                    {"OutputFolder:/o", "/a\xC3\xA9"},
                    "/o"},
        JobFileCase{"Windows1252",
                    "OutputFolder:/Caf\xE9\r\n/\x80\r\n",
                    {"OutputFolder:/Caf\xC3\xA9", "/\xE2\x82\xAC"},
                    "/Caf\xC3\xA9"},
        JobFileCase{"Utf16LeWithMark",
                    Utf16("OutputFolder:/o\r\n/a\r\n", false, true) + Bytes({0xE9, 0x00}),
                    {"OutputFolder:/o", "/a", "\xC3\xA9"},
                    "/o"},
        JobFileCase{"Utf16BeWithMark",
                    Utf16("OutputFolder:/o\r\n/a\r\n", true, true),
                    {"OutputFolder:/o", "/a"},
                    "/o"},
        // Without a mark UTF-16 passes as UTF-8, and its first zero byte ends the text.
        JobFileCase{
            "Utf16LeWithoutMark", Utf16("OutputFolder:/o\r\n/a\r\n", false, false), {"O"}, ""},
        JobFileCase{"Utf8MarkThenInvalid", "\xEF\xBB\xBFOutputFolder:/Caf\xE9\n/a\n", {}, ""},
        JobFileCase{"Empty", "", {}, ""},
        // Line ends.
        JobFileCase{"CrLf", "OutputFolder:/o\r\n/a\r\n/b", {"OutputFolder:/o", "/a", "/b"}, "/o"},
        JobFileCase{"Lf", "OutputFolder:/o\n/a\n/b\n", {"OutputFolder:/o", "/a", "/b"}, "/o"},
        JobFileCase{"Cr", "OutputFolder:/o\r/a\r/b\r", {"OutputFolder:/o", "/a", "/b"}, "/o"},
        JobFileCase{"MixedLineEnds",
                    "OutputFolder:/o\r\n/a\n/b\r/c",
                    {"OutputFolder:/o", "/a", "/b", "/c"},
                    "/o"},
        JobFileCase{"NulEndsText", "OutputFolder:/o\n/a\n\0/b\n"s, {"OutputFolder:/o", "/a"}, "/o"},
        // The sources as written: a blank line stays, nothing is trimmed.
        JobFileCase{"OnlyOutputLine", "OutputFolder:/o\r\n", {"OutputFolder:/o"}, "/o"},
        JobFileCase{"BlankLineKept",
                    "OutputFolder:/o\n/a\n\n/b\n",
                    {"OutputFolder:/o", "/a", "", "/b"},
                    "/o"},
        JobFileCase{"SourcesNotTrimmed",
                    "OutputFolder: /o \n  /a b  \n\t/c\n",
                    {"OutputFolder: /o ", "  /a b  ", "\t/c"},
                    "/o"}),
    CaseName<JobFileCase>);

TEST(JobFileMissing, GivesNoLines) {
  TempFolder settings;
  {
    SCOPED_TRACE("no file in the settings folder");
    EXPECT_EQ(LoadJobFile(settings.path()), Lines{});
  }
  {
    SCOPED_TRACE("no settings folder at all");
    EXPECT_EQ(LoadJobFile(settings / "absent"), Lines{});
  }
}

TEST(JobFileMissing, FolderInPlaceOfFileGivesNoLines) {
  TempFolder settings;
  std::filesystem::create_directory(settings / kJobFileName);
  EXPECT_EQ(LoadJobFile(settings.path()), Lines{});
}

// ----- TakeOutputFolder -----------------------------------------------------------------------

struct OutputFolderCase {
  std::string name;
  Lines lines;
  std::string expected;
};

class OutputFolderLine : public testing::TestWithParam<OutputFolderCase> {};

TEST_P(OutputFolderLine, GivesTrimmedFolder) {
  EXPECT_EQ(TakeOutputFolder(GetParam().lines), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Job, OutputFolderLine,
    testing::Values(OutputFolderCase{"NoLines", {}, ""},
                    OutputFolderCase{"Plain", {"OutputFolder:/x/y", "/a"}, "/x/y"},
                    OutputFolderCase{"Trimmed", {"OutputFolder:   /x/y  "}, "/x/y"},
                    OutputFolderCase{"TrimmedControls", {"OutputFolder:\t/x y\x01"}, "/x y"},
                    OutputFolderCase{"OnlySpaces", {"OutputFolder:    "}, ""},
                    OutputFolderCase{"OnlyPrefix", {"OutputFolder:"}, ""},
                    OutputFolderCase{"LowerCasePrefix", {"outputfolder:/x"}, ""},
                    OutputFolderCase{"UpperCasePrefix", {"OUTPUTFOLDER:/x"}, ""},
                    OutputFolderCase{"NoColon", {"OutputFolder /x"}, ""},
                    OutputFolderCase{"SpaceBeforePrefix", {" OutputFolder:/x"}, ""},
                    OutputFolderCase{"SpaceBeforeColon", {"OutputFolder :/x"}, ""},
                    OutputFolderCase{"PrefixOnSecondLine", {"/a", "OutputFolder:/x"}, ""},
                    OutputFolderCase{"BlankFirstLine", {"", "OutputFolder:/x"}, ""},
                    OutputFolderCase{"ColonInFolderKept",
                                     {"OutputFolder:/x:y/OutputFolder:"},
                                     "/x:y/OutputFolder:"}),
    CaseName<OutputFolderCase>);

}  // namespace
