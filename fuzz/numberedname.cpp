// NextNumberedName against a real folder: the input names a file and the entries that already
// take names in its folder ("#n" stands for the file's own numbered name n). The result must
// be free, in the same folder, and the first free name of the sequence.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <set>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "fuzz/fuzzsupport.h"
#include "job/fileops.h"

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kMostTakenNames = 20;
// Leaves room for " (n)" within the usual limit of 255 bytes for one name.
constexpr std::size_t kLongestName = 200;

bool UsableName(std::string_view name) {
  return !name.empty() && name != "." && name != ".." && name.size() <= kLongestName &&
         name.find('\0') == std::string_view::npos;
}

bool Taken(const fs::path& path) {
  std::error_code error;
  return fs::symlink_status(path, error).type() != fs::file_type::not_found;
}

std::vector<std::string> Segments(std::string_view input) {
  std::vector<std::string> segments;
  std::size_t start = 0;
  for (;;) {
    const std::size_t slash = input.find('/', start);
    segments.emplace_back(input.substr(start, slash - start));
    if (slash == std::string_view::npos) break;
    start = slash + 1;
  }
  return segments;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::vector<std::string> segments =
      Segments(std::string_view(reinterpret_cast<const char*>(data), size));
  const std::string& name = segments.front();
  if (!UsableName(name)) return 0;

  // The numbered names by the rule: base name up to the last ".", extension from it.
  const std::size_t dot = name.rfind('.');
  const std::string base = dot == std::string::npos ? name : name.substr(0, dot);
  const std::string extension = dot == std::string::npos ? std::string() : name.substr(dot);
  const auto numbered = [&](unsigned long n) {
    return base + " (" + std::to_string(n) + ")" + extension;
  };

  const fuzz_support::ScratchFolder& scratch = fuzz_support::Scratch();
  scratch.Empty();
  const fs::path folder = scratch.path();
  std::set<std::string> taken;
  for (std::size_t i = 1; i < segments.size() && taken.size() < kMostTakenNames; ++i) {
    std::string entry = segments[i];
    if (entry.size() > 1 && entry.size() <= 4 && entry.front() == '#' &&
        entry.find_first_not_of("0123456789", 1) == std::string::npos)
      entry = numbered(std::stoul(entry.substr(1)));
    if (!UsableName(entry) || !taken.insert(entry).second) continue;
    // Any kind of entry takes a name: a file, a folder, a link that leads nowhere.
    switch (taken.size() % 3) {
      case 0:
        fuzz_support::WriteBytes(folder / entry, "x");
        break;
      case 1:
        fs::create_directory(folder / entry);
        break;
      default:
        fs::create_symlink(folder / "nowhere", folder / entry);
        break;
    }
  }

  const fs::path result = NextNumberedName(folder / name);
  FUZZ_CHECK(result.parent_path() == folder);
  FUZZ_CHECK(!Taken(result));
  const std::string chosen = result.filename().string();
  if (!taken.contains(name)) {
    FUZZ_CHECK(chosen == name);
    return 0;
  }
  // The first free one of "base (2).ext", "base (3).ext", ...
  unsigned long n = 2;
  while (numbered(n) != chosen) {
    FUZZ_CHECK(n <= kMostTakenNames + 1);
    FUZZ_CHECK(Taken(folder / numbered(n)));
    ++n;
  }
  return 0;
}
