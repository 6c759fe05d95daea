#include "environment/inifile.h"

#include <cerrno>
#include <cstdint>
#include <optional>
#include <vector>

#include "platform/platform.h"

namespace {

constexpr std::string_view kUtf8Mark = "\xEF\xBB\xBF";

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (IsBlank(text.front()) || text.front() == '\r')) text.remove_prefix(1);
  while (!text.empty() && (IsBlank(text.back()) || text.back() == '\r')) text.remove_suffix(1);
  return text;
}

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

// One line of the file as it stands, its line end kept apart so a rewrite can keep it.
struct Line {
  std::string_view body;
  std::string_view end;
};

std::vector<Line> SplitKeepingEnds(std::string_view content) {
  std::vector<Line> lines;
  size_t start = 0;
  while (start < content.size()) {
    size_t stop = content.find_first_of("\r\n", start);
    if (stop == std::string_view::npos) {
      lines.push_back({content.substr(start), {}});
      break;
    }
    size_t endLength =
        content[stop] == '\r' && stop + 1 < content.size() && content[stop + 1] == '\n' ? 2 : 1;
    lines.push_back({content.substr(start, stop - start), content.substr(stop, endLength)});
    start = stop + endLength;
  }
  return lines;
}

std::optional<std::string_view> SectionName(std::string_view body) {
  std::string_view text = Trim(body);
  if (text.empty() || text.front() != '[') return std::nullopt;
  size_t close = text.find(']');
  if (close == std::string_view::npos) return std::nullopt;
  return Trim(text.substr(1, close - 1));
}

struct Entry {
  std::string_view key;
  size_t valueStart;  // offset of the value within the line's body
};

std::optional<Entry> EntryOf(std::string_view body) {
  size_t equals = body.find('=');
  if (equals == std::string_view::npos) return std::nullopt;
  size_t valueStart = equals + 1;
  while (valueStart < body.size() && IsBlank(body[valueStart])) ++valueStart;
  return Entry{Trim(body.substr(0, equals)), valueStart};
}

// Where a key stands in the file: the line of its value, or the line after which it belongs.
struct Place {
  std::optional<size_t> keyLine;
  std::optional<size_t> lastSectionLine;
};

Place Find(const std::vector<Line>& lines, std::string_view section, std::string_view key) {
  Place place;
  bool inSection = false;
  bool sectionSeen = false;
  for (size_t i = 0; i < lines.size(); ++i) {
    std::string_view body = lines[i].body;
    if (i == 0 && body.starts_with(kUtf8Mark)) body.remove_prefix(kUtf8Mark.size());
    if (auto name = SectionName(body)) {
      // Only the first section of a name counts, as with any INI reader.
      inSection = !sectionSeen && SameName(*name, section);
      sectionSeen = sectionSeen || inSection;
      if (inSection) place.lastSectionLine = i;
      continue;
    }
    if (!inSection) continue;
    if (!Trim(body).empty()) place.lastSectionLine = i;
    if (auto entry = EntryOf(body); entry && SameName(entry->key, key)) {
      place.keyLine = i;
      return place;
    }
  }
  return place;
}

std::string ReadContent(const std::filesystem::path& file) {
  try {
    return platform::ReadFile(file);
  } catch (const platform::Error& error) {
    // A settings file that is not there holds no keys; any other failure is worth saying.
    if (error.code() == ENOENT || error.code() == ENOTDIR) return {};
    throw;
  }
}

}  // namespace

std::optional<std::string> IniValue(std::string_view content, std::string_view section,
                                    std::string_view key) {
  const auto lines = SplitKeepingEnds(content);
  const Place place = Find(lines, section, key);
  if (!place.keyLine) return std::nullopt;
  std::string_view body = lines[*place.keyLine].body;
  return std::string(Trim(body.substr(EntryOf(body)->valueStart)));
}

std::string IniWithValue(std::string_view content, std::string_view section, std::string_view key,
                         std::string_view value) {
  const auto lines = SplitKeepingEnds(content);
  const Place place = Find(lines, section, key);
  std::string_view newline = "\n";
  for (const Line& line : lines) {
    if (!line.end.empty()) {
      newline = line.end;
      break;
    }
  }

  std::string result;
  result.reserve(content.size() + key.size() + value.size() + 16);
  auto addEntry = [&] { result.append(key).append("=").append(value).append(newline); };
  for (size_t i = 0; i < lines.size(); ++i) {
    const Line& line = lines[i];
    if (place.keyLine == i) {
      result.append(line.body.substr(0, EntryOf(line.body)->valueStart)).append(value);
      result.append(line.end);
      continue;
    }
    result.append(line.body).append(line.end);
    if (!place.keyLine && place.lastSectionLine == i) {
      if (line.end.empty()) {
        result.append(newline);
        addEntry();
      } else {
        // The new line ends as the line before it does: with the file's first line end, a CR
        // followed by an empty line that ends in LF would read as one CR LF, and that empty
        // line would vanish.
        result.append(key).append("=").append(value).append(line.end);
      }
    }
  }
  if (!place.keyLine && !place.lastSectionLine) {
    if (!result.empty() && result.back() != '\n' && result.back() != '\r') result.append(newline);
    result.append("[").append(section).append("]").append(newline);
    addEntry();
  }
  return result;
}

std::string IniFile::ReadString(std::string_view section, std::string_view key,
                                const std::string& fallback) const {
  return IniValue(ReadContent(file_), section, key).value_or(fallback);
}

int IniFile::ReadInteger(std::string_view section, std::string_view key, int fallback) const {
  return ParseIniInteger(ReadString(section, key, ""), fallback);
}

void IniFile::WriteString(std::string_view section, std::string_view key, std::string_view value) {
  try {
    platform::ReplaceFileContent(file_, IniWithValue(ReadContent(file_), section, key, value));
  } catch (const platform::Error& error) {
    throw platform::Error("Unable to write to " + file_.string(), error.code());
  }
}

int ParseIniInteger(std::string_view value, int fallback) {
  std::string_view text = value;
  bool negative = false;
  if (!text.empty() && (text.front() == '-' || text.front() == '+')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  int base = 10;
  if (text.starts_with("$")) {
    base = 16;
    text.remove_prefix(1);
  } else if (text.starts_with("0x") || text.starts_with("0X")) {
    base = 16;
    text.remove_prefix(2);
  }
  if (text.empty()) return fallback;
  long long number = 0;
  for (char c : text) {
    int digit;
    if (c >= '0' && c <= '9')
      digit = c - '0';
    else if (base == 16 && c >= 'a' && c <= 'f')
      digit = c - 'a' + 10;
    else if (base == 16 && c >= 'A' && c <= 'F')
      digit = c - 'A' + 10;
    else
      return fallback;
    number = number * base + digit;
    // Hexadecimal may spell a 32-bit pattern; decimal must fit a signed 32-bit number.
    if (number > (base == 16 ? 0xFFFFFFFFLL : 0x80000000LL)) return fallback;
  }
  if (negative) number = -number;
  if (base == 10 && number > 0x7FFFFFFFLL) return fallback;
  return static_cast<int>(static_cast<std::uint32_t>(static_cast<std::int64_t>(number)));
}
