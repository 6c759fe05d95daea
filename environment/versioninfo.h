// The version strings carried inside the program's own executable. The company and product
// names place the per-user settings folder, so the front end reads the same table.
#pragma once

#include <filesystem>
#include <string>

struct TEXEVersionData {
  std::string CompanyName;
  std::string FileDescription;
  std::string FileVersion;
  std::string InternalName;
  std::string LegalCopyright;
  std::string LegalTrademarks;
  std::string OriginalFileName;
  std::string ProductName;
  std::string ProductVersion;
  std::string Comments;
  std::string PrivateBuild;
  std::string SpecialBuild;
};

// The ELF section that holds the table.
inline constexpr const char* kVersionSectionName = ".zorbel.version";

// Reads the table of the given executable. A file that cannot be read, is not ELF, or carries
// no table throws platform::Error with a system error text.
TEXEVersionData ReadVersionStrings(const std::filesystem::path& file);
