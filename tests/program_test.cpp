// The built program started as the front end starts it: files written, switch words given, and
// the outcome read back from the output folder and the Action mark.
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <optional>
#include <string_view>
#include <thread>

#include "tests/testsupport.h"

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
  std::vector<std::string> env = testing_support::EnvironmentWith(environment);
  std::vector<char*> envp = testing_support::ExecList(env);
  std::vector<std::string> args{program.string()};
  args.insert(args.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv = testing_support::ExecList(args);
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

// ----- root started through sudo on behalf of a user -----------------------------------------

// A user of the test's own, known to the program only: the program runs in a mount namespace
// of its own in which a copy of /etc/passwd naming the user is bound over the real one, so no
// account is ever made on the machine.
constexpr uid_t kUser = 4242;

struct stat StatOf(const fs::path& path) {
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0) info.st_uid = info.st_gid = static_cast<uid_t>(-1);
  return info;
}

// Hands an entry, and everything below a folder, to the user.
void GiveToUser(const fs::path& path) {
  if (::lchown(path.c_str(), kUser, kUser) != 0) ADD_FAILURE() << "chown " << path;
  if (fs::is_directory(fs::symlink_status(path)))
    for (const auto& entry : fs::recursive_directory_iterator(path))
      if (::lchown(entry.path().c_str(), kUser, kUser) != 0) ADD_FAILURE() << "chown " << entry;
}

fs::path UserFolder(const fs::path& folder) {
  fs::create_directories(folder);
  GiveToUser(folder);
  return folder;
}

class OnBehalfProgram : public Program {
 protected:
  fs::path userHome = root / "home/zorbeltest";
  fs::path rootHome = root / "roothome";
  std::string passwd = (root / "passwd").string();

  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to stand for a sudo start";
    Program::SetUp();
    WriteFile(passwd, ReadFile("/etc/passwd") + "zorbeltest:x:" + std::to_string(kUser) + ":" +
                          std::to_string(kUser) + ":zorbel test:" + userHome.string() +
                          ":/usr/sbin/nologin\n");
    fs::create_directories(rootHome);
    fs::create_directories(root / "tmp");
    UserFolder(userHome);
    UserFolder(userHome / ".config");
    // The user's own sources, on the file system of the user's home.
    for (const char* source : {"a", "b"}) GiveToUser(root / source);
  }

  // Starts the program as sudo would for the user, with root's HOME; extra entries change the
  // environment further. Its exit code, or nothing when the user could not be made known to it.
  std::optional<int> RunForUser(const std::vector<std::string>& arguments,
                                const std::vector<std::string>& extra = {}) {
    // Root's caches (the sound theme's) go elsewhere, so root's home shows only what the run
    // put there.
    std::vector<std::string> environment{"SUDO_UID=" + std::to_string(kUser),
                                         "PKEXEC_UID",
                                         "HOME=" + rootHome.string(),
                                         "XDG_CONFIG_HOME",
                                         "XDG_DATA_HOME",
                                         "XDG_RUNTIME_DIR",
                                         "XDG_CACHE_HOME=" + (root / "cache").string(),
                                         "TMPDIR=" + (root / "tmp").string(),
                                         "QT_QPA_PLATFORM=offscreen"};
    environment.insert(environment.end(), extra.begin(), extra.end());
    const char* passwdCopy = passwd.c_str();
    const int code = RunProgram(program, arguments, environment, {}, {}, [passwdCopy] {
      return ::unshare(CLONE_NEWNS) == 0 &&
             ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
             ::mount(passwdCopy, "/etc/passwd", nullptr, MS_BIND, nullptr) == 0;
    });
    if (code == kSetupFailed) return std::nullopt;
    return code;
  }

  // Every entry below the folder, the folder too, owned by the user.
  static void ExpectAllTheUsers(const fs::path& folder) {
    EXPECT_EQ(StatOf(folder).st_uid, kUser) << folder;
    for (const auto& entry : fs::recursive_directory_iterator(folder))
      EXPECT_EQ(StatOf(entry.path()).st_uid, kUser) << entry.path();
  }
};

constexpr char kNoNamespace[] = "cannot bind a passwd naming the test's user over /etc/passwd";

// Where a case says the user's folders are, and what it adds to the environment.
struct UserFolders {
  fs::path config;
  fs::path data;
  std::vector<std::string> environment;
};

struct OnBehalfCase {
  const char* name;
  UserFolders (*prepare)(const fs::path& userHome, const fs::path& rootHome);
};

class OnBehalfMove : public OnBehalfProgram, public ::testing::WithParamInterface<OnBehalfCase> {};

// The job is read from the user's settings folder and marked done there, the file staying the
// user's; the moved sources land in the user's Trash, which the user can list and restore from;
// root's home gets nothing.
TEST_P(OnBehalfMove, UsesTheUsersSettingsAndTrash) {
  const UserFolders folders = GetParam().prepare(userHome, rootHome);
  const fs::path settings = folders.config / "Olvandi/Quorvane";
  WriteJob(settings, "1");
  GiveToUser(folders.config / "Olvandi");
  ASSERT_EQ(::chmod((settings / "settings.ini").c_str(), 0600), 0);
  const testing_support::Tree rootHomeBefore = ReadTree(rootHome);

  const auto code = RunForUser({"move", "createnumberedcopy", "autoclose"}, folders.environment);
  if (!code) GTEST_SKIP() << kNoNamespace;
  ASSERT_EQ(*code, 0);

  EXPECT_EQ(ReadTree(root / "out"),
            Tree({{"photo.jpg", "A"}, {"photo (2).jpg", "B"}, {"x.txt", "x"}}));
  EXPECT_EQ(ReadFile(settings / "settings.ini"), "[Settings]\nAction=0\n");
  EXPECT_EQ(StatOf(settings / "settings.ini").st_uid, kUser);
  EXPECT_EQ(StatOf(settings / "settings.ini").st_gid, kUser);
  EXPECT_EQ(StatOf(settings / "settings.ini").st_mode & 07777, 0600u);

  EXPECT_EQ(ReadTree(rootHome), rootHomeBefore);

  const fs::path trash = folders.data / "Trash";
  EXPECT_FALSE(fs::exists(root / "a"));
  EXPECT_FALSE(fs::exists(root / "b"));
  ASSERT_TRUE(fs::is_directory(trash / "files")) << "the sources went to the user's Trash";
  EXPECT_EQ(ReadTree(trash / "files"), Tree({{"a", "<dir>"},
                                             {"a/photo.jpg", "A"},
                                             {"a/2019", "<dir>"},
                                             {"a/2019/x.txt", "x"},
                                             {"b", "<dir>"},
                                             {"b/photo.jpg", "B"}}));
  for (const char* source : {"a", "b"}) {
    const fs::path info = trash / "info" / (std::string(source) + ".trashinfo");
    EXPECT_NE(ReadFile(info).find("\nPath=" + (root / source).string() + "\n"), std::string::npos);
    EXPECT_EQ(StatOf(info).st_uid, kUser);
    EXPECT_EQ(StatOf(info).st_gid, kUser);
    EXPECT_TRUE(StatOf(info).st_mode & S_IRUSR);
  }
  for (const fs::path& folder : {trash, trash / "files", trash / "info"})
    EXPECT_EQ(StatOf(folder).st_mode & 07777, 0700u) << folder;
  // Whatever the run made in the user's home (the Trash, the folders above it) is the user's.
  ExpectAllTheUsers(userHome);
}

INSTANTIATE_TEST_SUITE_P(
    Folders, OnBehalfMove,
    ::testing::Values(
        // pkexec and plain sudo: nothing of the user's in the environment; the data folder
        // below the user's home does not exist yet.
        OnBehalfCase{"BelowTheUsersHome",
                     [](const fs::path& userHome, const fs::path&) {
                       return UserFolders{userHome / ".config", userHome / ".local/share", {}};
                     }},
        // sudo -E with the user's own folders kept.
        OnBehalfCase{"UsersVariablesKept",
                     [](const fs::path& userHome, const fs::path&) {
                       const fs::path config = UserFolder(userHome / "settings");
                       const fs::path data = UserFolder(userHome / "data");
                       return UserFolders{config,
                                          data,
                                          {"XDG_CONFIG_HOME=" + config.string(),
                                           "XDG_DATA_HOME=" + data.string()}};
                     }},
        // Variables naming root's folders are root's, not the user's.
        OnBehalfCase{"RootsVariablesIgnored",
                     [](const fs::path& userHome, const fs::path& rootHome) {
                       fs::create_directories(rootHome / ".config");
                       fs::create_directories(rootHome / ".local/share");
                       return UserFolders{
                           userHome / ".config",
                           userHome / ".local/share",
                           {"XDG_CONFIG_HOME=" + (rootHome / ".config").string(),
                            "XDG_DATA_HOME=" + (rootHome / ".local/share").string()}};
                     }}),
    [](const auto& info) { return std::string(info.param.name); });

// The user has never had a job: the settings folders made on the user's behalf are the user's,
// so the user's own front end can write the first job there.
TEST_F(OnBehalfProgram, MissingSettingsFoldersAreMadeForTheUser) {
  const auto code = RunForUser({});
  if (!code) GTEST_SKIP() << kNoNamespace;
  ASSERT_EQ(*code, 0);
  EXPECT_TRUE(fs::is_directory(userHome / ".config/Olvandi/Quorvane"));
  ExpectAllTheUsers(userHome);
  EXPECT_TRUE(fs::is_empty(rootHome)) << "nothing of root's";
  EXPECT_FALSE(fs::exists(root / "out"));
}

// zorbel-submit itself started through sudo: the job it writes, and the folders it makes for
// it, are the user's, and the zorbel it starts reads that job and marks it done there.
TEST_F(OnBehalfProgram, SubmittedThroughSudoEverythingStaysTheUsers) {
  fs::copy_file(ZORBEL_SUBMIT_EXECUTABLE, root / "bin/zorbel-submit");
  program = root / "bin/zorbel-submit";
  const auto code = RunForUser(
      {"--wait", "--autoclose", "--numbered", (root / "out").string(), (root / "a").string()});
  if (!code) GTEST_SKIP() << kNoNamespace;
  ASSERT_EQ(*code, 0);
  EXPECT_EQ(ReadTree(root / "out"), Tree({{"photo.jpg", "A"}, {"x.txt", "x"}}));
  const fs::path settings = userHome / ".config/Olvandi/Quorvane";
  EXPECT_EQ(ReadFile(settings / "settings.ini"), "[Settings]\nAction=0\n");
  EXPECT_TRUE(fs::exists(settings / "zorbel.txt"));
  ExpectAllTheUsers(userHome);
  EXPECT_TRUE(fs::is_empty(rootHome)) << "nothing of root's";
}

}  // namespace
