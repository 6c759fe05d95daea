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

namespace {

// Each flag and the word that sets it; "preserve" is the older spelling of the tree copy.
struct SwitchWord {
  const char* word;
  bool RunFlags::*flag;
};
constexpr SwitchWord kSwitchWords[] = {
    {"autoclose", &RunFlags::AutoClose},
    {"move", &RunFlags::MoveMode},
    {"preservefolderstructure", &RunFlags::PreserveFolderStructure},
    {"preserve", &RunFlags::PreserveFolderStructure},
    {"preserveoriginalfile", &RunFlags::PreserveOriginalFile},
    {"createnumberedcopy", &RunFlags::CreateNumberedCopy},
};

}  // namespace

RunFlags ReadSwitches(const std::vector<std::string>& arguments) {
  RunFlags flags;
  for (const std::string& element : arguments) {
    for (const std::string& word : SplitArguments(element)) {
      for (const SwitchWord& known : kSwitchWords)
        if (word == known.word) flags.*known.flag = true;
    }
  }
  return flags;
}

std::vector<std::string> SwitchWords(const RunFlags& flags) {
  std::vector<std::string> words;
  RunFlags spelled;
  for (const SwitchWord& known : kSwitchWords) {
    if (flags.*known.flag && !(spelled.*known.flag)) {
      words.emplace_back(known.word);
      spelled.*known.flag = true;
    }
  }
  return words;
}
