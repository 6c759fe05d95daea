// Language files and LanguageCodes.csv on any bytes: every program text looked up in the
// decoded lines, and LoadLanguage choosing and loading from a Languages folder that holds the
// same bytes as both files.
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "environment/language.h"
#include "environment/textfile.h"
#include "environment/translate.h"
#include "fuzz/fuzzsupport.h"
#include "platform/platform.h"
#include "platform/uilanguage.h"

namespace {

constexpr std::array<std::string_view, 17> kProgramTexts = {
    "Hide Details",
    "Show Details",
    "Cancel",
    "Moving...",
    "Copying...",
    "Target folder is not defined!",
    "Directory not found!",
    "Directory is not writable!",
    "System Error.",
    "Code:",
    "Error No:",
    "Moved",
    "Copied",
    "Canceled!",
    "CANCELED by User Request",
    "Completed!",
    "Auto-Closing...",
};

// The language file every Languages folder here holds; the mapping must name it in any letter
// case to load it.
constexpr std::string_view kLanguageFile = "Germanlang.txt";

std::string AsciiLower(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

// A translation is the English text, or the rest of the first line for it after its first "}".
void CheckTranslation(const Language& language, std::string_view english) {
  const std::string shown = language.Translate(english);
  const std::string key = "{" + std::string(english) + "}";
  for (const std::string& line : language.lines) {
    if (!line.starts_with(key)) continue;
    const std::string rest = line.substr(line.find('}') + 1);
    FUZZ_CHECK(shown == (rest.empty() ? std::string(english) : rest));
    FUZZ_CHECK(text::IsValidUtf8(shown));
    return;
  }
  FUZZ_CHECK(shown == english);
}

void CheckLookup(std::string_view bytes) {
  const std::optional<std::string> decoded = text::DecodeUtf8(bytes);
  if (!decoded) return;
  Language language;
  for (const std::string_view english : kProgramTexts)
    FUZZ_CHECK(language.Translate(english) == english);  // nothing loaded: English
  language.filePath = kLanguageFile;
  language.lines = text::SplitLines(*decoded);
  for (const std::string_view english : kProgramTexts) CheckTranslation(language, english);
  // Keys the file itself spells, "}" inside them included.
  for (std::size_t i = 0; i < language.lines.size() && i < 16; ++i) {
    const std::string& line = language.lines[i];
    if (!line.starts_with('{')) continue;
    for (std::size_t close = line.find('}'); close != std::string::npos;
         close = line.find('}', close + 1))
      CheckTranslation(language, std::string_view(line).substr(1, close - 1));
  }
}

// What LanguageCodes.csv maps the user's identifier to, read as the mapping rule says: the
// first line with a comma whose trimmed code is the identifier decides.
std::string MappedName(std::string_view csvBytes, const std::string& id) {
  const std::optional<std::string> decoded = text::DecodeDefault(csvBytes);
  if (!decoded) return {};
  for (const std::string& line : text::SplitLines(*decoded)) {
    const std::size_t comma = line.find(',');
    if (comma == std::string::npos) continue;
    if (text::TrimControl(line.substr(0, comma)) == id)
      return text::TrimControl(line.substr(comma + 1));
  }
  return {};
}

// Loads, and says whether an error left LoadLanguage; only platform::Error may.
bool Load(const std::string& setting, const std::filesystem::path& folder, Language& language) {
  try {
    LoadLanguage(setting, folder, language);
    return false;
  } catch (const platform::Error&) {
    // Only a language file that was found but could not be loaded fails, and it stays chosen.
    FUZZ_CHECK(!language.filePath.empty() && language.lines.empty());
    return true;
  }
}

void CheckLoad(std::string_view bytes, const std::string& id) {
  const std::filesystem::path folder = fuzz_support::Scratch().path() / "Languages";
  std::filesystem::create_directories(folder);
  fuzz_support::WriteBytes(folder / "LanguageCodes.csv", bytes);
  fuzz_support::WriteBytes(folder / kLanguageFile, bytes);
  const std::optional<std::string> decoded = text::DecodeUtf8(bytes);

  // An empty setting chooses through LanguageCodes.csv.
  Language language;
  const bool failed = Load("", folder, language);
  if (AsciiLower(MappedName(bytes, id)) == AsciiLower(kLanguageFile)) {
    FUZZ_CHECK(language.filePath == folder / kLanguageFile);
    FUZZ_CHECK(failed == !decoded);
    if (decoded) FUZZ_CHECK(language.lines == text::SplitLines(*decoded));
  } else {
    FUZZ_CHECK(!failed && language.filePath.empty() && language.lines.empty());
  }

  // The first line as the LanguageFile setting, kept to plain names inside the folder.
  const std::string firstLine = text::SplitLines(std::string(bytes.substr(0, 64))).empty()
                                    ? std::string()
                                    : text::SplitLines(std::string(bytes.substr(0, 64))).front();
  if (firstLine.find('/') == std::string::npos && firstLine != "." && firstLine != "..") {
    Language chosen;
    Load(firstLine, folder, chosen);
    if (!chosen.filePath.empty()) FUZZ_CHECK(chosen.filePath.parent_path() == folder);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // A user whose interface language LanguageCodes.csv spells 1031.
  ::setenv("LANGUAGE", "de_DE", 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  static const std::string id = std::to_string(platform::UserInterfaceLanguageId());
  CheckLookup(bytes);
  CheckLoad(bytes, id);
  return 0;
}
