#include "environment/versioninfo.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <ostream>
#include <string>

#include "platform/platform.h"
#include "tests/testsupport.h"

namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;
using testing_support::TempFolder;

template <typename Case>
std::string CaseName(const testing::TestParamInfo<Case>& info) {
  return info.param.name;
}

std::string CodeText(int code) { return "Code: " + std::to_string(code) + "."; }

// ----- the built program ----------------------------------------------------------------------

TEST(VersionStrings, BuiltProgramCarriesItsTable) {
  const TEXEVersionData data = ReadVersionStrings(ZORBEL_EXECUTABLE);
  EXPECT_EQ(data.CompanyName, "Olvandi");
  EXPECT_FALSE(data.FileDescription.empty());
  EXPECT_EQ(data.FileVersion, "0.0.0.0");
  EXPECT_EQ(data.InternalName, "zorbel");
  EXPECT_NE(data.LegalCopyright.find("Olvandi"), std::string::npos);
  EXPECT_EQ(data.LegalTrademarks, "");
  // Stored as "OriginalFilename": the lookup ignores letter case.
  EXPECT_EQ(data.OriginalFileName, "zorbel");
  EXPECT_EQ(data.ProductName, "Quorvane");
  EXPECT_EQ(data.ProductVersion, "0.0.0.0");
  EXPECT_FALSE(data.Comments.empty());
  EXPECT_EQ(data.PrivateBuild, "");
  EXPECT_EQ(data.SpecialBuild, "");
}

// ----- hand-made ELF files of every class and byte order ----------------------------------------

struct ElfShape {
  std::string name;
  bool is64;
  bool bigEndian;
};

void PrintTo(const ElfShape& shape, std::ostream* out) { *out << shape.name; }

void Put(std::string& out, std::size_t offset, std::uint64_t value, std::size_t width,
         bool bigEndian) {
  for (std::size_t i = 0; i < width; ++i) {
    const std::size_t shift = 8 * (bigEndian ? width - 1 - i : i);
    out[offset + i] = static_cast<char>((value >> shift) & 0xff);
  }
}

// A file holding only what the reader looks at: the header, a section name table, one section
// with the given name and content, and the section headers last, as linkers lay them out.
std::string MakeElf(const ElfShape& shape, const std::string& sectionName,
                    const std::string& content) {
  const bool big = shape.bigEndian;
  const std::size_t headerSize = shape.is64 ? 64 : 52;
  const std::size_t entrySize = shape.is64 ? 64 : 40;
  const std::size_t word = shape.is64 ? 8 : 4;
  const std::string names = "\0.shstrtab\0"s + sectionName + '\0';
  const std::size_t namesOffset = headerSize;
  const std::size_t contentOffset = namesOffset + names.size();
  const std::size_t tableOffset = (contentOffset + content.size() + 7) / 8 * 8;

  std::string elf(tableOffset + 3 * entrySize, '\0');
  elf.replace(0, 4, "\177ELF");
  elf[4] = shape.is64 ? 2 : 1;
  elf[5] = big ? 2 : 1;
  elf[6] = 1;
  Put(elf, 16, 2, 2, big);  // an executable
  Put(elf, 20, 1, 4, big);
  Put(elf, shape.is64 ? 40 : 32, tableOffset, word, big);
  Put(elf, shape.is64 ? 52 : 40, headerSize, 2, big);
  Put(elf, shape.is64 ? 58 : 46, entrySize, 2, big);
  Put(elf, shape.is64 ? 60 : 48, 3, 2, big);
  Put(elf, shape.is64 ? 62 : 50, 1, 2, big);
  elf.replace(namesOffset, names.size(), names);
  elf.replace(contentOffset, content.size(), content);

  const auto section = [&](std::size_t index, std::uint32_t name, std::uint32_t type,
                           std::size_t offset, std::size_t size) {
    const std::size_t at = tableOffset + index * entrySize;
    Put(elf, at, name, 4, big);
    Put(elf, at + 4, type, 4, big);
    Put(elf, at + (shape.is64 ? 24 : 16), offset, word, big);
    Put(elf, at + (shape.is64 ? 32 : 20), size, word, big);
  };
  section(1, 1, 3, namesOffset, names.size());
  section(2, 11, 1, contentOffset, content.size());
  return elf;
}

// Ends without a NUL: the last entry still counts.
const std::string kTable =
    "\\VarFileInfo\\Translation=040904e4\0"
    "\\StringFileInfo\\040904E4\\COMPANYNAME=Acme \u00C9ditions\0"
    "\\StringFileInfo\\04070000\\ProductName=from another language\0"
    "\\StringFileInfo\\040904E4\\ProductName=Widget\0"
    "\\StringFileInfo\\040904E4\\Comments=a=b"s;

class ElfShapes : public testing::TestWithParam<ElfShape> {};

TEST_P(ElfShapes, ReadsTheTableOfEveryClassAndByteOrder) {
  TempFolder temp;
  testing_support::WriteFile(temp / "program", MakeElf(GetParam(), ".zorbel.version", kTable));
  const TEXEVersionData data = ReadVersionStrings(temp / "program");
  EXPECT_EQ(data.CompanyName, "Acme \u00C9ditions");
  EXPECT_EQ(data.ProductName, "Widget");
  EXPECT_EQ(data.Comments, "a=b");
  EXPECT_EQ(data.FileVersion, "");
}

// A cut anywhere leaves the section headers short; the reader must say so, not read past.
TEST_P(ElfShapes, EveryTruncationIsAnError) {
  TempFolder temp;
  const std::string elf = MakeElf(GetParam(), ".zorbel.version", kTable);
  for (std::size_t size = 0; size < elf.size(); ++size) {
    testing_support::WriteFile(temp / "program", elf.substr(0, size));
    EXPECT_THROW(ReadVersionStrings(temp / "program"), platform::Error) << "cut at " << size;
  }
}

INSTANTIATE_TEST_SUITE_P(VersionStrings, ElfShapes,
                         testing::Values(ElfShape{"Elf32Little", false, false},
                                         ElfShape{"Elf32Big", false, true},
                                         ElfShape{"Elf64Little", true, false},
                                         ElfShape{"Elf64Big", true, true}),
                         CaseName<ElfShape>);

// ----- files that carry no readable table -------------------------------------------------------

const ElfShape kHost{"Elf64Little", true, false};

std::string WithField(std::string elf, std::size_t offset, std::uint64_t value, std::size_t width) {
  Put(elf, offset, value, width, false);
  return elf;
}

// Where a 64-bit little-endian file keeps its section headers: the hand-made files and the
// program built on this machine, for the cases that damage or cut them.
std::size_t SectionHeaderAt(const std::string& elf, std::size_t index) {
  std::size_t tableOffset = 0;
  for (std::size_t i = 0; i < 8; ++i)
    tableOffset |= static_cast<std::size_t>(static_cast<unsigned char>(elf[40 + i])) << (8 * i);
  return tableOffset + index * 64;
}

std::string Valid() { return MakeElf(kHost, ".zorbel.version", kTable); }

struct FailureCase {
  std::string name;
  std::function<fs::path(const TempFolder&)> make;
  int code;
};

void PrintTo(const FailureCase& failure, std::ostream* out) { *out << failure.name; }

fs::path Written(const TempFolder& temp, const std::string& bytes) {
  testing_support::WriteFile(temp / "file", bytes);
  return temp / "file";
}

class Unreadable : public testing::TestWithParam<FailureCase> {};

TEST_P(Unreadable, ThrowsWithTheSystemText) {
  TempFolder temp;
  const fs::path file = GetParam().make(temp);
  try {
    ReadVersionStrings(file);
    FAIL() << "no error for " << file;
  } catch (const platform::Error& error) {
    EXPECT_NE(std::string(error.what()).find(CodeText(GetParam().code)), std::string::npos)
        << error.what();
  }
}

INSTANTIATE_TEST_SUITE_P(
    VersionStrings, Unreadable,
    testing::Values(
        FailureCase{"MissingFile", [](const TempFolder& t) { return t / "absent"; }, ENOENT},
        FailureCase{"TextFile",
                    [](const TempFolder& t) { return Written(t, "CompanyName=Olvandi\n"); },
                    ENOEXEC},
        FailureCase{"EmptyFile", [](const TempFolder& t) { return Written(t, ""); }, ENOEXEC},
        FailureCase{"UnknownClass",
                    [](const TempFolder& t) {
                      std::string elf = Valid();
                      elf[4] = 3;
                      return Written(t, elf);
                    },
                    ENOEXEC},
        // The test program is linked without the table.
        FailureCase{"ElfWithoutTheSection",
                    [](const TempFolder&) { return fs::path("/proc/self/exe"); }, ENODATA},
        FailureCase{"OtherSectionName",
                    [](const TempFolder& t) {
                      return Written(t, MakeElf(kHost, ".zorbel.versio", kTable));
                    },
                    ENODATA},
        FailureCase{"NoTranslation",
                    [](const TempFolder& t) {
                      return Written(t, MakeElf(kHost, ".zorbel.version",
                                                "\\StringFileInfo\\040904E4\\CompanyName=Acme\0"s));
                    },
                    ENODATA},
        FailureCase{"TranslationNotHex",
                    [](const TempFolder& t) {
                      return Written(t, MakeElf(kHost, ".zorbel.version",
                                                "\\VarFileInfo\\Translation=0409O4E4"));
                    },
                    ENODATA},
        FailureCase{"SectionBeyondTheFile",
                    [](const TempFolder& t) {
                      const std::string elf = Valid();
                      return Written(
                          t, WithField(elf, SectionHeaderAt(elf, 2) + 24, 0xFFFFFFFFFFFFFFF0u, 8));
                    },
                    ENOEXEC},
        FailureCase{"NameBeyondTheNameTable",
                    [](const TempFolder& t) {
                      const std::string elf = Valid();
                      return Written(t, WithField(elf, SectionHeaderAt(elf, 1), 0x7FFFFFFF, 4));
                    },
                    ENOEXEC},
        FailureCase{
            "MoreSectionsThanTheFileHolds",
            [](const TempFolder& t) { return Written(t, WithField(Valid(), 60, 0xFEFF, 2)); },
            ENOEXEC},
        FailureCase{"NameTableIndexOutOfRange",
                    [](const TempFolder& t) { return Written(t, WithField(Valid(), 62, 7, 2)); },
                    ENOEXEC},
        // The real program cut in the middle of its section headers.
        FailureCase{"TruncatedProgram",
                    [](const TempFolder& t) {
                      const std::string program = testing_support::ReadFile(ZORBEL_EXECUTABLE);
                      const std::size_t headers = SectionHeaderAt(program, 0);
                      return Written(t,
                                     program.substr(0, headers + (program.size() - headers) / 2));
                    },
                    ENOEXEC}),
    CaseName<FailureCase>);

}  // namespace
