// Choosing and loading the language file that the text lookup searches.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "environment/translate.h"

// The "Languages" folder beside the executable (the real file, links resolved).
std::filesystem::path LanguagesFolderOf(const std::filesystem::path& executable);

// Names (no folder) of the entries matching "*lang.txt" that are not folders, hidden files
// included, in the order the file system lists them.
std::vector<std::string> ListLanguageFiles(const std::filesystem::path& folder);

// Fills language from the LanguageFile setting, or, when that is empty after trimming, from the
// LanguageCodes.csv line for the user's interface language. Without a match the language stays
// empty (English). A file that exists but cannot be read or is not UTF-8 throws platform::Error
// after language.filePath is set and its lines left empty.
void LoadLanguage(const std::string& setting, const std::filesystem::path& languagesFolder,
                  Language& language);
