// The job file zorbel.txt in the settings folder: the output folder line, then one source
// folder per line.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

inline constexpr const char* kJobFileName = "zorbel.txt";

// The job's lines: read as UTF-8 first, then with the default decoding; no lines when the file
// cannot be read at all.
std::vector<std::string> LoadJobFile(const std::filesystem::path& settingsFolder);

// The output folder from the first line, trimmed; empty without the exact "OutputFolder:" prefix.
std::string TakeOutputFolder(const std::vector<std::string>& lines);
