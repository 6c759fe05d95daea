// The user's interface language from the message locale, as a Windows language identifier.
#include <unicode/uloc.h>

#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/uilanguage.h"

namespace platform {

namespace {

constexpr int kEnglishUnitedStates = 1033;

// The locale name messages are shown in, as the C library would choose it; empty when unset.
// LANGUAGE is a list of preferences, of which the first one counts; ICU does not read it.
std::string MessageLocale() {
  if (const char* language = std::getenv("LANGUAGE")) {
    std::string_view list = language;
    while (!list.empty()) {
      const std::size_t colon = list.find(':');
      const std::string_view entry = list.substr(0, colon);
      if (!entry.empty()) return std::string(entry);
      if (colon == std::string_view::npos) break;
      list.remove_prefix(colon + 1);
    }
  }
  for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    if (const char* value = std::getenv(name); value && *value) return value;
  }
  return {};
}

}  // namespace

int UserInterfaceLanguageId() {
  const std::string locale = MessageLocale();
  if (locale.empty() || locale == "C" || locale == "POSIX") return kEnglishUnitedStates;
  // Canonical form first: it drops the codeset (".UTF-8") that would otherwise leave only the
  // language's neutral identifier, and turns "@euro" into a variant the lookup ignores.
  char canonical[ULOC_FULLNAME_CAPACITY] = {};
  UErrorCode status = U_ZERO_ERROR;
  const int32_t length =
      uloc_canonicalize(locale.c_str(), canonical, static_cast<int32_t>(sizeof canonical), &status);
  if (U_FAILURE(status) || status == U_STRING_NOT_TERMINATED_WARNING ||
      length >= static_cast<int32_t>(sizeof canonical))
    return kEnglishUnitedStates;
  const uint32_t id = uloc_getLCID(canonical);
  return id == 0 ? kEnglishUnitedStates : static_cast<int>(id);
}

}  // namespace platform
