// What a person asks of zorbel-submit on the command line.
#pragma once

#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

#include "job/switches.h"

// Hand a job to zorbel: the output folder, the sources in order, and how to run it.
struct SubmitRequest {
  RunFlags flags;
  bool wait = false;
  bool admin = false;
  std::optional<bool> stayOnTop;        // unset: settings.ini keeps what it says
  std::optional<std::string> language;  // unset: the same
  std::filesystem::path output;
  std::vector<std::filesystem::path> sources;
};

// Ask a running window to close: the only one, or the one of this process.
struct CloseRequest {
  std::optional<int> processId;
};

struct HelpRequest {};
struct VersionRequest {};

using Request = std::variant<SubmitRequest, CloseRequest, HelpRequest, VersionRequest>;

// A command line that asks for nothing sensible; the message says what is wrong, without the
// program's name.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The arguments after the program's name. Throws UsageError.
Request ParseCommandLine(const std::vector<std::string>& arguments);

std::string HelpText();
