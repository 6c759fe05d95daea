// settings.ini on any bytes: the run's one write, "0" under Settings/Action, must keep every
// other byte of the file and every other value, and the integer rule must match a plain
// reading of the digits.
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "environment/inifile.h"
#include "fuzz/fuzzsupport.h"

namespace {

constexpr std::size_t kMostKeysCompared = 32;

std::string_view TrimBlanks(std::string_view text) {
  const auto blank = [](char c) { return c == ' ' || c == '\t'; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  return text;
}

bool HasLineBreak(std::string_view text) { return text.find_first_of("\r\n") != text.npos; }

// The section and key names that the content spells, read loosely: any of them, and any name
// at all, must read the same before and after the write unless it is Settings/Action.
std::vector<std::pair<std::string, std::string>> NamesIn(std::string_view content) {
  std::vector<std::pair<std::string, std::string>> names;
  std::string section;
  std::size_t start = 0;
  while (start <= content.size() && names.size() < kMostKeysCompared) {
    std::size_t stop = content.find_first_of("\r\n", start);
    if (stop == content.npos) stop = content.size();
    const std::string_view line = TrimBlanks(content.substr(start, stop - start));
    if (line.starts_with('[') && line.find(']') != line.npos) {
      section = TrimBlanks(line.substr(1, line.find(']') - 1));
    } else if (const auto equals = line.find('='); equals != line.npos) {
      names.emplace_back(section, TrimBlanks(line.substr(0, equals)));
    }
    start = stop + 1;
  }
  names.emplace_back("Settings", "StayOnTop");
  names.emplace_back("Settings", "LanguageFile");
  return names;
}

bool IsActionOfSettings(std::string_view section, std::string_view key) {
  const auto lower = [](std::string_view text) {
    std::string out(text);
    for (char& c : out)
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
  };
  return lower(section) == "settings" && lower(key) == "action";
}

// The rule the run's write must keep: the result is the content with one stretch changed, and
// that stretch holds no line break of the content, so no other line was touched. The changed
// stretch of the result is at most a new "Action" line with a section header.
void CheckOneStretchChanged(std::string_view before, std::string_view after) {
  std::size_t prefix = 0;
  while (prefix < before.size() && prefix < after.size() && before[prefix] == after[prefix])
    ++prefix;
  std::size_t suffix = 0;
  while (suffix < before.size() - prefix && suffix < after.size() - prefix &&
         before[before.size() - 1 - suffix] == after[after.size() - 1 - suffix])
    ++suffix;
  const std::string_view removed = before.substr(prefix, before.size() - prefix - suffix);
  const std::string_view added = after.substr(prefix, after.size() - prefix - suffix);
  FUZZ_CHECK(!HasLineBreak(removed));
  FUZZ_CHECK(added.size() <= std::string_view("\r\n[Settings]\r\nAction=0\r\n").size());
}

// The lines as any reader sees them: split at CR LF, LF or CR, NUL bytes kept.
std::vector<std::string_view> LinesOf(std::string_view text) {
  std::vector<std::string_view> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t stop = text.find_first_of("\r\n", start);
    if (stop == text.npos) stop = text.size();
    lines.push_back(text.substr(start, stop - start));
    start = stop + (text.substr(stop).starts_with("\r\n") ? 2 : 1);
  }
  return lines;
}

bool IsActionLine(std::string_view line) {
  const auto equals = line.find('=');
  return equals != line.npos && IsActionOfSettings("settings", TrimBlanks(line.substr(0, equals)));
}

// Line by line: at most the one Action line is replaced, or an Action line is added, with a
// section header in front of it when the file had no Settings section. Every other line of
// the file, blank ones included, is still a line of its own.
void CheckOtherLinesKept(std::string_view before, std::string_view after) {
  const auto was = LinesOf(before);
  const auto now = LinesOf(after);
  std::size_t prefix = 0;
  while (prefix < was.size() && prefix < now.size() && was[prefix] == now[prefix]) ++prefix;
  std::size_t suffix = 0;
  while (suffix < was.size() - prefix && suffix < now.size() - prefix &&
         was[was.size() - 1 - suffix] == now[now.size() - 1 - suffix])
    ++suffix;
  const std::size_t removed = was.size() - prefix - suffix;
  const std::size_t added = now.size() - prefix - suffix;
  FUZZ_CHECK(removed <= 1 && added <= 2 && added >= removed);
  if (removed == 1) FUZZ_CHECK(IsActionLine(was[prefix]) && added == 1);
  if (added >= 1) FUZZ_CHECK(IsActionLine(now[now.size() - suffix - 1]));
}

// The integer rule against std::from_chars: an optional sign, then decimal digits, or "0x",
// "0X" or "$" and hexadecimal digits; decimal must fit a signed 32-bit number, hexadecimal
// may spell any 32-bit pattern.
void CheckInteger(std::string_view value) {
  constexpr int kFallback = -7777;
  const int parsed = ParseIniInteger(value, kFallback);
  std::string_view digits = value;
  bool negative = false;
  if (!digits.empty() && (digits.front() == '-' || digits.front() == '+')) {
    negative = digits.front() == '-';
    digits.remove_prefix(1);
  }
  int base = 10;
  if (digits.starts_with('$')) {
    base = 16;
    digits.remove_prefix(1);
  } else if (digits.starts_with("0x") || digits.starts_with("0X")) {
    base = 16;
    digits.remove_prefix(2);
  }
  // from_chars would take a sign of its own; the rule allows only one, before any prefix.
  if (digits.empty() || digits.front() == '-' || digits.front() == '+') {
    FUZZ_CHECK(parsed == kFallback);
    return;
  }
  std::int64_t number = 0;
  const auto [end, error] =
      std::from_chars(digits.data(), digits.data() + digits.size(), number, base);
  if (end != digits.data() + digits.size()) {
    FUZZ_CHECK(parsed == kFallback);
    return;
  }
  const std::int64_t limit = base == 16 ? 0xFFFFFFFFLL : (negative ? 0x80000000LL : 0x7FFFFFFFLL);
  if (error == std::errc::result_out_of_range || number > limit) {
    FUZZ_CHECK(parsed == kFallback);
    return;
  }
  if (negative) number = -number;
  FUZZ_CHECK(parsed == static_cast<int>(static_cast<std::uint32_t>(number)));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view content(reinterpret_cast<const char*>(data), size);

  const std::string written = IniWithValue(content, "Settings", "Action", "0");
  FUZZ_CHECK(IniValue(written, "Settings", "Action") == "0");
  CheckOneStretchChanged(content, written);
  CheckOtherLinesKept(content, written);
  // A second write of the same value changes nothing.
  FUZZ_CHECK(IniWithValue(written, "Settings", "Action", "0") == written);

  for (const auto& [section, key] : NamesIn(content)) {
    const std::optional<std::string> value = IniValue(content, section, key);
    if (!IsActionOfSettings(section, key)) FUZZ_CHECK(IniValue(written, section, key) == value);
    if (value) CheckInteger(*value);
  }
  CheckInteger(content.substr(0, 64));
  return 0;
}
