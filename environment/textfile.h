// Turning the bytes of the program's small text files into UTF-8 lines.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace text {

// True when the bytes are well-formed UTF-8 (no overlong forms, no surrogates).
bool IsValidUtf8(std::string_view bytes);

// The bytes as UTF-8, a leading UTF-8 byte-order mark skipped; nothing when they are not
// valid UTF-8.
std::optional<std::string> DecodeUtf8(std::string_view bytes);

// The system's default decoding: a byte-order mark selects UTF-8 (EF BB BF), UTF-16 LE (FF FE)
// or UTF-16 BE (FE FF) and is skipped; without one the bytes are Windows-1252, which never
// fails. Nothing when a UTF-8 mark is followed by bytes that are not UTF-8.
std::optional<std::string> DecodeDefault(std::string_view bytes);

// Lines split at CR LF, LF or CR; the text ends at the first NUL; a final line break adds no
// empty line.
std::vector<std::string> SplitLines(std::string_view text);

// Without leading and trailing characters of code 32 and below.
std::string TrimControl(std::string_view text);

}  // namespace text
