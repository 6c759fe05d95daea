// The combining run on real folders: whole output trees and the window calls compared with
// what a user must see.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

#include "environment/settings.h"
#include "environment/translate.h"
#include "job/combiningrun.h"
#include "job/fileops.h"
#include "tests/recordingwindow.h"
#include "tests/testsupport.h"

namespace fs = std::filesystem;
using testing_support::ReadFile;
using testing_support::ReadTree;
using testing_support::TempFolder;
using testing_support::Tree;
using testing_support::WriteFile;
using Lines = std::vector<std::string>;

namespace {

const fs::path& kDataHomeAtStart = testing_support::ProcessDataHome();

class RunTest : public ::testing::Test {
 protected:
  TempFolder root;
  fs::path settingsFolder = root / "settings";
  fs::path output = root / "out";
  RecordingWindow window;
  Language language;

  void SetUp() override {
    fs::create_directories(settingsFolder);
    WriteFile(settingsFolder / "settings.ini", "[Settings]\nAction=1\n");
  }

  fs::path Source(const std::string& name, const Tree& files) {
    const fs::path folder = root / name;
    fs::create_directories(folder);
    for (const auto& [rel, content] : files) {
      if (content == "<dir>")
        fs::create_directories(folder / rel);
      else
        WriteFile(folder / rel, content);
    }
    return folder;
  }

  void Job(const fs::path& outputFolder, const Lines& sources) {
    testing_support::WriteJobFile(settingsFolder, outputFolder, sources);
  }

  void Run(const Lines& switches) {
    Settings settings(settingsFolder);
    CombiningRun run(window, settings, language, switches);
    window.onStep = [&, previous = window.onStep](int step) {
      if (previous) previous(step);
      if (step == cancelAtStep) run.Cancel();
    };
    run.Perform();
  }

  std::string Action() { return Settings(settingsFolder).Action(); }

  int cancelAtStep = -1;
};

// Two sources, each holding photo.jpg, and one of them a second x.txt in a subfolder.
struct PolicyCase {
  const char* name;
  Lines switches;
  Tree expected;
};

class ConflictPolicy : public RunTest, public ::testing::WithParamInterface<PolicyCase> {};

TEST_P(ConflictPolicy, DecidesWhichFilesLand) {
  const fs::path a = Source("a", {{"photo.jpg", "A"}, {"x.txt", "a1"}, {"sub/deep/x.txt", "a2"}});
  const fs::path b = Source("b", {{"photo.jpg", "B"}, {"empty", "<dir>"}});
  Job(output, {a.string(), b.string()});
  Run(GetParam().switches);
  EXPECT_EQ(ReadTree(output), GetParam().expected);
  EXPECT_EQ(window.lines, Lines({"lime: Copied - " + a.string(), "lime: Copied - " + b.string(),
                                 "lime: Completed!"}));
  EXPECT_EQ(Action(), "0");
}

INSTANTIATE_TEST_SUITE_P(
    Policies, ConflictPolicy,
    ::testing::Values(
        PolicyCase{"Replace", {}, {{"photo.jpg", "B"}, {"x.txt", "a2"}}},
        PolicyCase{"KeepExisting", {"preserveoriginalfile"}, {{"photo.jpg", "A"}, {"x.txt", "a1"}}},
        PolicyCase{
            "Numbered",
            {"createnumberedcopy"},
            {{"photo.jpg", "A"}, {"photo (2).jpg", "B"}, {"x.txt", "a1"}, {"x (2).txt", "a2"}}},
        PolicyCase{"KeepWinsOverNumbered",
                   {"createnumberedcopy", "preserveoriginalfile"},
                   {{"photo.jpg", "A"}, {"x.txt", "a1"}}},
        PolicyCase{"TreeIgnoresPolicies",
                   {"preserve", "preserveoriginalfile"},
                   {{"photo.jpg", "B"},
                    {"x.txt", "a1"},
                    {"sub", "<dir>"},
                    {"sub/deep", "<dir>"},
                    {"sub/deep/x.txt", "a2"},
                    {"empty", "<dir>"}}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(RunTest, WindowSeesTheStepsInOrder) {
  const fs::path a = Source("a", {{"f", "1"}});
  Job(output, {a.string()});
  Run({"autoclose"});
  EXPECT_EQ(window.events, Lines({"caption Copying...", "maximum 2", "pump", "step",
                                  "line lime: Copied - " + a.string(), "step", "hide cancel",
                                  "caption Completed!", "line lime: Completed!", "pump",
                                  "taskbar full", "sound information", "countdown"}));
}

// A large source moves the bar while it is copied, always within its own step.
TEST_F(RunTest, ProgressWithinALargeSourceStaysInItsStep) {
  const fs::path small = Source("small", {{"a", "1"}});
  const fs::path large = Source("large", {{"big.bin", std::string(256 * 1024 * 1024, 'x')}});
  Job(output, {small.string(), large.string()});
  Run({});
  for (const auto& [step, fraction] : window.withinStep) {
    EXPECT_GE(fraction, 0.0);
    EXPECT_LE(fraction, 1.0);
    EXPECT_TRUE(step == 1 || step == 2) << "only while a source is copied";
  }
  EXPECT_EQ(window.progressSteps, 3);
}

TEST_F(RunTest, JobWithoutSourcesCompletes) {
  Job(output, {});
  Run({});
  EXPECT_EQ(window.lines, Lines({"lime: Completed!"}));
  EXPECT_EQ(window.progressSteps, 1);
  EXPECT_TRUE(fs::is_directory(output)) << "the output folder is created with its parents";
  EXPECT_EQ(Action(), "0");
}

TEST_F(RunTest, ThreeClashesNumberOnward) {
  Lines sources;
  for (const char* name : {"a", "b", "c"})
    sources.push_back(Source(name, {{"photo.jpg", name}}).string());
  Job(output, sources);
  Run({"createnumberedcopy"});
  EXPECT_EQ(ReadTree(output),
            Tree({{"photo.jpg", "a"}, {"photo (2).jpg", "b"}, {"photo (3).jpg", "c"}}));
}

// Problems of the job as a whole: one red line, no source touched, then completion.
struct JobProblem {
  const char* name;
  std::function<fs::path(const fs::path& root)> prepare;  // returns the output folder to use
  std::string line;                                       // with {out} for the folder
};

class OutputProblem : public RunTest, public ::testing::WithParamInterface<JobProblem> {};

TEST_P(OutputProblem, EndsWithRedLineThenCompleted) {
  const fs::path source = Source("a", {{"f", "1"}});
  const fs::path out = GetParam().prepare(root.path());
  if (out.empty())
    WriteFile(settingsFolder / "zorbel.txt",
              "outputfolder:" + output.string() + "\n" + source.string());
  else
    Job(out, {source.string()});
  Run({"move"});
  std::string line = GetParam().line;
  if (auto at = line.find("{out}"); at != std::string::npos) line.replace(at, 5, out.string());
  EXPECT_EQ(window.lines, Lines({line, "lime: Completed!"}));
  EXPECT_EQ(window.progressSteps, 0);
  EXPECT_EQ(ReadTree(source), Tree({{"f", "1"}})) << "the source is not touched";
  EXPECT_EQ(Action(), "0");
}

INSTANTIATE_TEST_SUITE_P(Problems, OutputProblem,
                         ::testing::Values(JobProblem{"NotDefined",
                                                      [](const fs::path&) { return fs::path(); },
                                                      "red: Target folder is not defined!"},
                                           JobProblem{"CannotBeCreated",
                                                      [](const fs::path& root) {
                                                        WriteFile(root / "file", "x");
                                                        return root / "file/out";
                                                      },
                                                      "red: Directory not found! - {out}"},
                                           JobProblem{"ProbeFileInTheWay",
                                                      [](const fs::path& root) {
                                                        WriteFile(root / "out/chk.tmp",
                                                                  "left over");
                                                        return root / "out";
                                                      },
                                                      "red: Directory is not writable! - {out}"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(RunTest, CancelBeforeTheSecondSourceStopsThere) {
  const fs::path a = Source("a", {{"a.txt", "a"}});
  const fs::path b = Source("b", {{"b.txt", "b"}});
  Job(output, {a.string(), b.string()});
  cancelAtStep = 2;  // after the output folder's step and the first source's
  Run({"autoclose", "move"});
  EXPECT_EQ(window.lines, Lines({"lime: Moved - " + a.string(), "red: CANCELED by User Request"}));
  EXPECT_EQ(Lines(window.events.end() - 5, window.events.end()),
            Lines({"sound beep", "caption Canceled!", "reset", "line red: CANCELED by User Request",
                   "hide cancel"}));
  EXPECT_EQ(ReadTree(output), Tree({{"a.txt", "a"}}));
  EXPECT_TRUE(fs::exists(b)) << "the second source stays";
  EXPECT_EQ(Action(), "1") << "a cancelled job stays marked as waiting";
}

TEST_F(RunTest, CancelDuringTheLastSourceStillCompletes) {
  const fs::path a = Source("a", {{"a.txt", "a"}});
  Job(output, {a.string()});
  cancelAtStep = 2;
  Run({});
  EXPECT_EQ(window.lines.back(), "lime: Completed!");
  EXPECT_EQ(Action(), "0");
}

TEST_F(RunTest, MissingAndBlankSourcesAreSaid) {
  const fs::path a = Source("a", {{"a.txt", "a"}});
  WriteFile(root / "plainfile", "not a folder");
  Job(output, {(root / "missing").string(), "", (root / "plainfile").string(), a.string()});
  Run({"move"});
  EXPECT_EQ(window.lines, Lines({"yellow: Directory not found! - " + (root / "missing").string(),
                                 "yellow: Directory not found! - ",
                                 "yellow: Directory not found! - " + (root / "plainfile").string(),
                                 "lime: Moved - " + a.string(), "lime: Completed!"}));
  EXPECT_TRUE(fs::exists(root / "plainfile"));
}

// A folder named like a file in the output folder: that file fails, with its own line, and the
// source is not sent to the Trash.
TEST_F(RunTest, FileThatCannotBeCopiedIsSaidAndKeepsItsSource) {
  const fs::path a = Source("a", {{"clash", "data"}, {"fine.txt", "ok"}});
  fs::create_directories(output / "clash");
  Job(output, {a.string()});
  Run({"move"});
  EXPECT_EQ(window.lines,
            Lines({"yellow: Error No: 21. Is a directory - " + (a / "clash").string(),
                   "yellow: Not all files were copied - " + a.string(), "lime: Completed!"}));
  EXPECT_EQ(ReadTree(a), Tree({{"clash", "data"}, {"fine.txt", "ok"}}));
  EXPECT_EQ(ReadTree(output), Tree({{"clash", "<dir>"}, {"fine.txt", "ok"}}));
}

TEST_F(RunTest, NumberedCopyGoesAroundAFolder) {
  const fs::path a = Source("a", {{"clash", "data"}});
  fs::create_directories(output / "clash");
  Job(output, {a.string()});
  Run({"createnumberedcopy"});
  EXPECT_EQ(ReadTree(output), Tree({{"clash", "<dir>"}, {"clash (2)", "data"}}));
  EXPECT_EQ(window.lines.front(), "lime: Copied - " + a.string());
}

// A source that is the output folder, or holds it, is refused before anything of it moves.
TEST_F(RunTest, SourceHoldingTheOutputFolderIsRefused) {
  const fs::path a = Source("a", {{"f.txt", "1"}, {"out", "<dir>"}});
  fs::create_symlink(a / "out", root / "alias");
  Job(a / "out", {a.string(), (root / "alias").string()});
  Run({"move", "preserve"});
  EXPECT_EQ(window.lines,
            Lines({"yellow: The output folder lies inside this folder - " + a.string(),
                   "yellow: The source directory is the same as the destination directory - " +
                       (root / "alias").string(),
                   "lime: Completed!"}));
  EXPECT_EQ(ReadTree(a), Tree({{"f.txt", "1"}, {"out", "<dir>"}}));
}

// Linux names differ in letter case: those are two folders, and both are copied.
TEST_F(RunTest, FoldersDifferingInLetterCaseAreDifferent) {
  const fs::path a = Source("Out", {{"f.txt", "1"}});
  Job(root / "out", {a.string()});
  Run({"preserve"});
  EXPECT_EQ(window.lines.front(), "lime: Copied - " + a.string());
  EXPECT_EQ(ReadTree(root / "out"), Tree({{"f.txt", "1"}}));
}

TEST_F(RunTest, NamesThatAreNotUtf8AreCopiedByteForByte) {
  const std::string name = "caf\xE9-\xFF.txt";
  const fs::path a = Source("a", {{name, "bytes"}});
  Job(output, {a.string()});
  Run({});
  EXPECT_EQ(ReadTree(output), Tree({{name, "bytes"}}));
}

TEST_F(RunTest, SpecialFilesAreNeverOpened) {
  const fs::path a = Source("a", {{"f.txt", "1"}});
  ASSERT_EQ(mkfifo((a / "pipe").c_str(), 0600), 0);
  Job(output, {a.string()});
  Run({"move"});
  EXPECT_EQ(window.lines,
            Lines({"yellow: Not a regular file - " + (a / "pipe").string(),
                   "yellow: Not all files were copied - " + a.string(), "lime: Completed!"}));
  EXPECT_TRUE(fs::exists(a / "f.txt"));
}

// Links to folders are not followed (no loops); links to files bring the file.
TEST_F(RunTest, LinksInFlatAndTreeCopies) {
  const fs::path a = Source("a", {{"real/f.txt", "1"}});
  fs::create_directory_symlink("real", a / "loop");
  fs::create_symlink("real/f.txt", a / "filelink");
  Job(root / "flat", {a.string()});
  Run({});
  EXPECT_EQ(ReadTree(root / "flat"), Tree({{"f.txt", "1"}, {"filelink", "1"}}));
  Job(root / "tree", {a.string()});
  Run({"preserve"});
  EXPECT_EQ(
      ReadTree(root / "tree"),
      Tree({{"real", "<dir>"}, {"real/f.txt", "1"}, {"loop", "<link>real"}, {"filelink", "1"}}));
}

TEST_F(RunTest, CopyKeepsModeAndTimes) {
  const fs::path a = Source("a", {{"script.sh", "#!/bin/sh\n"}});
  ASSERT_EQ(chmod((a / "script.sh").c_str(), 0751), 0);
  const timespec times[2] = {{1000000000, 5}, {1200000000, 7}};
  ASSERT_EQ(utimensat(AT_FDCWD, (a / "script.sh").c_str(), times, 0), 0);
  Job(output, {a.string()});
  Run({});
  struct stat info {};
  ASSERT_EQ(stat((output / "script.sh").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0751u);
  EXPECT_EQ(info.st_mtim.tv_sec, 1200000000);
  EXPECT_EQ(info.st_mtim.tv_nsec, 7);
  EXPECT_EQ(info.st_atim.tv_sec, 1000000000);
}

TEST_F(RunTest, MoveSendsTheSourceToTheTrash) {
  const fs::path a = Source("photos", {{"sub/p.jpg", "p"}});
  Job(output, {a.string()});
  Run({"move"});
  EXPECT_EQ(window.lines, Lines({"lime: Moved - " + a.string(), "lime: Completed!"}));
  EXPECT_FALSE(fs::exists(a));
  EXPECT_EQ(ReadTree(output), Tree({{"p.jpg", "p"}}));
  bool found = false;
  for (const auto& entry : fs::directory_iterator(kDataHomeAtStart / "Trash/info")) {
    const std::string info = ReadFile(entry.path());
    if (info.find("Path=" + a.string() + "\n") != std::string::npos) found = true;
  }
  EXPECT_TRUE(found) << "a .trashinfo names the source";
}

TEST_F(RunTest, FailedActionWriteEndsTheRunBeforeCompletion) {
  const fs::path a = Source("a", {{"f", "1"}});
  Job(output, {a.string()});
  Settings settings(settingsFolder);
  CombiningRun run(window, settings, language, {"autoclose"});
  // The settings file can no longer be replaced: its name is taken by a non-empty folder.
  fs::remove(settingsFolder / "settings.ini");
  fs::create_directories(settingsFolder / "settings.ini/x");
  EXPECT_THROW(
      {
        try {
          run.Perform();
        } catch (const platform::Error& error) {
          EXPECT_EQ(std::string(error.what()),
                    "Unable to write to " + (settingsFolder / "settings.ini").string());
          throw;
        }
      },
      platform::Error);
  EXPECT_EQ(window.lines, Lines({"lime: Copied - " + a.string()}));
  EXPECT_EQ(window.events.back(), "step") << "no completion, no countdown";
}

TEST_F(RunTest, ErrorTextRewriteFollowsTheLanguage) {
  const fs::path a = Source("a", {{"clash", "data"}});
  fs::create_directories(output / "clash");
  Job(output, {a.string()});
  language = Language{"/x.lang.txt", {"{Error No:}Fehler Nr.:", "{Copied}Kopiert"}};
  Run({});
  EXPECT_EQ(window.lines.front(),
            "yellow: Fehler Nr.: 21. Is a directory - " + (a / "clash").string());
  language = Language{"/x.lang.txt", {"{System Error.}Systemfehler."}};
  window = RecordingWindow();
  Run({});
  EXPECT_EQ(window.lines.front(),
            "yellow: System Error.  Code: 21. Is a directory - " + (a / "clash").string());
}

struct NumberedCase {
  const char* name;
  const char* file;
  Lines taken;
  const char* expected;
};

class NumberedName : public ::testing::TestWithParam<NumberedCase> {};

TEST_P(NumberedName, PicksTheFirstFreeNumber) {
  TempFolder folder;
  for (const auto& name : GetParam().taken) {
    if (name.back() == '/')
      fs::create_directories(folder / name);
    else
      WriteFile(folder / name, "");
  }
  EXPECT_EQ(NextNumberedName(folder / GetParam().file), folder / GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Names, NumberedName,
    ::testing::Values(
        NumberedCase{"Free", "a.txt", {}, "a.txt"},
        NumberedCase{"FirstClash", "a.txt", {"a.txt"}, "a (2).txt"},
        NumberedCase{"ThirdClash", "a.txt", {"a.txt", "a (2).txt"}, "a (3).txt"},
        NumberedCase{"LastDotSplits", "a.tar.gz", {"a.tar.gz"}, "a.tar (2).gz"},
        NumberedCase{"DotFile", ".config", {".config"}, " (2).config"},
        NumberedCase{"NoExtension", "README", {"README"}, "README (2)"},
        NumberedCase{"NumbersDoNotPileUp", "Apple (1).jpg", {"Apple (1).jpg"}, "Apple (1) (2).jpg"},
        NumberedCase{"FolderTakesTheName", "a.txt", {"a.txt/", "a (2).txt/"}, "a (3).txt"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(WritableProbe, LeavesNothingBehind) {
  TempFolder folder;
  EXPECT_TRUE(IsFolderWritable(folder.path()));
  EXPECT_TRUE(fs::is_empty(folder.path()));
  // A link planted under the probe's name is never followed.
  fs::create_symlink(folder / "elsewhere", folder / "chk.tmp");
  EXPECT_FALSE(IsFolderWritable(folder.path()));
  EXPECT_FALSE(fs::exists(folder / "elsewhere"));
}

}  // namespace
