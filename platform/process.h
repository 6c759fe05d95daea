// Other programs as a front end sees them: starting one, waiting for it, telling what a running
// one is, and keeping two front ends from preparing jobs in one folder at the same time.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace platform {

// Starts program (searched on PATH when it holds no "/") with the arguments after its name, in
// a session of its own so it outlives the terminal and a Ctrl-C meant for the caller. It reads
// nothing from the caller's input. Returns its process id; throws Error.
int StartProgram(const std::filesystem::path& program, const std::vector<std::string>& arguments);
// The exit status of a started program once it has ended (128 + the signal when killed);
// nothing while it runs. With wait, blocks until it ends.
std::optional<int> ProgramEnded(int processId, bool wait);
// What a running process of the user's is: the path it was started from (links resolved), a
// path that opens its executable even when that file was replaced since, and the configuration
// folder its environment names ($XDG_CONFIG_HOME, else $HOME/.config). Nothing when that
// cannot be told: it ended, or it belongs to another user.
struct RunningProgram {
  std::filesystem::path executable;
  std::filesystem::path image;
  std::filesystem::path configFolder;
};
std::optional<RunningProgram> LookAtProgram(int processId);

// An exclusive advisory lock on an existing file or folder, held until the object is destroyed;
// it waits for an earlier holder. Throws Error.
class Lock {
 public:
  virtual ~Lock() = default;
};
std::unique_ptr<Lock> LockExclusively(const std::filesystem::path& path);

}  // namespace platform
