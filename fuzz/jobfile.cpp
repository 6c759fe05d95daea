// The job file reader on any bytes: the two decodings, the line split, the output folder line,
// and LoadJobFile on the same bytes written as zorbel.txt.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "environment/textfile.h"
#include "fuzz/fuzzsupport.h"
#include "job/jobfile.h"

namespace {

bool IsControl(char c) { return static_cast<unsigned char>(c) <= 32; }

// The text as SplitLines must see it: cut at the first NUL, every line end one LF, and a final
// line end dropped. Joining the lines with LF must give exactly this.
std::string NormalisedText(std::string_view text) {
  if (const auto nul = text.find('\0'); nul != std::string_view::npos) text = text.substr(0, nul);
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r') {
      out += '\n';
      if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
    } else {
      out += text[i];
    }
  }
  if (!out.empty() && out.back() == '\n') out.pop_back();
  return out;
}

// The code points of valid UTF-8.
std::u32string CodePoints(std::string_view utf8) {
  std::u32string out;
  for (std::size_t i = 0; i < utf8.size();) {
    const auto lead = static_cast<unsigned char>(utf8[i]);
    const std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    char32_t code = length == 1 ? lead : lead & (0xFF >> (length + 1));
    for (std::size_t k = 1; k < length; ++k)
      code = (code << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
    out += code;
    i += length;
  }
  return out;
}

// UTF-16 text decodes to the characters its units spell: a high surrogate followed by a low
// one is one character, any other surrogate unit is U+FFFD, and an odd last byte is dropped.
void CheckUtf16(std::string_view units, bool bigEndian, const std::string& decoded) {
  std::u32string expected;
  const auto unit = [&](std::size_t u) {
    const auto a = static_cast<unsigned char>(units[2 * u]);
    const auto b = static_cast<unsigned char>(units[2 * u + 1]);
    return static_cast<char32_t>(bigEndian ? (a << 8) | b : (b << 8) | a);
  };
  const std::size_t count = units.size() / 2;
  for (std::size_t u = 0; u < count; ++u) {
    const char32_t first = unit(u);
    const char32_t second = u + 1 < count ? unit(u + 1) : 0;
    if (first >= 0xD800 && first < 0xDC00 && second >= 0xDC00 && second < 0xE000) {
      expected += 0x10000 + ((first - 0xD800) << 10) + (second - 0xDC00);
      ++u;
    } else {
      expected += first >= 0xD800 && first < 0xE000 ? U'\uFFFD' : first;
    }
  }
  FUZZ_CHECK(CodePoints(decoded) == expected);
}

void CheckLines(const std::string& decoded) {
  FUZZ_CHECK(text::IsValidUtf8(decoded));
  const std::vector<std::string> lines = text::SplitLines(decoded);
  std::string joined;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    // Cutting at ASCII bytes never splits a character, so every line stays UTF-8.
    FUZZ_CHECK(lines[i].find_first_of(std::string_view("\r\n\0", 3)) == std::string::npos);
    FUZZ_CHECK(text::IsValidUtf8(lines[i]));
    if (i > 0) joined += '\n';
    joined += lines[i];
  }
  FUZZ_CHECK(joined == NormalisedText(decoded));

  const std::string output = TakeOutputFolder(lines);
  if (!output.empty()) {
    FUZZ_CHECK(!IsControl(output.front()) && !IsControl(output.back()));
    FUZZ_CHECK(lines.front().starts_with("OutputFolder:"));
    FUZZ_CHECK(lines.front().find(output) != std::string::npos);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);

  const std::optional<std::string> utf8 = text::DecodeUtf8(bytes);
  if (utf8) {
    // Valid UTF-8 comes back unchanged, only its byte-order mark gone.
    const std::string_view body = bytes.starts_with("\xEF\xBB\xBF") ? bytes.substr(3) : bytes;
    FUZZ_CHECK(*utf8 == body);
  }
  const std::optional<std::string> fallback = text::DecodeDefault(bytes);
  // Only a UTF-8 mark in front of bytes that are not UTF-8 can make the default decoding fail.
  FUZZ_CHECK(fallback || (bytes.starts_with("\xEF\xBB\xBF") && !utf8));
  if (fallback) CheckLines(*fallback);
  if (bytes.starts_with("\xFF\xFE")) CheckUtf16(bytes.substr(2), false, *fallback);
  if (bytes.starts_with("\xFE\xFF")) CheckUtf16(bytes.substr(2), true, *fallback);

  std::vector<std::string> expected;
  if (utf8) {
    CheckLines(*utf8);
    expected = text::SplitLines(*utf8);
  } else if (fallback) {
    expected = text::SplitLines(*fallback);
  }

  const auto& folder = fuzz_support::Scratch().path();
  fuzz_support::WriteBytes(folder / kJobFileName, bytes);
  FUZZ_CHECK(LoadJobFile(folder) == expected);
  return 0;
}
