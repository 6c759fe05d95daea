// zorbel-submit as a person uses it: its command line, the folders it refuses to put into a job,
// and whole jobs handed to the real zorbel (drawn off screen) and waited for.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "job/switches.h"
#include "submit/commandline.h"
#include "submit/frontend.h"
#include "tests/testsupport.h"

namespace fs = std::filesystem;
using testing_support::Command;
using testing_support::CommandResult;
using testing_support::ReadFile;
using testing_support::ReadTree;
using testing_support::RunCommand;
using testing_support::TempFolder;
using testing_support::Tree;
using testing_support::WaitUntil;
using testing_support::WriteFile;

namespace {

// ----- the command line -----------------------------------------------------------------------

struct CommandLineCase {
  const char* name;
  std::vector<std::string> arguments;
  // The request, with its run flags written as the switch words they give.
  std::vector<std::string> words;
  bool wait;
  bool admin;
  std::optional<bool> stayOnTop;
  std::optional<std::string> language;
  std::vector<std::string> folders;  // output, then sources
};

class CommandLine : public ::testing::TestWithParam<CommandLineCase> {};

TEST_P(CommandLine, ReadsWhatAPersonTypes) {
  const CommandLineCase& c = GetParam();
  const Request command = ParseCommandLine(c.arguments);
  ASSERT_TRUE(std::holds_alternative<SubmitRequest>(command));
  const auto& request = std::get<SubmitRequest>(command);
  EXPECT_EQ(SwitchWords(request.flags), c.words);
  EXPECT_EQ(request.wait, c.wait);
  EXPECT_EQ(request.admin, c.admin);
  EXPECT_EQ(request.stayOnTop, c.stayOnTop);
  EXPECT_EQ(request.language, c.language);
  std::vector<std::string> folders{request.output.string()};
  for (const auto& source : request.sources) folders.push_back(source.string());
  EXPECT_EQ(folders, c.folders);
}

INSTANTIATE_TEST_SUITE_P(
    Submit, CommandLine,
    ::testing::Values(
        CommandLineCase{
            "PlainCopy", {"out", "a", "b"}, {}, false, false, {}, {}, {"out", "a", "b"}},
        CommandLineCase{"EveryRunOption",
                        {"--move", "--tree", "--keep", "--numbered", "--autoclose", "o", "s"},
                        {"autoclose", "move", "preservefolderstructure", "preserveoriginalfile",
                         "createnumberedcopy"},
                        false,
                        false,
                        {},
                        {},
                        {"o", "s"}},
        CommandLineCase{"BundledShortOptions",
                        {"-tnwa", "o", "s"},
                        {"autoclose", "preservefolderstructure", "createnumberedcopy"},
                        true,
                        false,
                        {},
                        {},
                        {"o", "s"}},
        CommandLineCase{"OptionsAfterFolders",
                        {"o", "s", "--wait", "--admin"},
                        {},
                        true,
                        true,
                        {},
                        {},
                        {"o", "s"}},
        CommandLineCase{"LanguageAsNextWord",
                        {"--language", "German.lang.txt", "o", "s"},
                        {},
                        false,
                        false,
                        {},
                        "German.lang.txt",
                        {"o", "s"}},
        CommandLineCase{"EmptyLanguageAfterEquals",
                        {"--language=", "--no-stay-on-top", "o", "s"},
                        {},
                        false,
                        false,
                        false,
                        "",
                        {"o", "s"}},
        CommandLineCase{"DashDashEndsOptions",
                        {"--stay-on-top", "--", "-o", "--move"},
                        {},
                        false,
                        false,
                        true,
                        {},
                        {"-o", "--move"}},
        CommandLineCase{"LoneDashIsAFolder", {"-", "s"}, {}, false, false, {}, {}, {"-", "s"}}),
    [](const auto& info) { return info.param.name; });

struct UsageCase {
  const char* name;
  std::vector<std::string> arguments;
  std::string error;
};

class CommandLineMistake : public ::testing::TestWithParam<UsageCase> {};

TEST_P(CommandLineMistake, IsNamed) {
  try {
    ParseCommandLine(GetParam().arguments);
    FAIL() << "accepted";
  } catch (const UsageError& error) {
    EXPECT_EQ(error.what(), GetParam().error);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Submit, CommandLineMistake,
    ::testing::Values(
        UsageCase{"UnknownLongOption", {"--flat", "o", "s"}, "unrecognized option '--flat'"},
        UsageCase{"UnknownShortOption", {"-tx", "o", "s"}, "invalid option -- 'x'"},
        UsageCase{
            "ValueOnAFlag", {"--move=yes", "o", "s"}, "option '--move' doesn't allow an argument"},
        UsageCase{"LanguageWithoutName",
                  {"o", "s", "--language"},
                  "option '--language' requires an argument"},
        UsageCase{"NothingAtAll", {}, "missing output folder"},
        UsageCase{"NoSource", {"--move", "out"}, "missing source folder after 'out'"},
        UsageCase{"CloseWithAJob",
                  {"--close", "o", "s"},
                  "--close takes no other options and no folders"},
        UsageCase{"CloseWithBadProcess", {"--close=12x"}, "invalid process id '12x'"}),
    [](const auto& info) { return info.param.name; });

TEST(CommandLineRequests, HelpVersionAndClose) {
  EXPECT_TRUE(std::holds_alternative<HelpRequest>(ParseCommandLine({"o", "--help", "s"})));
  EXPECT_TRUE(std::holds_alternative<HelpRequest>(ParseCommandLine({"-h"})));
  EXPECT_TRUE(std::holds_alternative<VersionRequest>(ParseCommandLine({"--version"})));
  EXPECT_EQ(std::get<CloseRequest>(ParseCommandLine({"--close"})).processId, std::nullopt);
  EXPECT_EQ(std::get<CloseRequest>(ParseCommandLine({"--close", "4711"})).processId, 4711);
  EXPECT_EQ(std::get<CloseRequest>(ParseCommandLine({"--close=4711"})).processId, 4711);
}

// Every combination of flags survives the trip through the switch words zorbel reads.
TEST(CommandLineRequests, SwitchWordsGiveBackEveryCombinationOfFlags) {
  for (int bits = 0; bits < 32; ++bits) {
    RunFlags flags{(bits & 1) != 0, (bits & 2) != 0, (bits & 4) != 0, (bits & 8) != 0,
                   (bits & 16) != 0};
    EXPECT_EQ(ReadSwitches(SwitchWords(flags)), flags) << bits;
  }
}

struct LineCase {
  const char* name;
  std::string folder;
  bool isOutput;
  std::string problem;  // a part of the reason; empty: accepted
};

class JobLine : public ::testing::TestWithParam<LineCase> {};

TEST_P(JobLine, FolderThatAJobFileCannotHoldIsRefused) {
  const std::string problem = JobLineProblem(GetParam().folder, GetParam().isOutput);
  if (GetParam().problem.empty())
    EXPECT_EQ(problem, "");
  else
    EXPECT_NE(problem.find(GetParam().problem), std::string::npos) << problem;
}

INSTANTIATE_TEST_SUITE_P(
    Submit, JobLine,
    ::testing::Values(LineCase{"Plain", "/home/user/Fotos 2019", false, ""},
                      LineCase{"Unicode", "/home/user/Фото/写真", true, ""},
                      LineCase{"LineFeed", "/home/user/a\nb", false, "line break"},
                      LineCase{"CarriageReturn", "/home/user/a\rb", true, "line break"},
                      LineCase{"NotUtf8", "/home/user/caf\xE9", false, "not valid UTF-8"},
                      LineCase{"SourceEndingInBlank", "/home/user/old ", false, ""},
                      LineCase{"OutputEndingInBlank", "/home/user/new ", true, "ends in a blank"},
                      LineCase{"OutputEndingInTab", "/home/user/new\t", true, "ends in a blank"}),
    [](const auto& info) { return info.param.name; });

// ----- whole jobs -------------------------------------------------------------------------------

// zorbel and zorbel-submit side by side in a folder of the test's own, as installed, with the
// user's folders, the Trash and the runtime folder private to the test.
class Submitting : public ::testing::Test {
 protected:
  TempFolder root;
  fs::path bin = root / "bin";
  fs::path submit = bin / "zorbel-submit";
  fs::path settings = root / "config/Olvandi/Quorvane";
  std::vector<std::string> environment{
      "XDG_CONFIG_HOME=" + (root / "config").string(), "XDG_DATA_HOME=" + (root / "data").string(),
      "XDG_RUNTIME_DIR=" + (root / "runtime").string(), "QT_QPA_PLATFORM=offscreen"};

  void SetUp() override {
    fs::create_directories(bin);
    fs::copy_file(ZORBEL_EXECUTABLE, bin / "zorbel");
    fs::copy_file(ZORBEL_SUBMIT_EXECUTABLE, submit);
    fs::copy(ZORBEL_LANGUAGES_DIR, bin / "Languages");
    fs::create_directory(root / "runtime");
    fs::permissions(root / "runtime", fs::perms::owner_all);
    fs::create_directories(root / "data");
    WriteFile(root / "a/photo.jpg", "A");
    WriteFile(root / "a/2019/x.txt", "x");
    WriteFile(root / "b/photo.jpg", "B");
  }

  CommandResult Submit(const std::vector<std::string>& arguments) {
    return RunCommand(submit, arguments, environment, root.path());
  }

  std::string Action(const fs::path& folder) {
    return ReadFile(folder / "settings.ini").find("Action=0") != std::string::npos ? "0" : "not 0";
  }

  // No window of the test's is left listening.
  bool NoWindow() { return fs::is_empty(root / "runtime"); }
};

struct ModeCase {
  const char* name;
  std::vector<std::string> options;
  Tree output;
  bool sourcesMoved;
};

class SubmitModes : public Submitting, public ::testing::WithParamInterface<ModeCase> {};

TEST_P(SubmitModes, RunCompletesAndIsReported) {
  std::vector<std::string> arguments = GetParam().options;
  // Relative folders, as typed in the test's folder.
  arguments.insert(arguments.end(), {"--wait", "--autoclose", "out", "a", "b"});
  const CommandResult result = Submit(arguments);
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out, "zorbel-submit: the run completed\n");
  EXPECT_EQ(ReadTree(root / "out"), GetParam().output);
  EXPECT_EQ(fs::exists(root / "a"), !GetParam().sourcesMoved);
  EXPECT_EQ(ReadFile(settings / "zorbel.txt"), "OutputFolder:" + (root / "out").string() + "\n" +
                                                   (root / "a").string() + "\n" +
                                                   (root / "b").string() + "\n");
  EXPECT_EQ(Action(settings), "0");
  EXPECT_TRUE(NoWindow());
}

INSTANTIATE_TEST_SUITE_P(
    Submit, SubmitModes,
    ::testing::Values(ModeCase{"Replace", {}, {{"photo.jpg", "B"}, {"x.txt", "x"}}, false},
                      ModeCase{"Keep", {"--keep"}, {{"photo.jpg", "A"}, {"x.txt", "x"}}, false},
                      ModeCase{"Numbered",
                               {"--numbered"},
                               {{"photo.jpg", "A"}, {"photo (2).jpg", "B"}, {"x.txt", "x"}},
                               false},
                      ModeCase{"Tree",
                               {"--tree"},
                               {{"photo.jpg", "B"}, {"2019", "<dir>"}, {"2019/x.txt", "x"}},
                               false},
                      ModeCase{"MoveTree",
                               {"--move", "--tree"},
                               {{"photo.jpg", "B"}, {"2019", "<dir>"}, {"2019/x.txt", "x"}},
                               true}),
    [](const auto& info) { return info.param.name; });

// A settings.ini beside zorbel makes the folder portable: the job goes there, the other settings
// stay, and nothing is written per user.
TEST_F(Submitting, PortableLayoutKeepsOtherSettings) {
  WriteFile(bin / "settings.ini", "; kept\r\n[Settings]\r\nStayOnTop=0\r\nAction=0\r\n");
  const CommandResult result =
      Submit({"--wait", "--autoclose", "--language", "German.lang.txt", "out", "a"});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(ReadFile(bin / "settings.ini"),
            "; kept\r\n[Settings]\r\nStayOnTop=0\r\nAction=0\r\nLanguageFile=German.lang.txt\r\n");
  EXPECT_TRUE(fs::exists(bin / "zorbel.txt"));
  EXPECT_FALSE(fs::exists(root / "config"));
  EXPECT_EQ(ReadTree(root / "out"), Tree({{"photo.jpg", "A"}, {"x.txt", "x"}}));
}

struct RefusalCase {
  const char* name;
  std::vector<std::string> arguments;
  int status;
  std::string message;  // a part of the error text
};

class SubmitRefusals : public Submitting, public ::testing::WithParamInterface<RefusalCase> {};

// Refused before anything is written: no job file, no settings, no window.
TEST_P(SubmitRefusals, NothingIsWritten) {
  const CommandResult result = Submit(GetParam().arguments);
  EXPECT_EQ(result.status, GetParam().status);
  EXPECT_NE(result.err.find(GetParam().message), std::string::npos) << result.err;
  EXPECT_EQ(result.out, "");
  EXPECT_FALSE(fs::exists(settings / "zorbel.txt"));
  EXPECT_FALSE(fs::exists(settings / "settings.ini"));
}

INSTANTIATE_TEST_SUITE_P(
    Submit, SubmitRefusals,
    ::testing::Values(
        RefusalCase{"SourceWithLineBreak", {"out", "a", "new\nline"}, 2, "holds a line break"},
        RefusalCase{"OutputNotUtf8", {"caf\xE9", "a"}, 2, "not valid UTF-8"},
        RefusalCase{"EmptySource", {"out", ""}, 2, "an empty name is not a folder"},
        RefusalCase{"UnknownLanguage",
                    {"--language=Klingon.lang.txt", "out", "a"},
                    2,
                    "no language file 'Klingon.lang.txt'"},
        RefusalCase{"Usage", {"--wait"}, 2, "Try 'zorbel-submit --help'"}),
    [](const auto& info) { return info.param.name; });

// A second job while a window still runs the first would overwrite it; it is refused, the first
// job stays as it was, and the first window closes when asked.
TEST_F(Submitting, SecondJobWaitsForTheRunningWindow) {
  CommandResult first = Submit({"out", "a"});
  ASSERT_EQ(first.status, 0) << first.err;
  ASSERT_FALSE(NoWindow()) << "without --autoclose the window stays after its run";
  const std::string job = ReadFile(settings / "zorbel.txt");

  const CommandResult second = Submit({"--wait", "out2", "b"});
  EXPECT_EQ(second.status, 4);
  EXPECT_NE(second.err.find("is still running a job from " + settings.string()), std::string::npos)
      << second.err;
  EXPECT_EQ(ReadFile(settings / "zorbel.txt"), job);

  const CommandResult close = Submit({"--close"});
  EXPECT_EQ(close.status, 0) << close.err;
  EXPECT_TRUE(WaitUntil([&] { return NoWindow(); }));
  EXPECT_EQ(Action(settings), "0");
  EXPECT_EQ(Submit({"--close"}).status, 1) << "no window left to close";
}

// A window of another settings folder (here a portable copy of zorbel) runs its own job and is
// no reason to refuse this one.
TEST_F(Submitting, WindowOfAnotherSettingsFolderIsNoObstacle) {
  const fs::path portable = root / "portable";
  fs::copy(bin, portable);
  WriteFile(portable / "settings.ini", "");
  const CommandResult other =
      RunCommand(portable / "zorbel-submit", {"out1", "a"}, environment, root.path());
  ASSERT_EQ(other.status, 0) << other.err;
  ASSERT_FALSE(NoWindow());
  const CommandResult mine = Submit({"--wait", "--autoclose", "out2", "b"});
  EXPECT_EQ(mine.status, 0) << mine.err;
  EXPECT_EQ(ReadTree(root / "out2"), Tree({{"photo.jpg", "B"}}));
  EXPECT_EQ(Submit({"--close"}).status, 0);
  EXPECT_TRUE(WaitUntil([&] { return NoWindow(); }));
}

// Asked to close in the middle of a long run, the window goes away but the run finishes, marks
// the job done, and the waiting caller hears that it completed.
TEST_F(Submitting, CloseDuringARunLetsItFinish) {
  std::vector<std::string> arguments{"--wait", "--numbered", "out"};
  for (int source = 0; source < 100; ++source) {
    for (int file = 0; file < 10; ++file)
      WriteFile(root / ("s" + std::to_string(source)) / ("f" + std::to_string(file)), "data");
    arguments.push_back("s" + std::to_string(source));
  }
  Command waiting(submit, arguments, environment, root.path());
  // The output folder is made when the run begins.
  ASSERT_TRUE(WaitUntil([&] { return fs::exists(root / "out"); }));
  const CommandResult close = Submit({"--close"});
  EXPECT_EQ(close.status, 0) << close.err;
  const CommandResult result = waiting.Finish();
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out, "zorbel-submit: the run completed\n");
  EXPECT_EQ(ReadTree(root / "out").size(), 1000u);
  EXPECT_TRUE(NoWindow());
}

// Closed before its run began, the job is not done and the waiting caller learns it. The start
// is held by the box that says the language file is unreadable.
TEST_F(Submitting, WindowClosedBeforeItsRunIsNotCompleted) {
  WriteFile(bin / "Languages/Broken.lang.txt", "\xff");
  Command waiting(submit, {"--wait", "--language=Broken.lang.txt", "out", "a"}, environment,
                  root.path());
  ASSERT_TRUE(WaitUntil([&] { return !NoWindow(); }));
  EXPECT_EQ(Submit({"--close"}).status, 0);
  const CommandResult result = waiting.Finish();
  EXPECT_EQ(result.status, 3) << result.err;
  EXPECT_EQ(result.out,
            "zorbel-submit: the run did not complete (cancelled, or closed before it began)\n");
  EXPECT_FALSE(fs::exists(root / "out"));
  EXPECT_EQ(Action(settings), "not 0");
}

// With --admin the job goes where zorbel started through pkexec looks: pkexec keeps none of the
// caller's variables, so the home's configuration folder, not $XDG_CONFIG_HOME. pkexec finds
// its action by the program's real path, so that is what it is given. A stand-in pkexec that
// clears the environment the same way runs the program here; the real one needs a polkit agent.
TEST_F(Submitting, AdminStartsTheRealProgramThroughPkexec) {
  const fs::path home = root / "home";
  const fs::path log = root / "pkexec-arguments";
  WriteFile(root / "fakebin/pkexec",
            "#!/bin/sh\nprintf '%s\\n' \"$@\" > '" + log.string() +
                "'\nexec env -i HOME=\"$HOME\" PKEXEC_UID=\"$(id -u)\" "
                "XDG_RUNTIME_DIR=\"$XDG_RUNTIME_DIR\" QT_QPA_PLATFORM=offscreen \"$@\"\n");
  fs::permissions(root / "fakebin/pkexec", fs::perms::owner_all);
  environment.push_back("PATH=" + (root / "fakebin").string() + ":" + std::getenv("PATH"));
  environment.push_back("HOME=" + home.string());
  fs::create_directories(home);
  fs::create_symlink(bin, root / "linked");
  const CommandResult result =
      RunCommand(root / "linked/zorbel-submit", {"--admin", "--wait", "--autoclose", "out", "a"},
                 environment, root.path());
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(ReadFile(log), (bin / "zorbel").string() + "\nautoclose\n");
  EXPECT_EQ(Action(home / ".config/Olvandi/Quorvane"), "0");
  EXPECT_FALSE(fs::exists(settings)) << "nothing where pkexec's zorbel would not look";
  EXPECT_EQ(ReadTree(root / "out"), Tree({{"photo.jpg", "A"}, {"x.txt", "x"}}));
}

TEST_F(Submitting, HelpAndVersionNeedNoWorker) {
  fs::remove(bin / "zorbel");
  const CommandResult help = Submit({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_TRUE(help.out.starts_with("Usage: zorbel-submit [OPTION]... OUTPUT SOURCE...\n"));
  EXPECT_EQ(Submit({"--version"}).status, 0);
  const CommandResult job = Submit({"out", "a"});
  EXPECT_EQ(job.status, 1);
  EXPECT_NE(job.err.find("cannot find zorbel at " + (bin / "zorbel").string()), std::string::npos)
      << job.err;
}

}  // namespace
