#include "environment/textfile.h"

#include <array>
#include <cstddef>
#include <cstdint>

namespace text {

namespace {

constexpr std::string_view kUtf8Mark = "\xEF\xBB\xBF";
constexpr std::string_view kUtf16LeMark = "\xFF\xFE";
constexpr std::string_view kUtf16BeMark = "\xFE\xFF";
constexpr char32_t kReplacement = 0xFFFD;

void AppendUtf8(std::string& out, char32_t code) {
  if (code < 0x80) {
    out += static_cast<char>(code);
  } else if (code < 0x800) {
    out += static_cast<char>(0xC0 | (code >> 6));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    out += static_cast<char>(0xE0 | (code >> 12));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (code >> 18));
    out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  }
}

// Windows-1252 differs from Latin-1 only in 0x80..0x9F. The five bytes the code page leaves
// undefined keep their Latin-1 meaning (C1 controls), so every byte decodes to something.
constexpr std::array<char16_t, 32> kCp1252High = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,  // 80..87
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,  // 88..8F
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 90..97
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,  // 98..9F
};

std::string DecodeCp1252(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x80 && byte <= 0x9F)
      AppendUtf8(out, kCp1252High[byte - 0x80]);
    else
      AppendUtf8(out, byte);
  }
  return out;
}

std::string DecodeUtf16(std::string_view bytes, bool bigEndian) {
  const auto unitAt = [&](std::size_t i) -> char16_t {
    const auto first = static_cast<unsigned char>(bytes[i]);
    const auto second = static_cast<unsigned char>(bytes[i + 1]);
    return bigEndian ? static_cast<char16_t>((first << 8) | second)
                     : static_cast<char16_t>((second << 8) | first);
  };
  const std::size_t units = bytes.size() / 2;  // an odd last byte belongs to no unit
  std::string out;
  out.reserve(bytes.size());
  for (std::size_t u = 0; u < units; ++u) {
    const char16_t unit = unitAt(2 * u);
    if (unit >= 0xD800 && unit <= 0xDBFF && u + 1 < units) {
      const char16_t next = unitAt(2 * (u + 1));
      if (next >= 0xDC00 && next <= 0xDFFF) {
        AppendUtf8(out, 0x10000 + ((char32_t{unit} - 0xD800) << 10) + (next - 0xDC00));
        ++u;
        continue;
      }
    }
    if (unit >= 0xD800 && unit <= 0xDFFF)
      AppendUtf8(out, kReplacement);
    else
      AppendUtf8(out, unit);
  }
  return out;
}

}  // namespace

bool IsValidUtf8(std::string_view bytes) {
  std::size_t i = 0;
  const std::size_t n = bytes.size();
  while (i < n) {
    const auto lead = static_cast<unsigned char>(bytes[i]);
    if (lead < 0x80) {
      ++i;
      continue;
    }
    std::size_t length;
    // The range of the first continuation byte is what rules out overlong forms (E0, F0),
    // surrogates (ED) and code points above U+10FFFF (F4).
    unsigned char low = 0x80, high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      if (lead == 0xE0) low = 0xA0;
      if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      if (lead == 0xF0) low = 0x90;
      if (lead == 0xF4) high = 0x8F;
    } else {
      return false;  // a stray continuation byte, C0/C1 (always overlong) or F5..FF
    }
    if (n - i < length) return false;
    const auto second = static_cast<unsigned char>(bytes[i + 1]);
    if (second < low || second > high) return false;
    for (std::size_t k = 2; k < length; ++k) {
      const auto next = static_cast<unsigned char>(bytes[i + k]);
      if (next < 0x80 || next > 0xBF) return false;
    }
    i += length;
  }
  return true;
}

std::optional<std::string> DecodeUtf8(std::string_view bytes) {
  if (bytes.starts_with(kUtf8Mark)) bytes.remove_prefix(kUtf8Mark.size());
  if (!IsValidUtf8(bytes)) return std::nullopt;
  return std::string(bytes);
}

std::optional<std::string> DecodeDefault(std::string_view bytes) {
  if (bytes.starts_with(kUtf8Mark)) return DecodeUtf8(bytes);
  if (bytes.starts_with(kUtf16LeMark))
    return DecodeUtf16(bytes.substr(kUtf16LeMark.size()), /*bigEndian=*/false);
  if (bytes.starts_with(kUtf16BeMark))
    return DecodeUtf16(bytes.substr(kUtf16BeMark.size()), /*bigEndian=*/true);
  return DecodeCp1252(bytes);
}

std::vector<std::string> SplitLines(std::string_view text) {
  if (const auto nul = text.find('\0'); nul != std::string_view::npos) text = text.substr(0, nul);
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t brk = text.find_first_of("\r\n", start);
    if (brk == std::string_view::npos) {
      lines.emplace_back(text.substr(start));
      break;
    }
    lines.emplace_back(text.substr(start, brk - start));
    start = brk + 1;
    if (text[brk] == '\r' && start < text.size() && text[start] == '\n') ++start;
  }
  return lines;
}

std::string TrimControl(std::string_view text) {
  const auto isControl = [](char c) { return static_cast<unsigned char>(c) <= 32; };
  while (!text.empty() && isControl(text.front())) text.remove_prefix(1);
  while (!text.empty() && isControl(text.back())) text.remove_suffix(1);
  return std::string(text);
}

}  // namespace text
