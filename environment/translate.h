// The text lookup every text of the program's own passes through on its way to the screen.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

// The loaded language file. While filePath is empty nothing is loaded and texts stay English.
struct Language {
  std::filesystem::path filePath;
  std::vector<std::string> lines;

  // The first line "{" + english + "}" + translation decides; an empty translation, or no such
  // line, gives the English text.
  std::string Translate(std::string_view english) const;
};
