#include "environment/language.h"

#include <optional>

#include "environment/textfile.h"
#include "platform/platform.h"
#include "platform/uilanguage.h"

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kLanguageFileSuffix = "lang.txt";
constexpr std::string_view kCodesFileName = "LanguageCodes.csv";

std::string AsciiLower(std::string_view text) {
  std::string lower(text);
  for (char& c : lower)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return lower;
}

// The lines of LanguageCodes.csv; a file that cannot be read or decoded maps nothing, and that
// is no error: the program simply stays English.
std::vector<std::string> ReadCodeLines(const fs::path& file) {
  std::string bytes;
  try {
    bytes = platform::ReadFile(file);
  } catch (const platform::Error&) {
    return {};
  }
  const std::optional<std::string> decoded = text::DecodeDefault(bytes);
  if (!decoded) return {};
  return text::SplitLines(*decoded);
}

// The file name LanguageCodes.csv maps the identifier to; empty without a line for it.
std::string MappedFileName(const std::vector<std::string>& lines, const std::string& id) {
  for (const std::string& line : lines) {
    const std::size_t comma = line.find(',');
    if (comma == std::string::npos) continue;
    if (text::TrimControl(std::string_view(line).substr(0, comma)) == id)
      return text::TrimControl(std::string_view(line).substr(comma + 1));
  }
  return {};
}

}  // namespace

fs::path LanguagesFolderOf(const fs::path& executable) {
  return executable.parent_path() / "Languages";
}

std::vector<std::string> ListLanguageFiles(const fs::path& folder) {
  std::vector<std::string> names;
  try {
    platform::ListFolder(
        folder, [&](const fs::path& name, platform::EntryKind kind, std::uint64_t) {
          if (kind == platform::EntryKind::Folder || kind == platform::EntryKind::FolderLink)
            return;
          std::string text = name.string();
          if (text.ends_with(kLanguageFileSuffix)) names.push_back(std::move(text));
        });
  } catch (const platform::Error&) {
    // A folder that cannot be searched offers no language files; what was found stays.
  }
  return names;
}

void LoadLanguage(const std::string& setting, const fs::path& languagesFolder, Language& language) {
  if (!platform::FolderExists(languagesFolder)) return;
  const std::vector<std::string> files = ListLanguageFiles(languagesFolder);

  std::string chosen = setting;
  if (text::TrimControl(setting).empty() &&
      platform::FileExists(languagesFolder / kCodesFileName)) {
    const std::string wanted = MappedFileName(ReadCodeLines(languagesFolder / kCodesFileName),
                                              std::to_string(platform::UserInterfaceLanguageId()));
    // Letter case is folded here, so a mapping line need not match the file's spelling; the
    // file is then opened under the name the folder lists.
    const std::string wantedLower = AsciiLower(wanted);
    for (const std::string& name : files) {
      if (AsciiLower(name) == wantedLower) {
        chosen = name;
        break;
      }
    }
  }

  // An empty name would point at the folder itself, which is never a language file.
  if (chosen.empty()) return;
  // Joined as text: an absolute setting such as "/etc/hostname" names a file inside the
  // Languages folder like any other, never one elsewhere.
  const fs::path file = languagesFolder.native() + "/" + chosen;
  if (!platform::FileExists(file)) return;

  // Set before reading: a file that fails to load still counts as loaded, with no lines, so
  // every text stays English.
  language.filePath = file;
  language.lines.clear();
  std::string bytes;
  try {
    bytes = platform::ReadFile(file);
  } catch (const platform::Error& error) {
    throw platform::Error("Cannot open file \"" + file.string() + "\". " + error.what(),
                          error.code());
  }
  const std::optional<std::string> decoded = text::DecodeUtf8(bytes);
  if (!decoded)
    throw platform::Error(
        "No mapping for the Unicode character exists in the target multi-byte "
        "code page");
  language.lines = text::SplitLines(*decoded);
}
