// The command-line rule on any text: quotes are always dropped, only quoted stretches keep the
// separating characters 1 to 32, every other character survives in order, and a switch word
// counts only as a whole argument.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzzsupport.h"
#include "job/switches.h"

namespace {

bool IsSeparator(char c) {
  const auto code = static_cast<unsigned char>(c);
  return code >= 1 && code <= 32;
}

// The characters that are neither quotes nor separators, in order.
std::string PlainCharacters(std::string_view text) {
  std::string out;
  for (char c : text)
    if (c != '"' && !IsSeparator(c)) out += c;
  return out;
}

// Without quotes the arguments are exactly the runs between separators.
std::vector<std::string> RunsBetweenSeparators(std::string_view text) {
  std::vector<std::string> runs;
  std::string current;
  for (char c : text) {
    if (IsSeparator(c)) {
      if (!current.empty()) runs.push_back(current);
      current.clear();
    } else {
      current += c;
    }
  }
  if (!current.empty()) runs.push_back(current);
  return runs;
}

void CheckSplit(const std::string& commandLine) {
  const std::vector<std::string> arguments = SplitArguments(commandLine);
  const bool quoted = commandLine.find('"') != std::string::npos;
  std::string joined;
  for (const std::string& argument : arguments) {
    FUZZ_CHECK(argument.find('"') == std::string::npos);
    bool hasSeparator = false;
    for (char c : argument) hasSeparator = hasSeparator || IsSeparator(c);
    // Separators and empty arguments come only from quoted stretches.
    FUZZ_CHECK(quoted || (!hasSeparator && !argument.empty()));
    // An argument without separators reads back as itself.
    if (!hasSeparator && !argument.empty())
      FUZZ_CHECK(SplitArguments(argument) == std::vector<std::string>{argument});
    joined += argument;
  }
  FUZZ_CHECK(PlainCharacters(joined) == PlainCharacters(commandLine));
  if (!quoted) FUZZ_CHECK(arguments == RunsBetweenSeparators(commandLine));
}

void CheckSwitches(const std::string& commandLine) {
  const std::vector<std::string> arguments = SplitArguments(commandLine);
  const RunFlags whole = ReadSwitches({commandLine});
  // Each argument on its own sets at least what the whole line sets: re-reading an argument
  // only splits it further where quotes had kept separators.
  const RunFlags split = ReadSwitches(arguments);
  FUZZ_CHECK(!whole.AutoClose || split.AutoClose);
  FUZZ_CHECK(!whole.MoveMode || split.MoveMode);
  FUZZ_CHECK(!whole.PreserveFolderStructure || split.PreserveFolderStructure);
  FUZZ_CHECK(!whole.PreserveOriginalFile || split.PreserveOriginalFile);
  FUZZ_CHECK(!whole.CreateNumberedCopy || split.CreateNumberedCopy);
  // A flag needs its exact word among the arguments.
  const auto has = [&](std::string_view word) {
    for (const std::string& argument : arguments)
      if (argument == word) return true;
    return false;
  };
  FUZZ_CHECK(whole.AutoClose == has("autoclose"));
  FUZZ_CHECK(whole.MoveMode == has("move"));
  FUZZ_CHECK(whole.PreserveFolderStructure == (has("preserve") || has("preservefolderstructure")));
  FUZZ_CHECK(whole.PreserveOriginalFile == has("preserveoriginalfile"));
  FUZZ_CHECK(whole.CreateNumberedCopy == has("createnumberedcopy"));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string commandLine(reinterpret_cast<const char*>(data), size);
  CheckSplit(commandLine);
  CheckSwitches(commandLine);
  return 0;
}
