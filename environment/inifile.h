// settings.ini: section headers in brackets, key=value lines. Every read and write goes
// straight to the file, which the front end writes as well.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

class IniFile {
 public:
  explicit IniFile(std::filesystem::path file) : file_(std::move(file)) {}

  const std::filesystem::path& path() const { return file_; }

  // Section and key names match without regard to ASCII letter case; values are trimmed.
  // A missing file, section or key gives the default.
  std::string ReadString(std::string_view section, std::string_view key,
                         const std::string& fallback) const;
  // Decimal, or hexadecimal after "0x" or "$"; anything else gives the default.
  int ReadInteger(std::string_view section, std::string_view key, int fallback) const;

  // Sets one value and keeps every other byte of the file. The new content replaces the file
  // at once. Throws platform::Error("Unable to write to <path>") when that fails.
  void WriteString(std::string_view section, std::string_view key, std::string_view value);

 private:
  std::filesystem::path file_;
};

// The same rules on the file's content: the value of a key, and the content with one value set
// and every other byte kept.
std::optional<std::string> IniValue(std::string_view content, std::string_view section,
                                    std::string_view key);
std::string IniWithValue(std::string_view content, std::string_view section, std::string_view key,
                         std::string_view value);

// The integer rule of ReadInteger, for one value.
int ParseIniInteger(std::string_view value, int fallback);
