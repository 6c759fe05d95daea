#include "job/switches.h"

#include <utility>

std::vector<std::string> SplitArguments(const std::string& commandLine) {
  std::vector<std::string> arguments;
  std::string current;
  bool inQuotes = false;
  // A pair of quotes with nothing between still makes an argument, so `""` stays one empty
  // argument rather than vanishing; no switch word is empty, so it never matches anything.
  bool started = false;
  for (char c : commandLine) {
    const auto code = static_cast<unsigned char>(c);
    if (c == '"') {
      inQuotes = !inQuotes;
      started = true;
    } else if (code >= 1 && code <= 32 && !inQuotes) {
      if (started) arguments.push_back(std::move(current));
      current.clear();
      started = false;
    } else {
      current += c;
      started = true;
    }
  }
  if (started) arguments.push_back(std::move(current));
  return arguments;
}

RunFlags ReadSwitches(const std::vector<std::string>& arguments) {
  RunFlags flags;
  for (const std::string& element : arguments) {
    for (const std::string& word : SplitArguments(element)) {
      if (word == "autoclose") flags.AutoClose = true;
      if (word == "move") flags.MoveMode = true;
      if (word == "preserve" || word == "preservefolderstructure")
        flags.PreserveFolderStructure = true;
      if (word == "preserveoriginalfile") flags.PreserveOriginalFile = true;
      if (word == "createnumberedcopy") flags.CreateNumberedCopy = true;
    }
  }
  return flags;
}
