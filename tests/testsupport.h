// Small helpers shared by the tests: a temporary folder, files written in one call, and a whole
// tree read back for comparison.
#pragma once

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace testing_support {

// A fresh folder below the system's temporary folder, removed with everything in it.
class TempFolder {
 public:
  TempFolder();
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::filesystem::path& rel) const { return path_ / rel; }

 private:
  std::filesystem::path path_;
};

// Sets an environment variable (or removes it, given no value) for one test and puts the old
// value back.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, std::optional<std::string> value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  const char* name_;
  std::optional<std::string> old_;
};

// Writes bytes to a file, creating its folders.
void WriteFile(const std::filesystem::path& file, const std::string& bytes);
std::string ReadFile(const std::filesystem::path& file);

// The job file as a front end writes it: the output folder line, then one source per line.
void WriteJobFile(const std::filesystem::path& settingsFolder,
                  const std::filesystem::path& outputFolder,
                  const std::vector<std::string>& sources);

// Every entry below root by relative path: a file maps to its content, a folder to "<dir>",
// a link to "<link>" + its target, anything else to "<special>".
using Tree = std::map<std::string, std::string>;
Tree ReadTree(const std::filesystem::path& root);

// The data folder whose Trash this test process uses. GIO reads XDG_DATA_HOME once per
// process, so it is set on the first call, before anything is trashed, and never changed.
const std::filesystem::path& ProcessDataHome();

// The test's own environment with changes: "NAME=value" sets or replaces, a bare "NAME" removes.
std::vector<std::string> EnvironmentWith(const std::vector<std::string>& changes);
// What exec wants of a list of strings: a pointer to each, then a null pointer. The strings
// must outlive the list.
std::vector<char*> ExecList(std::vector<std::string>& strings);

// Another program run as a person runs it from a terminal (found on PATH when its name holds no
// "/"), with nothing to read, its output and error text kept, the environment the test's own
// with some variables set or replaced ("NAME=value") or removed ("NAME"), in a working folder
// of the test's choice. It runs in a process group of its own: one that overstays its time, or
// is still running when the object goes away, is killed with what it started in that group.
struct CommandResult {
  int status = -1;  // the exit status; -1 when it did not start, was killed or died of a signal
  bool timedOut = false;
  std::string out;
  std::string err;
};
class Command {
 public:
  Command(const std::filesystem::path& program, const std::vector<std::string>& arguments,
          const std::vector<std::string>& environment = {},
          const std::filesystem::path& workingFolder = {});
  ~Command();
  Command(const Command&) = delete;
  Command& operator=(const Command&) = delete;

  int processId() const { return pid_; }
  bool Running();
  // Waits for the end, at most timeoutSeconds, then kills it.
  CommandResult Finish(int timeoutSeconds = 120);

 private:
  void Kill();

  std::unique_ptr<TempFolder> capture_;
  int pid_ = -1;
  std::optional<int> status_;
  std::string startError_;
};
CommandResult RunCommand(const std::filesystem::path& program,
                         const std::vector<std::string>& arguments,
                         const std::vector<std::string>& environment = {},
                         const std::filesystem::path& workingFolder = {}, int timeoutSeconds = 120);

// Polls until done() holds or timeoutSeconds pass; returns done()'s last answer.
bool WaitUntil(const std::function<bool()>& done, int timeoutSeconds = 60);

}  // namespace testing_support
