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

fs::path ExecutableOf(int processId) {
  std::error_code error;
  fs::path executable =
      fs::read_symlink(fs::path("/proc") / std::to_string(processId) / "exe", error);
  return error ? fs::path() : executable;
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
