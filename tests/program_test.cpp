// The built program started as the front end starts it: files written, switch words given, and
// the outcome read back from the output folder and the Action mark.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <string_view>
#include <thread>

#include "tests/testsupport.h"

extern char** environ;

namespace fs = std::filesystem;
using testing_support::ReadFile;
using testing_support::ReadTree;
using testing_support::TempFolder;
using testing_support::Tree;
using testing_support::WriteFile;

namespace {

// Asks the window of process pid to close, through its endpoint in the runtime folder, as a
// front end does; false while the endpoint is not there yet.
bool SendClose(const fs::path& runtime, pid_t pid) {
  const fs::path socketPath = runtime / ("TFormNOLBE." + std::to_string(pid));
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s", socketPath.c_str());
  const std::string line = "1025 8687639 8687639\n";
  const bool sent = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                    ::write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
  ::close(fd);
  return sent;
}

std::string_view NameOf(std::string_view entry) { return entry.substr(0, entry.find('=')); }

// Runs in the started child just before it becomes the program; false ends it with kSetupFailed.
using ChildSetup = std::function<bool()>;
constexpr int kSetupFailed = 125;

// Runs the program with the given arguments and the test's environment changed by the entries
// given ("NAME=value" sets, a bare "NAME" removes); returns its exit code, or -1 when it had to
// be killed because it did not end in time. closeIn: the runtime folder through which to ask its
// window to close once closeWhenGone no longer exists (empty: leave the window alone).
int RunProgram(const fs::path& program, const std::vector<std::string>& arguments,
               const std::vector<std::string>& environment, const fs::path& closeIn = {},
               const fs::path& closeWhenGone = {}, const ChildSetup& setup = {}) {
  std::vector<std::string> env;
  for (char** entry = environ; *entry; ++entry) {
    const bool changed =
        std::any_of(environment.begin(), environment.end(),
                    [&](const std::string& e) { return NameOf(e) == NameOf(*entry); });
    if (!changed) env.emplace_back(*entry);
  }
  for (const auto& entry : environment)
    if (entry.find('=') != std::string::npos) env.push_back(entry);
  std::vector<char*> envp;
  for (auto& entry : env) envp.push_back(entry.data());
  envp.push_back(nullptr);
  std::vector<std::string> args{program.string()};
  args.insert(args.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (auto& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    if (setup && !setup()) ::_exit(kSetupFailed);
    ::execve(program.c_str(), argv.data(), envp.data());
    ::_exit(127);
  }
  int status = 0;
  bool closeSent = closeIn.empty();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return -1;
    }
    if (!closeSent && !fs::exists(closeWhenGone)) closeSent = SendClose(closeIn, pid);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class Program : public ::testing::Test {
 protected:
  TempFolder root;
  fs::path program = root / "bin/zorbel";
  // The window shows on no screen, and its close endpoint lives in a folder of the test's own.
  std::vector<std::string> environment{
      "XDG_CONFIG_HOME=" + (root / "config").string(), "XDG_DATA_HOME=" + (root / "data").string(),
      "XDG_RUNTIME_DIR=" + (root / "runtime").string(), "QT_QPA_PLATFORM=offscreen"};

  void SetUp() override {
    fs::create_directories(root / "bin");
    fs::create_directory(root / "runtime");
    fs::permissions(root / "runtime", fs::perms::owner_all);
    fs::create_directories(root / "config");
    fs::create_directories(root / "data");
    fs::copy_file(ZORBEL_EXECUTABLE, program);
    WriteFile(root / "a/photo.jpg", "A");
    WriteFile(root / "a/2019/x.txt", "x");
    WriteFile(root / "b/photo.jpg", "B");
  }

  void WriteJob(const fs::path& settingsFolder, const std::string& action) {
    WriteFile(settingsFolder / "settings.ini", "[Settings]\nAction=" + action + "\n");
    WriteFile(settingsFolder / "zorbel.txt", "OutputFolder:" + (root / "out").string() + "\r\n" +
                                                 (root / "a").string() + "\r\n" +
                                                 (root / "b").string() + "\r\n");
  }
};

TEST_F(Program, PerUserLayout) {
  const fs::path settings = root / "config/Olvandi/Quorvane";
  WriteJob(settings, "1");
  ASSERT_EQ(RunProgram(program, {"createnumberedcopy", "autoclose"}, environment), 0);
  EXPECT_EQ(ReadTree(root / "out"),
            Tree({{"photo.jpg", "A"}, {"photo (2).jpg", "B"}, {"x.txt", "x"}}));
  EXPECT_EQ(ReadFile(settings / "settings.ini"), "[Settings]\nAction=0\n");
}

TEST_F(Program, PortableLayoutMovesAsTrees) {
  WriteJob(root / "bin", "1");
  ASSERT_EQ(RunProgram(program, {"move", "preserve", "autoclose"}, environment), 0);
  EXPECT_EQ(ReadTree(root / "out"),
            Tree({{"photo.jpg", "B"}, {"2019", "<dir>"}, {"2019/x.txt", "x"}}));
  EXPECT_FALSE(fs::exists(root / "a"));
  EXPECT_FALSE(fs::exists(root / "b"));
  EXPECT_EQ(ReadFile(root / "bin/settings.ini"), "[Settings]\nAction=0\n");
  EXPECT_TRUE(fs::is_empty(root / "config")) << "nothing per user in the portable layout";
}

TEST_F(Program, NoWaitingJobEndsAtOnce) {
  WriteJob(root / "bin", "0");
  ASSERT_EQ(RunProgram(program, {}, environment), 0);
  EXPECT_FALSE(fs::exists(root / "out"));
}

TEST_F(Program, FailedActionWriteIsSaid) {
  const fs::path settings = root / "config/Olvandi/Quorvane";
  WriteJob(settings, "1");
  // A job file that names the settings folder itself as a source to move: the move takes the
  // settings file along, so marking the job as done must fail and say so. The window then
  // stays until it is closed: once the settings are gone the test closes it as the front end
  // would.
  WriteFile(settings / "zorbel.txt",
            "OutputFolder:" + (root / "out").string() + "\n" + settings.string() + "\n");
  EXPECT_EQ(RunProgram(program, {"move", "autoclose"}, environment, root / "runtime",
                       settings / "settings.ini"),
            1);
}

}  // namespace
