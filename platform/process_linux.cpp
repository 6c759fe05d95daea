// Starting and watching other programs on Linux: posix_spawn, waitpid, /proc and flock.
#include <fcntl.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/process.h"

extern char** environ;

namespace fs = std::filesystem;

namespace platform {

namespace {

class SpawnSettings {
 public:
  SpawnSettings() {
    Check(::posix_spawn_file_actions_init(&actions_));
    Check(::posix_spawnattr_init(&attributes_));
    Check(::posix_spawn_file_actions_addopen(&actions_, STDIN_FILENO, "/dev/null", O_RDONLY, 0));
    Check(::posix_spawnattr_setflags(&attributes_, POSIX_SPAWN_SETSID));
  }
  ~SpawnSettings() {
    ::posix_spawn_file_actions_destroy(&actions_);
    ::posix_spawnattr_destroy(&attributes_);
  }
  SpawnSettings(const SpawnSettings&) = delete;
  SpawnSettings& operator=(const SpawnSettings&) = delete;

  const posix_spawn_file_actions_t* actions() const { return &actions_; }
  const posix_spawnattr_t* attributes() const { return &attributes_; }

 private:
  static void Check(int result) {
    if (result != 0) ThrowSystemError(result);
  }
  posix_spawn_file_actions_t actions_;
  posix_spawnattr_t attributes_;
};

class LinuxLock : public Lock {
 public:
  explicit LinuxLock(int fd) : fd_(fd) {}
  ~LinuxLock() override { ::close(fd_); }

 private:
  int fd_;
};

}  // namespace

int StartProgram(const fs::path& program, const std::vector<std::string>& arguments) {
  std::vector<std::string> words;
  words.push_back(program.string());
  words.insert(words.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);

  SpawnSettings settings;
  pid_t child = 0;
  const bool search = program.native().find('/') == std::string::npos;
  int result = search ? ::posix_spawnp(&child, program.c_str(), settings.actions(),
                                       settings.attributes(), argv.data(), environ)
                      : ::posix_spawn(&child, program.c_str(), settings.actions(),
                                      settings.attributes(), argv.data(), environ);
  if (result != 0) ThrowSystemError(result);
  return child;
}

std::optional<int> ProgramEnded(int processId, bool wait) {
  int status = 0;
  pid_t ended = 0;
  do {
    ended = ::waitpid(processId, &status, wait ? 0 : WNOHANG);
  } while (ended < 0 && errno == EINTR);
  if (ended < 0) ThrowSystemError(errno);
  if (ended == 0) return std::nullopt;
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return WEXITSTATUS(status);
}

std::optional<RunningProgram> LookAtProgram(int processId) {
  const fs::path folder = fs::path("/proc") / std::to_string(processId);
  RunningProgram program;
  program.image = folder / "exe";
  std::error_code error;
  program.executable = fs::read_symlink(program.image, error);
  if (error) return std::nullopt;
  // A replaced executable shows as "<path> (deleted)"; the folder it was started from stays.
  constexpr std::string_view kDeleted = " (deleted)";
  if (std::string name = program.executable.native(); name.ends_with(kDeleted)) {
    name.resize(name.size() - kDeleted.size());
    program.executable = name;
  }

  std::string environment;
  try {
    environment = ReadFile(folder / "environ");
  } catch (const Error&) {
    return std::nullopt;
  }
  // The same rule as UserConfigFolder, on that process's variables.
  std::string home;
  for (std::size_t start = 0; start < environment.size();) {
    std::size_t end = environment.find('\0', start);
    if (end == std::string::npos) end = environment.size();
    const std::string_view entry(environment.data() + start, end - start);
    if (entry.starts_with("XDG_CONFIG_HOME=/")) program.configFolder = entry.substr(16);
    if (entry.starts_with("HOME=") && entry.size() > 5) home = entry.substr(5);
    start = end + 1;
  }
  if (program.configFolder.empty() && !home.empty())
    program.configFolder = fs::path(home) / ".config";
  return program;
}

std::unique_ptr<Lock> LockExclusively(const fs::path& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) ThrowSystemError(errno);
  while (::flock(fd, LOCK_EX) != 0) {
    if (errno == EINTR) continue;
    int error = errno;
    ::close(fd);
    ThrowSystemError(error);
  }
  return std::make_unique<LinuxLock>(fd);
}

}  // namespace platform
