// Which language file a start picks and how it is read, the user's interface language, the
// language files the program ships, and a run shown in one of them.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <optional>
#include <set>

#include "environment/language.h"
#include "environment/settings.h"
#include "environment/textfile.h"
#include "job/combiningrun.h"
#include "platform/platform.h"
#include "platform/uilanguage.h"
#include "tests/recordingwindow.h"
#include "tests/testsupport.h"

namespace fs = std::filesystem;
using testing_support::ReadFile;
using testing_support::TempFolder;
using testing_support::WriteFile;
using Lines = std::vector<std::string>;

namespace {

// The locale variables the interface language is read from, set for one test and put back as
// they were afterwards, so the tests also pass when one process runs them all.
class LocaleEnvironment {
 public:
  struct Values {
    const char* language = nullptr;
    const char* lcAll = nullptr;
    const char* lcMessages = nullptr;
    const char* lang = nullptr;
  };

  explicit LocaleEnvironment(const Values& values) {
    for (const char* name : kNames) {
      const char* old = std::getenv(name);
      saved_[name] = old ? std::optional<std::string>(old) : std::nullopt;
    }
    Set("LANGUAGE", values.language);
    Set("LC_ALL", values.lcAll);
    Set("LC_MESSAGES", values.lcMessages);
    Set("LANG", values.lang);
  }
  ~LocaleEnvironment() {
    for (const auto& [name, value] : saved_) Set(name.c_str(), value ? value->c_str() : nullptr);
  }
  LocaleEnvironment(const LocaleEnvironment&) = delete;
  LocaleEnvironment& operator=(const LocaleEnvironment&) = delete;

 private:
  static constexpr const char* kNames[] = {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"};
  static void Set(const char* name, const char* value) {
    if (value)
      setenv(name, value, 1);
    else
      unsetenv(name);
  }
  std::map<std::string, std::optional<std::string>> saved_;
};

// ----- the user's interface language --------------------------------------------------------

struct LocaleCase {
  const char* name;
  LocaleEnvironment::Values environment;
  int expected;
};

class UserInterfaceLanguage : public ::testing::TestWithParam<LocaleCase> {};

TEST_P(UserInterfaceLanguage, IsTheWindowsIdentifierOfTheMessageLocale) {
  LocaleEnvironment environment(GetParam().environment);
  EXPECT_EQ(platform::UserInterfaceLanguageId(), GetParam().expected);
}

// Longer than any locale name ICU can hold once canonical.
const std::string kOverlongLocale = "de_DE@" + std::string(300, 'x');

INSTANTIATE_TEST_SUITE_P(
    Locales, UserInterfaceLanguage,
    ::testing::Values(
        LocaleCase{"EnglishUnitedStates", {.lang = "en_US.UTF-8"}, 1033},
        LocaleCase{"GermanWithEuroVariant", {.lang = "de_DE.UTF-8@euro"}, 1031},
        LocaleCase{"BrazilianPortuguese", {.lang = "pt_BR.UTF-8"}, 1046},
        LocaleCase{"LanguageListFirstEntry", {.language = "tr_TR:en", .lang = "de_DE.UTF-8"}, 1055},
        LocaleCase{"LanguageListEmptyEntrySkipped", {.language = ":es_ES"}, 3082},
        LocaleCase{"EmptyLanguageListIgnored", {.language = "", .lang = "it_IT.UTF-8"}, 1040},
        LocaleCase{"AllCategoriesOverLang", {.lcAll = "ru_RU.UTF-8", .lang = "de_DE.UTF-8"}, 1049},
        LocaleCase{"MessagesOverLang", {.lcMessages = "fr_FR.UTF-8", .lang = "de_DE.UTF-8"}, 1036},
        LocaleCase{"C", {.lang = "C"}, 1033},
        LocaleCase{"Posix", {.lcAll = "POSIX", .lang = "de_DE.UTF-8"}, 1033},
        LocaleCase{"CWithCodeset", {.lang = "C.UTF-8"}, 1033}, LocaleCase{"Unset", {}, 1033},
        LocaleCase{"UnknownLocale", {.lang = "xx_YY.UTF-8"}, 1033},
        LocaleCase{"OverlongName", {.lang = kOverlongLocale.c_str()}, 1033}),
    [](const auto& info) { return std::string(info.param.name); });

// ----- choosing and loading a file ----------------------------------------------------------

// Every test language file translates "Cancel" into its own name, so the lookup shows which
// file was loaded.
std::string Marking(const std::string& name) { return "{Cancel}" + name + "\n"; }

class LanguageFolder : public ::testing::Test {
 protected:
  TempFolder root;
  fs::path folder = root / "Languages";
  Language language;

  void SetUp() override { fs::create_directories(folder); }
  void File(const std::string& name, const std::string& content) {
    WriteFile(folder / name, content);
  }
  void MarkedFile(const std::string& name) { File(name, Marking(name)); }
};

struct ChoiceCase {
  const char* name;
  Lines files;                     // each translating "Cancel" into its own name; "/" ends a folder
  std::optional<std::string> csv;  // LanguageCodes.csv as bytes
  const char* locale;              // LANG, the other locale variables unset
  std::string setting;
  std::string loaded;  // the name the file is loaded under; empty: nothing loaded
};

class LanguageChoice : public LanguageFolder, public ::testing::WithParamInterface<ChoiceCase> {};

TEST_P(LanguageChoice, LoadsTheFileTheRulesPick) {
  const ChoiceCase& c = GetParam();
  for (const std::string& name : c.files) {
    if (name.ends_with('/'))
      fs::create_directories(folder / name);
    else
      MarkedFile(name);
  }
  if (c.csv) File("LanguageCodes.csv", *c.csv);
  LocaleEnvironment environment({.lang = c.locale});

  LoadLanguage(c.setting, folder, language);

  if (c.loaded.empty()) {
    EXPECT_TRUE(language.filePath.empty()) << language.filePath;
    EXPECT_EQ(language.Translate("Cancel"), "Cancel");
  } else {
    EXPECT_EQ(language.filePath, folder / c.loaded);
    EXPECT_EQ(language.Translate("Cancel"), c.loaded);
  }
}

// The setting names a file inside the Languages folder; a path never reaches a file elsewhere.
TEST_F(LanguageFolder, AbsoluteSettingStaysInsideTheFolder) {
  WriteFile(root / "outside.lang.txt", Marking("outside"));
  LoadLanguage((root / "outside.lang.txt").string(), folder, language);
  EXPECT_TRUE(language.filePath.empty()) << language.filePath;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LanguageChoice,
    ::testing::Values(
        ChoiceCase{"SettingWinsOverTheMapping",
                   {"German.lang.txt", "French.lang.txt"},
                   "1033,French.lang.txt\n",
                   "en_US.UTF-8",
                   "German.lang.txt",
                   "German.lang.txt"},
        ChoiceCase{"SettingNamingNoFileStaysEnglish",
                   {"French.lang.txt"},
                   "1033,French.lang.txt\n",
                   "en_US.UTF-8",
                   "Dutch.lang.txt",
                   ""},
        ChoiceCase{"SettingIsNotTrimmedForTheFile",
                   {"German.lang.txt", "French.lang.txt"},
                   "1033,French.lang.txt\n",
                   "en_US.UTF-8",
                   " German.lang.txt",
                   ""},
        ChoiceCase{"MappingInOtherLetterCaseLoadsTheListedName",
                   {"German.lang.txt"},
                   "1031,gERMAN.LANG.TXT\n",
                   "de_DE.UTF-8",
                   "",
                   "German.lang.txt"},
        ChoiceCase{"BlankSettingCountsAsEmpty",
                   {"German.lang.txt"},
                   "1031,German.lang.txt\n",
                   "de_DE.UTF-8",
                   " \t",
                   "German.lang.txt"},
        ChoiceCase{"SpacesAroundTheComma",
                   {"Turkish.lang.txt"},
                   "  1055 ,  Turkish.lang.txt \r\n",
                   "tr_TR.UTF-8",
                   "",
                   "Turkish.lang.txt"},
        ChoiceCase{"FirstLineWithTheExactCodeWins",
                   {"German.lang.txt", "French.lang.txt"},
                   "1033 German.lang.txt\n01033,German.lang.txt\n1033,French.lang.txt\n"
                   "1033,German.lang.txt\n",
                   "en_US.UTF-8",
                   "",
                   "French.lang.txt"},
        ChoiceCase{"FirstMatchingLineNamingNoFileEndsTheSearch",
                   {"German.lang.txt"},
                   "1031,Missing.lang.txt\n1031,German.lang.txt\n",
                   "de_DE.UTF-8",
                   "",
                   ""},
        ChoiceCase{"NoRegionalFallback",
                   {"German.lang.txt"},
                   "1031,German.lang.txt\n",
                   "de_AT.UTF-8",
                   "",
                   ""},
        ChoiceCase{"NoMappingFile", {"English.lang.txt"}, std::nullopt, "en_US.UTF-8", "", ""},
        ChoiceCase{"MappingFileInWindows1252",
                   {"Fran\xC3\xA7"
                    "ais.lang.txt"},
                   "1036,Fran\xE7"
                   "ais.lang.txt\n",
                   "fr_FR.UTF-8",
                   "",
                   "Fran\xC3\xA7"
                   "ais.lang.txt"},
        ChoiceCase{"UndecodableMappingFileMapsNothing",
                   {"German.lang.txt"},
                   "\xEF\xBB\xBF"
                   "1031,German.lang.txt\n\xFF\n",
                   "de_DE.UTF-8",
                   "",
                   ""},
        ChoiceCase{"FolderNamedLikeALanguageFileIsNotChosen",
                   {"xlang.txt/"},
                   "1033,xlang.txt\n",
                   "en_US.UTF-8",
                   "",
                   ""},
        ChoiceCase{"MappedNameMustEndInLangTxt",
                   {"German.txt"},
                   "1033,German.txt\n",
                   "en_US.UTF-8",
                   "",
                   ""},
        ChoiceCase{"SettingNeedNotEndInLangTxt",
                   {"German.txt"},
                   "1033,German.txt\n",
                   "en_US.UTF-8",
                   "German.txt",
                   "German.txt"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(LanguageFolder, WithoutTheFolderNothingIsLoaded) {
  LoadLanguage("German.lang.txt", root / "Missing", language);
  EXPECT_TRUE(language.filePath.empty());
}

TEST_F(LanguageFolder, ByteOrderMarkAndLineEndsAreNotPartOfTheText) {
  File("German.lang.txt", "\xEF\xBB\xBF{Cancel}Abbrechen\r\n{Moved}Verschoben\r{Copied}Kopiert");
  LoadLanguage("German.lang.txt", folder, language);
  EXPECT_EQ(language.lines, Lines({"{Cancel}Abbrechen", "{Moved}Verschoben", "{Copied}Kopiert"}));
}

TEST_F(LanguageFolder, ListsFilesEndingInLangTxtOnly) {
  MarkedFile("German.lang.txt");
  MarkedFile(".hidden.lang.txt");
  MarkedFile("Shouting.LANG.TXT");
  MarkedFile("notes.txt");
  MarkedFile("lang.txt.bak");
  fs::create_directories(folder / "xlang.txt");
  fs::create_directory_symlink(folder / "xlang.txt", folder / "linked.lang.txt");
  fs::create_symlink(folder / "German.lang.txt", folder / "alias.lang.txt");
  Lines names = ListLanguageFiles(folder);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, Lines({".hidden.lang.txt", "German.lang.txt", "alias.lang.txt"}));
}

TEST(LanguagesFolder, SitsBesideTheExecutable) {
  EXPECT_EQ(LanguagesFolderOf("/opt/zorbel/bin/zorbel"), fs::path("/opt/zorbel/bin/Languages"));
}

// A file that is there but cannot be read: the start-up is told, and the program goes on in
// English with the file counted as loaded.
struct UnreadableCase {
  const char* name;
  std::function<void(const fs::path& file)> make;
  std::function<std::string(const fs::path& file)> message;
};

class LanguageLoadError : public LanguageFolder,
                          public ::testing::WithParamInterface<UnreadableCase> {};

TEST_P(LanguageLoadError, IsReportedAndLeavesEveryTextEnglish) {
  const fs::path file = folder / "German.lang.txt";
  GetParam().make(file);
  try {
    LoadLanguage("German.lang.txt", folder, language);
    ADD_FAILURE() << "no error";
  } catch (const platform::Error& error) {
    EXPECT_EQ(std::string(error.what()), GetParam().message(file));
  }
  EXPECT_EQ(language.filePath, file);
  EXPECT_TRUE(language.lines.empty());
  EXPECT_EQ(language.Translate("Cancel"), "Cancel");
}

INSTANTIATE_TEST_SUITE_P(
    Files, LanguageLoadError,
    ::testing::Values(UnreadableCase{
                          "NotUtf8",
                          [](const fs::path& file) {
                            WriteFile(file, "{Cancel}Abbrechen\n{Moved}Verschoben \xC3(\n");
                          },
                          [](const fs::path&) {
                            return std::string(
                                "No mapping for the Unicode character exists in the target "
                                "multi-byte code page");
                          }},
                      // A socket exists as a file but cannot be opened, even by root, which a file
                      // without read permission could not show.
                      UnreadableCase{"CannotBeOpened",
                                     [](const fs::path& file) {
                                       const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
                                       ASSERT_GE(fd, 0);
                                       sockaddr_un address{};
                                       address.sun_family = AF_UNIX;
                                       ASSERT_LT(file.native().size(), sizeof address.sun_path);
                                       std::strcpy(address.sun_path, file.c_str());
                                       ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address),
                                                      sizeof address),
                                                 0);
                                       close(fd);
                                     },
                                     [](const fs::path& file) {
                                       return "Cannot open file \"" + file.string() + "\". " +
                                              platform::SystemErrorText(ENXIO);
                                     }}),
    [](const auto& info) { return std::string(info.param.name); });

// ----- the shipped language files -----------------------------------------------------------

const fs::path kShipped = ZORBEL_LANGUAGES_DIR;

// Every English text the program looks up, except the two halves of the system error text,
// which must stay English for the rewrite to "Error No:" to find them.
const Lines kLookedUp = {"Hide Details",
                         "Show Details",
                         "Cancel",
                         "Moving...",
                         "Copying...",
                         "Target folder is not defined!",
                         "Directory not found!",
                         "Directory is not writable!",
                         "Error No:",
                         "Moved",
                         "Copied",
                         "Canceled!",
                         "CANCELED by User Request",
                         "Completed!",
                         "Auto-Closing...",
                         "Not all files were copied",
                         "Not moved to the Trash",
                         "The source directory is the same as the destination directory",
                         "The output folder lies inside this folder",
                         "Not a regular file"};
const Lines kKeptEnglish = {"System Error.", "Code:"};

const Lines kShippedFiles = {"English.lang.txt",          "German.lang.txt",  "French.lang.txt",
                             "Spanish.lang.txt",          "Italian.lang.txt", "Russian.lang.txt",
                             "PortugueseBrazil.lang.txt", "Turkish.lang.txt"};

class ShippedLanguages : public ::testing::TestWithParam<std::string> {};

TEST(ShippedLanguageFolder, HoldsTheExpectedFiles) {
  Lines names = ListLanguageFiles(kShipped);
  std::sort(names.begin(), names.end());
  Lines expected = kShippedFiles;
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(names, expected);
}

TEST_P(ShippedLanguages, TranslatesEveryTextOnce) {
  const std::string bytes = ReadFile(kShipped / GetParam());
  EXPECT_TRUE(text::IsValidUtf8(bytes));
  EXPECT_FALSE(bytes.starts_with("\xEF\xBB\xBF")) << "no byte-order mark";
  EXPECT_EQ(bytes.find('\r'), std::string::npos) << "line feeds only";

  std::map<std::string, std::string> translations;
  for (const std::string& line : text::SplitLines(bytes)) {
    if (!line.starts_with('{')) continue;
    const std::size_t close = line.find('}');
    ASSERT_NE(close, std::string::npos) << line;
    const std::string key = line.substr(1, close - 1);
    EXPECT_TRUE(translations.emplace(key, line.substr(close + 1)).second) << "twice: " << key;
    const bool known = std::count(kLookedUp.begin(), kLookedUp.end(), key) ||
                       std::count(kKeptEnglish.begin(), kKeptEnglish.end(), key);
    EXPECT_TRUE(known) << "no such text: " << key;
  }

  Language language{kShipped / GetParam(), text::SplitLines(bytes)};
  for (const std::string& english : kLookedUp) {
    SCOPED_TRACE(english);
    ASSERT_TRUE(translations.count(english)) << "missing";
    const std::string shown = language.Translate(english);
    EXPECT_EQ(shown, translations[english]) << "a text is looked up by the whole key";
    EXPECT_EQ(shown, text::TrimControl(shown)) << "no blanks around the translation";
    if (english.ends_with("...")) {
      EXPECT_TRUE(shown.ends_with("...")) << shown;
    }
    if (english.ends_with("!")) {
      EXPECT_TRUE(shown.ends_with("!")) << shown;
    }
    if (GetParam() != "English.lang.txt") {
      EXPECT_NE(shown, english) << "left untranslated";
    }
  }
  for (const std::string& english : kKeptEnglish)
    EXPECT_EQ(language.Translate(english), english) << "the system's error text stays English";
}

INSTANTIATE_TEST_SUITE_P(Files, ShippedLanguages, ::testing::ValuesIn(kShippedFiles),
                         [](const auto& info) {
                           std::string name = info.param;
                           return name.substr(0, name.find('.'));
                         });

TEST(ShippedLanguageCodes, MapKnownIdentifiersToShippedFiles) {
  const std::string bytes = ReadFile(kShipped / "LanguageCodes.csv");
  std::map<std::string, std::string> mapping;
  for (const std::string& line : text::SplitLines(bytes)) {
    const std::size_t comma = line.find(',');
    ASSERT_NE(comma, std::string::npos) << line;
    const std::string code = line.substr(0, comma);
    const std::string file = line.substr(comma + 1);
    EXPECT_EQ(code.find_first_not_of("0123456789"), std::string::npos) << line;
    EXPECT_TRUE(std::count(kShippedFiles.begin(), kShippedFiles.end(), file)) << line;
    EXPECT_TRUE(mapping.emplace(code, file).second) << "mapped twice: " << code;
  }
  const std::map<std::string, std::string> required = {
      {"1033", "English.lang.txt"},          {"2057", "English.lang.txt"},
      {"1031", "German.lang.txt"},           {"2055", "German.lang.txt"},
      {"3079", "German.lang.txt"},           {"1036", "French.lang.txt"},
      {"3084", "French.lang.txt"},           {"3082", "Spanish.lang.txt"},
      {"1034", "Spanish.lang.txt"},          {"1040", "Italian.lang.txt"},
      {"1046", "PortugueseBrazil.lang.txt"}, {"1055", "Turkish.lang.txt"},
      {"1049", "Russian.lang.txt"}};
  for (const auto& [code, file] : required) EXPECT_EQ(mapping[code], file) << code;
}

// ----- a run shown in German ----------------------------------------------------------------

TEST(LanguageGermanRun, ShowsTranslatedCaptionsAndLines) {
  TempFolder root;
  const fs::path settingsFolder = root / "settings";
  const fs::path output = root / "out";
  const fs::path a = root / "a";
  const fs::path b = root / "b";
  WriteFile(settingsFolder / "settings.ini", "[Settings]\nAction=1\n");
  WriteFile(a / "clash", "data");
  fs::create_directories(output / "clash");  // a folder in the way: that file fails
  WriteFile(b / "fine.txt", "ok");
  WriteFile(settingsFolder / "zorbel.txt", "OutputFolder:" + output.string() + "\n" + a.string() +
                                               "\n" + (root / "missing").string() + "\n" +
                                               b.string() + "\n");

  // The shipped folder, chosen by the interface language as a German user's start would.
  Language language;
  {
    LocaleEnvironment environment({.lang = "de_DE.UTF-8@euro"});
    Settings settings(settingsFolder);
    LoadLanguage(settings.LanguageFile(), kShipped, language);
  }
  ASSERT_EQ(language.filePath, kShipped / "German.lang.txt");

  RecordingWindow window;
  Settings settings(settingsFolder);
  CombiningRun run(window, settings, language, {});
  run.Perform();

  EXPECT_EQ(window.events.front(), "caption Wird kopiert...");
  EXPECT_TRUE(std::count(window.events.begin(), window.events.end(), "caption Abgeschlossen!"));
  EXPECT_EQ(window.lines,
            Lines({"yellow: Fehler Nr. 21. Is a directory - " + (a / "clash").string(),
                   "yellow: Nicht alle Dateien wurden kopiert - " + a.string(),
                   "yellow: Ordner nicht gefunden! - " + (root / "missing").string(),
                   "lime: Kopiert - " + b.string(), "lime: Abgeschlossen!"}));
}

}  // namespace
