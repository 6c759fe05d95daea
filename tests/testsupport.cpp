#include "tests/testsupport.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <system_error>
#include <thread>

namespace fs = std::filesystem;

namespace testing_support {

namespace {
// Tests started through sudo still run for root alone: the invoking user's own settings and
// Trash are never the ones a test or the program it starts works on.
[[maybe_unused]] const bool kForNoOtherUser =
    unsetenv("PKEXEC_UID") == 0 && unsetenv("SUDO_UID") == 0;
}  // namespace

TempFolder::TempFolder() {
  std::string pattern = (fs::temp_directory_path() / "zorbel-test-XXXXXX").string();
  if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempFolder::~TempFolder() {
  std::error_code ignored;
  // Tests may leave read-only folders behind; make them removable first.
  for (auto it = fs::recursive_directory_iterator(path_, ignored);
       it != fs::recursive_directory_iterator(); it.increment(ignored)) {
    if (it->is_directory(ignored) && !it->is_symlink(ignored))
      fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
  }
  fs::remove_all(path_, ignored);
}

ScopedEnv::ScopedEnv(const char* name, std::optional<std::string> value) : name_(name) {
  if (const char* old = std::getenv(name)) old_ = old;
  if (value)
    setenv(name, value->c_str(), 1);
  else
    unsetenv(name);
}

ScopedEnv::~ScopedEnv() {
  if (old_)
    setenv(name_, old_->c_str(), 1);
  else
    unsetenv(name_);
}

void WriteFile(const fs::path& file, const std::string& bytes) {
  fs::create_directories(file.parent_path());
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out << bytes;
  if (!out) throw std::runtime_error("cannot write " + file.string());
}

std::string ReadFile(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + file.string());
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

void WriteJobFile(const fs::path& settingsFolder, const fs::path& outputFolder,
                  const std::vector<std::string>& sources) {
  std::string text = "OutputFolder:" + outputFolder.string() + "\n";
  for (const auto& source : sources) text += source + "\n";
  WriteFile(settingsFolder / "zorbel.txt", text);
}

Tree ReadTree(const fs::path& root) {
  Tree tree;
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator();
       ++it) {
    const std::string rel = it->path().lexically_relative(root).string();
    const auto status = it->symlink_status();
    if (fs::is_symlink(status))
      tree[rel] = "<link>" + fs::read_symlink(it->path()).string();
    else if (fs::is_directory(status))
      tree[rel] = "<dir>";
    else if (fs::is_regular_file(status))
      tree[rel] = ReadFile(it->path());
    else
      tree[rel] = "<special>";
  }
  return tree;
}

const fs::path& ProcessDataHome() {
  static TempFolder folder;
  static const bool set = setenv("XDG_DATA_HOME", folder.path().c_str(), 1) == 0;
  (void)set;
  return folder.path();
}

std::vector<std::string> EnvironmentWith(const std::vector<std::string>& changes) {
  std::vector<std::string> env;
  for (char** entry = environ; *entry; ++entry) env.emplace_back(*entry);
  for (const std::string& change : changes) {
    const std::string name = change.substr(0, change.find('='));
    std::erase_if(env, [&](const std::string& entry) { return entry.starts_with(name + "="); });
    if (change.find('=') != std::string::npos) env.push_back(change);
  }
  return env;
}

std::vector<char*> ExecList(std::vector<std::string>& strings) {
  std::vector<char*> list;
  for (std::string& text : strings) list.push_back(text.data());
  list.push_back(nullptr);
  return list;
}

Command::Command(const fs::path& program, const std::vector<std::string>& arguments,
                 const std::vector<std::string>& environment, const fs::path& workingFolder)
    : capture_(std::make_unique<TempFolder>()) {
  std::vector<std::string> env = EnvironmentWith(environment);
  std::vector<char*> envp = ExecList(env);
  std::vector<std::string> args{program.string()};
  args.insert(args.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv = ExecList(args);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  const std::string out = (capture_->path() / "out").string();
  const std::string err = (capture_->path() / "err").string();
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (!workingFolder.empty()) posix_spawn_file_actions_addchdir_np(&actions, workingFolder.c_str());
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
  posix_spawnattr_setpgroup(&attributes, 0);
  pid_t pid = -1;
  const int result =
      posix_spawnp(&pid, program.c_str(), &actions, &attributes, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (result != 0) {
    startError_ = "cannot start " + program.string() + ": " + std::strerror(result) + "\n";
    status_ = -1;
    return;
  }
  pid_ = pid;
}

Command::~Command() {
  if (Running()) Kill();
}

void Command::Kill() {
  kill(-pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
  status_ = -1;
}

bool Command::Running() {
  if (status_) return false;
  int status = 0;
  if (waitpid(pid_, &status, WNOHANG) != pid_) return true;
  status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return false;
}

CommandResult Command::Finish(int timeoutSeconds) {
  CommandResult result;
  if (!WaitUntil([&] { return !Running(); }, timeoutSeconds)) {
    Kill();
    result.timedOut = true;
  }
  result.status = *status_;
  if (!startError_.empty()) {
    result.err = startError_;
    return result;
  }
  result.out = ReadFile(capture_->path() / "out");
  result.err = ReadFile(capture_->path() / "err");
  return result;
}

CommandResult RunCommand(const fs::path& program, const std::vector<std::string>& arguments,
                         const std::vector<std::string>& environment, const fs::path& workingFolder,
                         int timeoutSeconds) {
  return Command(program, arguments, environment, workingFolder).Finish(timeoutSeconds);
}

bool WaitUntil(const std::function<bool()>& done, int timeoutSeconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return done();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

}  // namespace testing_support
