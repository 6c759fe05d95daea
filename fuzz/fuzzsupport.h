// What every fuzz target shares: a check that stops the run with the failed condition, and a
// scratch folder that lives as long as the fuzzing process.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <string_view>
#include <system_error>

// A broken rule is a crash for libFuzzer: it keeps the input that caused it.
#define FUZZ_CHECK(condition)                                                           \
  do {                                                                                  \
    if (!(condition)) {                                                                 \
      std::fprintf(stderr, "%s:%d: rule broken: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                     \
    }                                                                                   \
  } while (false)

namespace fuzz_support {

// A fresh folder below the system's temporary folder, removed when the process ends normally.
class ScratchFolder {
 public:
  ScratchFolder() {
    std::random_device random;
    path_ = std::filesystem::temp_directory_path() /
            ("zorbel-fuzz-" + std::to_string(random()) + std::to_string(random()));
    std::filesystem::create_directories(path_);
  }
  ~ScratchFolder() {
    std::error_code ignored;  // a folder left behind in the temporary folder harms nothing
    std::filesystem::remove_all(path_, ignored);
  }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;

  const std::filesystem::path& path() const { return path_; }

  // Every entry below the folder removed, the folder itself kept.
  void Empty() const {
    for (const auto& entry : std::filesystem::directory_iterator(path_))
      std::filesystem::remove_all(entry.path());
  }

 private:
  std::filesystem::path path_;
};

// One process-wide scratch folder, made on first use.
inline const ScratchFolder& Scratch() {
  static const ScratchFolder folder;
  return folder;
}

// Writes the bytes as the whole file; a scratch file that cannot be written ends the run.
inline void WriteBytes(const std::filesystem::path& file, std::string_view bytes) {
  // A new file rather than a truncated one: ext4 flushes a truncated file to disk on close,
  // which slows each run down a hundredfold.
  std::filesystem::remove(file);
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  FUZZ_CHECK(out.good());
}

}  // namespace fuzz_support
