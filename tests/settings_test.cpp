// settings.ini as the front end and the program share it, the settings folder's place, and the
// text lookup.
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>

#include "environment/inifile.h"
#include "environment/settings.h"
#include "environment/translate.h"
#include "platform/platform.h"
#include "tests/testsupport.h"

namespace fs = std::filesystem;
using testing_support::ReadFile;
using testing_support::ScopedEnv;
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

// ----- root started through pkexec or sudo on behalf of a user ------------------------------

struct Invoker {
  uid_t uid;
  gid_t gid;
  fs::path home;
};

// The system's "nobody" stands for the user who started the program.
std::optional<Invoker> Nobody() {
  const passwd* entry = ::getpwnam("nobody");
  if (!entry) return std::nullopt;
  return Invoker{entry->pw_uid, entry->pw_gid, entry->pw_dir};
}

struct stat StatOf(const fs::path& path) {
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0) info.st_uid = info.st_gid = static_cast<uid_t>(-1);
  return info;
}

class SettingsOnBehalf : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to stand for a sudo start";
    if (!user) GTEST_SKIP() << "no user 'nobody' to act for";
    sudo.emplace("SUDO_UID", std::to_string(user->uid));
  }

 public:
  // A folder of the test's, handed to the user.
  fs::path UserFolder(const fs::path& folder) const {
    fs::create_directories(folder);
    if (::chown(folder.c_str(), user->uid, user->gid) != 0) ADD_FAILURE() << "chown " << folder;
    return folder;
  }

 protected:
  const std::optional<Invoker> user = Nobody();
  TempFolder folder;
  // Root's own environment as sudo leaves it.
  ScopedEnv home{"HOME", (folder / "root").string()};
  ScopedEnv config{"XDG_CONFIG_HOME", std::nullopt};
  ScopedEnv data{"XDG_DATA_HOME", std::nullopt};
  std::optional<ScopedEnv> sudo;
};

struct UserFolderCase {
  const char* name;
  // Prepares what the variable names in the test's folder; no value leaves it unset.
  std::optional<std::string> (*prepare)(const SettingsOnBehalf& test, const fs::path& folder);
  bool taken;  // the variable's folder is the user's folder, else the one below the user's home
};

class UserFolderOnBehalf : public SettingsOnBehalf,
                           public ::testing::WithParamInterface<UserFolderCase> {};

// sudo -E may keep root's XDG variables: only a folder the user owns is the user's.
TEST_P(UserFolderOnBehalf, VariableCountsOnlyForAFolderOfTheUser) {
  struct Kind {
    const char* variable;
    fs::path (*folder)();
    const char* belowHome;
  };
  for (const Kind& kind : {Kind{"XDG_CONFIG_HOME", platform::UserConfigFolder, ".config"},
                           Kind{"XDG_DATA_HOME", platform::UserDataFolder, ".local/share"}}) {
    SCOPED_TRACE(kind.variable);
    const std::optional<std::string> value = GetParam().prepare(*this, folder / kind.variable);
    ScopedEnv variable{kind.variable, value};
    EXPECT_EQ(kind.folder(), GetParam().taken ? fs::path(*value) : user->home / kind.belowHome);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Variables, UserFolderOnBehalf,
    ::testing::Values(UserFolderCase{"Unset",
                                     [](const SettingsOnBehalf&, const fs::path&)
                                         -> std::optional<std::string> { return std::nullopt; },
                                     false},
                      UserFolderCase{"Relative",
                                     [](const SettingsOnBehalf& test,
                                        const fs::path& folder) -> std::optional<std::string> {
                                       test.UserFolder(folder);
                                       return folder.relative_path().string();
                                     },
                                     false},
                      UserFolderCase{"FolderOfRoot",
                                     [](const SettingsOnBehalf&,
                                        const fs::path& folder) -> std::optional<std::string> {
                                       fs::create_directories(folder);
                                       return folder.string();
                                     },
                                     false},
                      UserFolderCase{"NoFolder",
                                     [](const SettingsOnBehalf&, const fs::path& folder)
                                         -> std::optional<std::string> { return folder.string(); },
                                     false},
                      UserFolderCase{"FolderOfTheUser",
                                     [](const SettingsOnBehalf& test,
                                        const fs::path& folder) -> std::optional<std::string> {
                                       return test.UserFolder(folder).string();
                                     },
                                     true}),
    [](const auto& info) { return std::string(info.param.name); });

// Made by root, the settings folders and a rewritten settings.ini still belong to the user, whose
// own front end writes the next job there.
TEST_F(SettingsOnBehalf, FoldersMadeAndSettingsRewrittenStayTheUsers) {
  const fs::path config = UserFolder(folder / "config");
  ScopedEnv variable{"XDG_CONFIG_HOME", config.string()};
  const fs::path settings = LocateSettingsFolder(folder / "bin/zorbel", "Olvandi", "Quorvane");
  ASSERT_EQ(settings, config / "Olvandi/Quorvane");
  for (const fs::path& made : {config / "Olvandi", settings}) {
    EXPECT_TRUE(fs::is_directory(made)) << made;
    EXPECT_EQ(StatOf(made).st_uid, user->uid) << made;
    EXPECT_EQ(StatOf(made).st_gid, user->gid) << made;
  }

  const fs::path ini = settings / "settings.ini";
  WriteFile(ini, "[Settings]\nAction=1\n");
  ASSERT_EQ(::chown(ini.c_str(), user->uid, user->gid), 0);
  ASSERT_EQ(::chmod(ini.c_str(), 0600), 0);
  Settings(settings).WriteActionDone();
  EXPECT_EQ(ReadFile(ini), "[Settings]\nAction=0\n");
  EXPECT_EQ(StatOf(ini).st_uid, user->uid);
  EXPECT_EQ(StatOf(ini).st_gid, user->gid);
  EXPECT_EQ(StatOf(ini).st_mode & 07777, 0600u);
}

// Root started for itself keeps to its own environment, variable or not.
TEST(SettingsFolder, NotOnBehalfTheEnvironmentDecides) {
  TempFolder folder;
  ScopedEnv home{"HOME", (folder / "home").string()};
  ScopedEnv config{"XDG_CONFIG_HOME", std::nullopt};
  EXPECT_EQ(platform::UserConfigFolder(), folder / "home/.config");
  ScopedEnv data{"XDG_DATA_HOME", (folder / "anywhere").string()};
  EXPECT_EQ(platform::UserDataFolder(), folder / "anywhere");
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
