// The user's interface language as a Windows language identifier (1033 for English (United
// States)), the key LanguageCodes.csv is written in.
#pragma once

namespace platform {

// From the message locale: the first non-empty of LANGUAGE (its first entry), LC_ALL,
// LC_MESSAGES, LANG. C, POSIX, unset or unknown give 1033.
int UserInterfaceLanguageId();

}  // namespace platform
