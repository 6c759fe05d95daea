// The bare switch words on the command line that choose how a run treats files.
#pragma once

#include <string>
#include <vector>

struct RunFlags {
  bool AutoClose = false;
  bool MoveMode = false;
  bool PreserveFolderStructure = false;
  bool PreserveOriginalFile = false;
  bool CreateNumberedCopy = false;
  bool operator==(const RunFlags&) const = default;
};

// Splits one command-line text into arguments: characters 1 to 32 separate, double quotes
// open and close a stretch where they do not and are dropped; a backslash is plain.
std::vector<std::string> SplitArguments(const std::string& commandLine);

// The flags from the arguments after the program's own path. Each element is read by the
// rule of SplitArguments; only exact, case-sensitive words count.
RunFlags ReadSwitches(const std::vector<std::string>& arguments);
// The words that give exactly these flags, one argument each, as a front end passes them.
std::vector<std::string> SwitchWords(const RunFlags& flags);
