// settings.ini as the front end and the program share it, the settings folder's place, and the
// text lookup.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>

#include "environment/inifile.h"
#include "environment/settings.h"
#include "environment/translate.h"
#include "platform/platform.h"
#include "tests/testsupport.h"

namespace fs = std::filesystem;
using testing_support::ReadFile;
using testing_support::TempFolder;
using testing_support::WriteFile;

struct IntegerCase {
  const char* name;
  const char* value;
  int expected;
};

class StayOnTopValue : public ::testing::TestWithParam<IntegerCase> {};

TEST_P(StayOnTopValue, ReadsAsTheIntegerRuleSays) {
  TempFolder folder;
  WriteFile(folder / "settings.ini",
            std::string("[Settings]\nStayOnTop=") + GetParam().value + "\n");
  EXPECT_EQ(Settings(folder.path()).StayOnTop(), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Values, StayOnTopValue,
    ::testing::Values(IntegerCase{"One", "1", 1}, IntegerCase{"Two", "2", 2},
                      IntegerCase{"HexWithZeroX", "0x1", 1}, IntegerCase{"HexWithDollar", "$1", 1},
                      IntegerCase{"HexUpper", "0X0A", 10}, IntegerCase{"Negative", "-1", -1},
                      IntegerCase{"Word", "yes", 0}, IntegerCase{"Empty", "", 0},
                      IntegerCase{"TrailingJunk", "1x", 0}, IntegerCase{"PrefixOnly", "0x", 0},
                      IntegerCase{"TooLarge", "99999999999", 0},
                      IntegerCase{"HexBitPattern", "$FFFFFFFF", -1}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(IniFile, ReadsKeysRegardlessOfLetterCaseAndBlanks) {
  TempFolder folder;
  WriteFile(folder / "settings.ini",
            "\xEF\xBB\xBF[other]\r\nAction=9\r\n[SETTINGS]\r\n  action =  1  \r\n"
            "LanguageFile=German.lang.txt\r\n[Settings]\r\nAction=2\r\n");
  Settings settings(folder.path());
  EXPECT_EQ(settings.Action(), "1");
  EXPECT_EQ(settings.LanguageFile(), "German.lang.txt");
  EXPECT_EQ(settings.StayOnTop(), 0);
}

TEST(IniFile, MissingFileGivesDefaults) {
  TempFolder folder;
  Settings settings(folder.path());
  EXPECT_EQ(settings.Action(), "");
  EXPECT_EQ(settings.StayOnTop(), 0);
  EXPECT_EQ(settings.LanguageFile(), "");
}

struct WriteCase {
  const char* name;
  const char* before;
  const char* after;
};

class ActionWrite : public ::testing::TestWithParam<WriteCase> {};

// Writing the done mark changes the one value and leaves every other byte as it was.
TEST_P(ActionWrite, KeepsEverythingElse) {
  TempFolder folder;
  WriteFile(folder / "settings.ini", GetParam().before);
  Settings(folder.path()).WriteActionDone();
  EXPECT_EQ(ReadFile(folder / "settings.ini"), GetParam().after);
}

INSTANTIATE_TEST_SUITE_P(
    Files, ActionWrite,
    ::testing::Values(
        WriteCase{"ValueReplaced",
                  "; front end\r\n[Settings]\r\nStayOnTop=1\r\nAction = 1\r\nLanguageFile=x\r\n",
                  "; front end\r\n[Settings]\r\nStayOnTop=1\r\nAction = 0\r\nLanguageFile=x\r\n"},
        WriteCase{"OtherSectionsUntouched", "[A]\nAction=1\n[settings]\naction=1\n[B]\nk=v",
                  "[A]\nAction=1\n[settings]\naction=0\n[B]\nk=v"},
        WriteCase{"KeyAddedToSection", "[Settings]\nStayOnTop=1\n\n[Other]\nx=1\n",
                  "[Settings]\nStayOnTop=1\nAction=0\n\n[Other]\nx=1\n"},
        // A new line ending in the file's first line end, a lone CR, would join the LF of the
        // blank line after it into one CR LF, and the blank line would be gone.
        WriteCase{"AddedLineEndsLikeTheLineBeforeIt", "; x\r[Settings]\nStayOnTop=1\n\n[B]\n",
                  "; x\r[Settings]\nStayOnTop=1\nAction=0\n\n[B]\n"},
        WriteCase{"SectionAdded", "[Other]\nx=1", "[Other]\nx=1\n[Settings]\nAction=0\n"},
        WriteCase{"EmptyFile", "", "[Settings]\nAction=0\n"},
        WriteCase{"MarkKept", "\xEF\xBB\xBF[Settings]\r\nAction=1",
                  "\xEF\xBB\xBF[Settings]\r\nAction=0"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(IniFile, WriteKeepsTheFileMode) {
  TempFolder folder;
  WriteFile(folder / "settings.ini", "[Settings]\nAction=1\n");
  ASSERT_EQ(chmod((folder / "settings.ini").c_str(), 0640), 0);
  Settings(folder.path()).WriteActionDone();
  struct stat info {};
  ASSERT_EQ(stat((folder / "settings.ini").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0640u);
  EXPECT_EQ(fs::directory_iterator(folder.path())->path().filename(), "settings.ini")
      << "no temporary file may stay behind";
}

// The settings folder was removed during the run: the write fails and says where.
TEST(IniFile, FailedWriteNamesTheFile) {
  TempFolder folder;
  Settings settings(folder / "gone");
  try {
    settings.WriteActionDone();
    FAIL() << "the write must fail";
  } catch (const platform::Error& error) {
    EXPECT_EQ(std::string(error.what()),
              "Unable to write to " + (folder / "gone/settings.ini").string());
  }
}

TEST(SettingsFolder, PortableWhenSettingsStandBesideTheProgram) {
  TempFolder folder;
  WriteFile(folder / "bin/settings.ini", "");
  ASSERT_EQ(setenv("XDG_CONFIG_HOME", (folder / "config").c_str(), 1), 0);
  fs::create_directories(folder / "config");
  EXPECT_EQ(LocateSettingsFolder(folder / "bin/zorbel", "Olvandi", "Quorvane"), folder / "bin");
  EXPECT_TRUE(fs::is_empty(folder / "config")) << "nothing is created per user";
}

TEST(SettingsFolder, PerUserFoldersAreCreated) {
  TempFolder folder;
  fs::create_directories(folder / "bin");
  fs::create_directories(folder / "config");
  ASSERT_EQ(setenv("XDG_CONFIG_HOME", (folder / "config").c_str(), 1), 0);
  const fs::path expected = folder / "config/Olvandi/Quorvane";
  EXPECT_EQ(LocateSettingsFolder(folder / "bin/zorbel", "Olvandi", "Quorvane"), expected);
  EXPECT_TRUE(fs::is_directory(expected));
  // A second start finds them there already, which is no error.
  EXPECT_EQ(LocateSettingsFolder(folder / "bin/zorbel", "Olvandi", "Quorvane"), expected);
}

struct TranslateCase {
  const char* name;
  std::vector<std::string> lines;
  const char* english;
  const char* expected;
};

class Lookup : public ::testing::TestWithParam<TranslateCase> {};

TEST_P(Lookup, FindsTheFirstExactKey) {
  Language language{"/languages/x.lang.txt", GetParam().lines};
  EXPECT_EQ(language.Translate(GetParam().english), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, Lookup,
    ::testing::Values(
        TranslateCase{"Translated", {"{Cancel}Abbrechen"}, "Cancel", "Abbrechen"},
        TranslateCase{"EmptyTranslationKeepsEnglish", {"{Cancel}"}, "Cancel", "Cancel"},
        TranslateCase{"LeadingSpaceKept", {"{Cancel} Abbrechen"}, "Cancel", " Abbrechen"},
        TranslateCase{"ShorterKeyDoesNotMatch", {"{Cancel}Abbrechen"}, "Canceled!", "Canceled!"},
        TranslateCase{"LetterCaseMatters", {"{cancel}Abbrechen"}, "Cancel", "Cancel"},
        TranslateCase{"FirstLineWins", {"noise", "{Cancel}Eins", "{Cancel}Zwei"}, "Cancel", "Eins"},
        TranslateCase{"NoLine", {}, "Cancel", "Cancel"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Lookup, NothingLoadedKeepsEnglish) {
  Language language{{}, {"{Cancel}Abbrechen"}};
  EXPECT_EQ(language.Translate("Cancel"), "Cancel");
}
