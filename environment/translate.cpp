#include "environment/translate.h"

std::string Language::Translate(std::string_view english) const {
  if (filePath.empty()) return std::string(english);
  for (const std::string& line : lines) {
    const std::string_view text = line;
    if (text.size() < english.size() + 2 || text.front() != '{' ||
        text.substr(1, english.size()) != english || text[english.size() + 1] != '}')
      continue;
    // The translation runs from the first "}" of the line to its end, untrimmed.
    const std::string_view translation = text.substr(text.find('}') + 1);
    return translation.empty() ? std::string(english) : std::string(translation);
  }
  return std::string(english);
}
