// zorbel-submit from its arguments to its exit status: checks the request, writes the job into
// zorbel's settings folder, starts zorbel and, when asked, waits for its verdict.
#pragma once

#include <filesystem>
#include <iosfwd>
#include <string>
#include <vector>

// The exit statuses zorbel-submit promises its callers.
enum ExitStatus : int {
  kExitSuccess = 0,
  kExitFailure = 1,
  kExitUsage = 2,
  kExitNotCompleted = 3,
  kExitBusy = 4,
};

// Why a folder cannot be named in a job file (empty when it can): zorbel reads the file line by
// line, decodes it as UTF-8 only when all of it is, and trims the output folder's line.
std::string JobLineProblem(const std::filesystem::path& folder, bool isOutputFolder);

// The job file zorbel reads: the output folder, then one source per line, UTF-8.
std::string JobFileContent(const std::filesystem::path& output,
                           const std::vector<std::filesystem::path>& sources);

int RunFrontEnd(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err);
