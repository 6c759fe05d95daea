#include "environment/versioninfo.h"

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "platform/platform.h"

// The table lives in an ELF section of NUL-terminated "path=value" entries, written by
// app/versionsection.cmake. The ELF is parsed here from its bytes: it is a file format, so the
// layouts below are written out from the format rather than taken from a system header. Any
// file may be handed in, so every offset and size is checked against the bytes actually read.

namespace {

[[noreturn]] void Fail(int code) { throw platform::Error(platform::SystemErrorText(code), code); }

// A damaged or foreign file counts as "not an executable".
[[noreturn]] void NotElf() { Fail(ENOEXEC); }

// Where the fields this reader needs sit, per file class.
struct ElfLayout {
  // File header.
  std::size_t shoff;
  std::size_t shentsize;
  std::size_t shnum;
  std::size_t shstrndx;
  std::size_t headerSize;
  // Section header.
  std::size_t shName;
  std::size_t shType;
  std::size_t shOffset;
  std::size_t shSize;
  std::size_t shLink;
  std::size_t sectionHeaderSize;
  std::size_t addressSize;  // width of shoff, sh_offset and sh_size
};

constexpr ElfLayout kElf32{32, 46, 48, 50, 52, 0, 4, 16, 20, 24, 40, 4};
constexpr ElfLayout kElf64{40, 58, 60, 62, 64, 0, 4, 24, 32, 40, 64, 8};

constexpr std::string_view kMagic = "\177ELF";
constexpr std::size_t kIdentClass = 4;
constexpr std::size_t kIdentData = 5;
constexpr unsigned char kClass32 = 1;
constexpr unsigned char kClass64 = 2;
constexpr unsigned char kDataLittle = 1;
constexpr unsigned char kDataBig = 2;
constexpr std::uint32_t kSectionNoBits = 8;             // SHT_NOBITS: takes no room in the file
constexpr std::uint64_t kIndexInFirstSection = 0xffff;  // SHN_XINDEX

class ElfReader {
 public:
  explicit ElfReader(const std::string& bytes) : bytes_(bytes) {
    if (bytes_.size() < 16 || std::string_view(bytes_).substr(0, 4) != kMagic) NotElf();
    const unsigned char fileClass = Byte(kIdentClass);
    const unsigned char data = Byte(kIdentData);
    if (fileClass != kClass32 && fileClass != kClass64) NotElf();
    if (data != kDataLittle && data != kDataBig) NotElf();
    layout_ = fileClass == kClass32 ? &kElf32 : &kElf64;
    bigEndian_ = data == kDataBig;
    if (bytes_.size() < layout_->headerSize) NotElf();
    ReadSectionTable();
  }

  // The bytes of the first section of that name; nullopt when there is none.
  std::optional<std::string_view> Section(std::string_view name) const {
    const std::string_view names = SectionData(nameTable_);
    for (std::uint64_t index = 0; index < count_; ++index) {
      const std::uint64_t header = SectionHeader(index);
      const std::uint64_t nameOffset = Unsigned(header + layout_->shName, 4);
      if (nameOffset >= names.size()) NotElf();
      const std::string_view rest = names.substr(nameOffset);
      const std::size_t end = rest.find('\0');
      if (end == std::string_view::npos) NotElf();
      if (rest.substr(0, end) == name) return SectionData(index);
    }
    return std::nullopt;
  }

 private:
  unsigned char Byte(std::uint64_t offset) const {
    return static_cast<unsigned char>(bytes_[static_cast<std::size_t>(offset)]);
  }

  bool Fits(std::uint64_t offset, std::uint64_t size) const {
    return size <= bytes_.size() && offset <= bytes_.size() - size;
  }

  std::uint64_t Unsigned(std::uint64_t offset, std::size_t width) const {
    if (!Fits(offset, width)) NotElf();
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < width; ++i) {
      const std::size_t shift = 8 * (bigEndian_ ? width - 1 - i : i);
      value |= static_cast<std::uint64_t>(Byte(offset + i)) << shift;
    }
    return value;
  }

  std::uint64_t SectionHeader(std::uint64_t index) const {
    return tableOffset_ + index * entrySize_;
  }

  void ReadSectionTable() {
    tableOffset_ = Unsigned(layout_->shoff, layout_->addressSize);
    entrySize_ = Unsigned(layout_->shentsize, 2);
    count_ = Unsigned(layout_->shnum, 2);
    nameTable_ = Unsigned(layout_->shstrndx, 2);
    // Without sections there is nowhere the table could be.
    if (tableOffset_ == 0) Fail(ENODATA);
    if (entrySize_ < layout_->sectionHeaderSize) NotElf();
    // Past 0xff00 sections the real count and name table index move into the first header.
    if (count_ == 0) count_ = Unsigned(tableOffset_ + layout_->shSize, layout_->addressSize);
    if (nameTable_ == kIndexInFirstSection)
      nameTable_ = Unsigned(tableOffset_ + layout_->shLink, 4);
    // A hostile count could overflow count * entry size, so it is checked by division first.
    if (count_ > (bytes_.size() / entrySize_) || !Fits(tableOffset_, count_ * entrySize_)) NotElf();
    // A file without section names cannot name the table either.
    if (nameTable_ == 0) Fail(ENODATA);
    if (nameTable_ >= count_) NotElf();
  }

  std::string_view SectionData(std::uint64_t index) const {
    const std::uint64_t header = SectionHeader(index);
    if (Unsigned(header + layout_->shType, 4) == kSectionNoBits) return {};
    const std::uint64_t offset = Unsigned(header + layout_->shOffset, layout_->addressSize);
    const std::uint64_t size = Unsigned(header + layout_->shSize, layout_->addressSize);
    if (!Fits(offset, size)) NotElf();
    return std::string_view(bytes_).substr(static_cast<std::size_t>(offset),
                                           static_cast<std::size_t>(size));
  }

  const std::string& bytes_;
  const ElfLayout* layout_ = nullptr;
  bool bigEndian_ = false;
  std::uint64_t tableOffset_ = 0;
  std::uint64_t entrySize_ = 0;
  std::uint64_t count_ = 0;
  std::uint64_t nameTable_ = 0;
};

char AsciiUpper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

bool SameIgnoringAsciiCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (AsciiUpper(a[i]) != AsciiUpper(b[i])) return false;
  }
  return true;
}

// The value stored under a path such as "\StringFileInfo\040904E4\CompanyName".
std::optional<std::string_view> Query(std::string_view table, std::string_view path) {
  while (!table.empty()) {
    const std::size_t end = table.find('\0');
    const std::string_view entry = table.substr(0, end);
    table = end == std::string_view::npos ? std::string_view() : table.substr(end + 1);
    const std::size_t equals = entry.find('=');
    if (equals != std::string_view::npos && SameIgnoringAsciiCase(entry.substr(0, equals), path))
      return entry.substr(equals + 1);
  }
  return std::nullopt;
}

// The language and code page as the strings are filed under them: eight upper-case hex digits.
std::optional<std::string> TranslationDigits(std::string_view value) {
  if (value.size() != 8) return std::nullopt;
  std::string digits;
  for (char c : value) {
    const char upper = AsciiUpper(c);
    if (!((upper >= '0' && upper <= '9') || (upper >= 'A' && upper <= 'F'))) return std::nullopt;
    digits += upper;
  }
  return digits;
}

}  // namespace

TEXEVersionData ReadVersionStrings(const std::filesystem::path& file) {
  const std::string bytes = platform::ReadFile(file);
  const std::optional<std::string_view> table = ElfReader(bytes).Section(kVersionSectionName);
  if (!table) Fail(ENODATA);

  const std::optional<std::string_view> translation = Query(*table, "\\VarFileInfo\\Translation");
  if (!translation) Fail(ENODATA);
  const std::optional<std::string> digits = TranslationDigits(*translation);
  if (!digits) Fail(ENODATA);

  TEXEVersionData data;
  const std::string prefix = "\\StringFileInfo\\" + *digits + "\\";
  const std::pair<const char*, std::string TEXEVersionData::*> fields[] = {
      {"CompanyName", &TEXEVersionData::CompanyName},
      {"FileDescription", &TEXEVersionData::FileDescription},
      {"FileVersion", &TEXEVersionData::FileVersion},
      {"InternalName", &TEXEVersionData::InternalName},
      {"LegalCopyright", &TEXEVersionData::LegalCopyright},
      {"LegalTrademarks", &TEXEVersionData::LegalTrademarks},
      {"OriginalFileName", &TEXEVersionData::OriginalFileName},
      {"ProductName", &TEXEVersionData::ProductName},
      {"ProductVersion", &TEXEVersionData::ProductVersion},
      {"Comments", &TEXEVersionData::Comments},
      {"PrivateBuild", &TEXEVersionData::PrivateBuild},
      {"SpecialBuild", &TEXEVersionData::SpecialBuild},
  };
  for (const auto& [key, member] : fields) {
    if (const auto value = Query(*table, prefix + key)) data.*member = std::string(*value);
  }
  return data;
}
