// Makes the benchmark's data sets: the same seed gives the same names, sizes and bytes, so two
// machines (or two days) measure the same work.
//
//   zorbel_bench_generate small|large|many FOLDER [--seed N]
//
// The set goes to FOLDER/<set>, its sources to FOLDER/<set>/src1, src2, ... A complete set
// carries FOLDER/<set>/.complete with the seed, the file count and the byte count; a set that
// has it with the same seed is left alone, anything else in FOLDER/<set> is removed first.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace {

// ----- reproducible randomness ----------------------------------------------------------------

std::uint64_t SplitMix(std::uint64_t& state) {
  std::uint64_t z = (state += 0x9e3779b97f4a7c15ULL);
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
  return z ^ (z >> 31);
}

// xoshiro256**: fast enough that the disk, not the generator, sets the pace.
class Random {
 public:
  // Every file gets a generator of its own, derived from the seed and where the file stands,
  // so the order (and the number of threads) in which files are written changes nothing.
  Random(std::uint64_t seed, std::uint64_t a, std::uint64_t b = 0, std::uint64_t c = 0) {
    std::uint64_t mix = seed;
    for (std::uint64_t part : {a, b, c}) {
      mix ^= part + 0x632be59bd9b4e019ULL;
      SplitMix(mix);
    }
    for (auto& word : s_) word = SplitMix(mix);
  }

  std::uint64_t Next() {
    const std::uint64_t result = Rotl(s_[1] * 5, 7) * 9;
    const std::uint64_t t = s_[1] << 17;
    s_[2] ^= s_[0];
    s_[3] ^= s_[1];
    s_[1] ^= s_[2];
    s_[0] ^= s_[3];
    s_[2] ^= t;
    s_[3] = Rotl(s_[3], 45);
    return result;
  }

  // Uniform enough for sizes and picks; the modulo bias is far below what a benchmark sees.
  std::uint64_t Below(std::uint64_t bound) { return Next() % bound; }

  void Fill(char* data, std::size_t size) {
    std::size_t at = 0;
    for (; at + 8 <= size; at += 8) {
      const std::uint64_t word = Next();
      std::memcpy(data + at, &word, 8);
    }
    if (at < size) {
      const std::uint64_t word = Next();
      std::memcpy(data + at, &word, size - at);
    }
  }

 private:
  static std::uint64_t Rotl(std::uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }
  std::uint64_t s_[4];
};

// ----- writing --------------------------------------------------------------------------------

[[noreturn]] void Fail(const std::string& what, const fs::path& path, int error) {
  throw std::runtime_error(what + " " + path.string() + ": " + std::strerror(error));
}

class File {
 public:
  explicit File(const fs::path& path) : path_(path) {
    fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd_ < 0) Fail("cannot create", path, errno);
  }
  ~File() {
    if (fd_ >= 0) ::close(fd_);
  }
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  void Write(const char* data, std::size_t size) {
    while (size > 0) {
      const ssize_t written = ::write(fd_, data, size);
      if (written < 0) {
        if (errno == EINTR) continue;
        Fail("cannot write", path_, errno);
      }
      data += written;
      size -= static_cast<std::size_t>(written);
    }
  }

  void Close() {
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) Fail("cannot close", path_, errno);
  }

 private:
  fs::path path_;
  int fd_ = -1;
};

// The prefix and the number in decimal, with leading zeros up to the width, so that names sort
// as they were made.
std::string Numbered(std::string_view prefix, std::uint64_t number, std::size_t width) {
  const std::string digits = std::to_string(number);
  std::string name(prefix);
  if (digits.size() < width) name.append(width - digits.size(), '0');
  name += digits;
  return name;
}

struct Totals {
  std::uint64_t files = 0;
  std::uint64_t bytes = 0;
};

// Runs work(i) for i in [0, count) on every core; the first error stops the others and is
// thrown here.
template <typename Work>
void InParallel(std::uint64_t count, const Work& work) {
  std::atomic<std::uint64_t> next{0};
  std::atomic<bool> failed{false};
  std::string firstError;
  std::mutex errorLock;
  const unsigned threads = std::max(1u, std::thread::hardware_concurrency());
  std::vector<std::thread> pool;
  for (unsigned t = 0; t < threads; ++t) {
    pool.emplace_back([&] {
      for (std::uint64_t i; !failed.load() && (i = next.fetch_add(1)) < count;) {
        try {
          work(i);
        } catch (const std::exception& error) {
          std::lock_guard<std::mutex> lock(errorLock);
          if (!failed.exchange(true)) firstError = error.what();
        }
      }
    });
  }
  for (auto& thread : pool) thread.join();
  if (failed.load()) throw std::runtime_error(firstError);
}

// ----- the sets -------------------------------------------------------------------------------

// small: four sources of 25,000 files of 0.5 to 16 KiB in three folder levels. A tenth of the
// names stand in every source, so a flat copy meets clashes; those files sit below a
// different top folder in each source, so a tree copy merges folders but never replaces a file.
constexpr int kSmallSources = 4;
constexpr std::uint64_t kSmallFiles = 25'000;
constexpr std::uint64_t kSmallMin = 512;
constexpr std::uint64_t kSmallMax = 16 * 1024;
constexpr int kFanOut = 6;
static_assert(kSmallSources < kFanOut, "shared names need a top folder per source");

const char* const kExtensions[] = {".jpg", ".png", ".txt", ".pdf", ".mp3", ".dat", ".tar.gz", ""};

// A shared name's folder comes from the name's own generator, the same in every source, and
// only its top folder is moved along by the source's number.
fs::path SmallFolder(int source, Random& random, bool shared) {
  const int depth = 1 + static_cast<int>(random.Below(3));
  int top = static_cast<int>(random.Below(kFanOut));
  if (shared) top = (top + source) % kFanOut;
  fs::path folder = Numbered("d1-", static_cast<std::uint64_t>(top), 1);
  if (depth >= 2) folder /= Numbered("d2-", random.Below(kFanOut), 1);
  if (depth >= 3) folder /= Numbered("d3-", random.Below(kFanOut), 1);
  return folder;
}

Totals MakeSmall(const fs::path& set, std::uint64_t seed) {
  for (int source = 1; source <= kSmallSources; ++source)
    for (int a = 0; a < kFanOut; ++a)
      for (int b = 0; b < kFanOut; ++b)
        for (int c = 0; c < kFanOut; ++c)
          fs::create_directories(set / Numbered("src", source, 1) / Numbered("d1-", a, 1) /
                                 Numbered("d2-", b, 1) / Numbered("d3-", c, 1));
  std::atomic<std::uint64_t> bytes{0};
  InParallel(kSmallSources * kSmallFiles, [&](std::uint64_t job) {
    const int source = static_cast<int>(job / kSmallFiles) + 1;
    const std::uint64_t index = job % kSmallFiles;
    const bool shared = index % 10 == 0;
    // The name of a shared file comes from its index alone, so it is the same in every source.
    Random naming(seed, 1, index);
    const char* extension = kExtensions[naming.Below(std::size(kExtensions))];
    std::string name =
        shared ? Numbered("f", index, 6)
               : Numbered("s", static_cast<std::uint64_t>(source), 1) + Numbered("-f", index, 6);
    name += extension;

    Random random(seed, 2, static_cast<std::uint64_t>(source), index);
    const fs::path folder = SmallFolder(source, shared ? naming : random, shared);
    const std::size_t size = kSmallMin + random.Below(kSmallMax - kSmallMin + 1);
    char data[kSmallMax];
    random.Fill(data, size);
    File file(set / Numbered("src", source, 1) / folder / name);
    file.Write(data, size);
    file.Close();
    bytes.fetch_add(size);
  });
  return {kSmallSources * kSmallFiles, bytes.load()};
}

// large: two sources of one 1 GiB file each.
constexpr int kLargeSources = 2;
constexpr std::uint64_t kLargeSize = 1ULL << 30;
constexpr std::size_t kChunk = 16 << 20;

Totals MakeLarge(const fs::path& set, std::uint64_t seed) {
  for (int source = 1; source <= kLargeSources; ++source)
    fs::create_directories(set / Numbered("src", source, 1));
  InParallel(kLargeSources, [&](std::uint64_t job) {
    const int source = static_cast<int>(job) + 1;
    Random random(seed, 3, static_cast<std::uint64_t>(source));
    std::vector<char> chunk(kChunk);
    File file(set / Numbered("src", source, 1) / (Numbered("large", source, 1) + ".bin"));
    for (std::uint64_t done = 0; done < kLargeSize; done += kChunk) {
      random.Fill(chunk.data(), chunk.size());
      file.Write(chunk.data(), chunk.size());
    }
    file.Close();
  });
  return {kLargeSources, kLargeSources * kLargeSize};
}

// many: one source of 500,000 empty files in 5,000 folders, every name different, so that
// the listing and the per-file work are all that is measured.
constexpr std::uint64_t kManyFolders = 5'000;
constexpr std::uint64_t kManyPerFolder = 100;

Totals MakeMany(const fs::path& set, std::uint64_t) {
  const fs::path source = set / "src1";
  for (std::uint64_t folder = 0; folder < kManyFolders; ++folder) {
    fs::create_directories(source / Numbered("d", folder, 4));
  }
  InParallel(kManyFolders, [&](std::uint64_t folder) {
    const fs::path folderPath = source / Numbered("d", folder, 4);
    for (std::uint64_t i = 0; i < kManyPerFolder; ++i) {
      File(folderPath / Numbered("e", folder * kManyPerFolder + i, 6)).Close();
    }
  });
  return {kManyFolders * kManyPerFolder, 0};
}

// ----- the command ----------------------------------------------------------------------------

// Raised whenever a set's contents change, so that older sets are made again.
constexpr int kFormat = 2;

std::string MarkerStart(const std::string& setName, std::uint64_t seed) {
  return "set=" + setName + " format=" + std::to_string(kFormat) + " seed=" + std::to_string(seed) +
         " ";
}

std::string MarkerText(const std::string& setName, std::uint64_t seed, const Totals& totals) {
  return MarkerStart(setName, seed) + "files=" + std::to_string(totals.files) +
         " bytes=" + std::to_string(totals.bytes) + "\n";
}

std::string ReadMarker(const fs::path& marker) {
  std::ifstream in(marker);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

int Usage() {
  std::cerr << "usage: zorbel_bench_generate small|large|many FOLDER [--seed N]\n";
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3 && argc != 5) return Usage();
  const std::string setName = argv[1];
  const fs::path folder = argv[2];
  std::uint64_t seed = 1;
  if (argc == 5) {
    const std::string_view flag = argv[3], value = argv[4];
    const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), seed);
    if (flag != "--seed" || error != std::errc() || end != value.data() + value.size())
      return Usage();
  }
  Totals (*make)(const fs::path&, std::uint64_t) = setName == "small"   ? MakeSmall
                                                   : setName == "large" ? MakeLarge
                                                   : setName == "many"  ? MakeMany
                                                                        : nullptr;
  if (!make) return Usage();

  const fs::path set = folder / setName;
  const fs::path marker = set / ".complete";
  try {
    if (fs::exists(marker)) {
      const std::string text = ReadMarker(marker);
      if (text.starts_with(MarkerStart(setName, seed))) {
        std::cout << setName << ": already complete (" << set.string() << ")\n";
        return 0;
      }
    }
    // Whatever stands there (a half-made set, another seed) is made again from nothing.
    fs::remove_all(set);
    fs::create_directories(set);
    const auto start = std::chrono::steady_clock::now();
    const Totals totals = make(set, seed);
    const std::string text = MarkerText(setName, seed, totals);
    {
      File file(marker);
      file.Write(text.data(), text.size());
      file.Close();
    }
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    std::cout << setName << ": made in " << took.count() << " s (" << set.string() << ") " << text;
  } catch (const std::exception& error) {
    std::cerr << "zorbel_bench_generate: " << error.what() << "\n";
    return 1;
  }
  return 0;
}
