// The copy engine copies side by side; what lands where, and under which name, must be what a
// plain one-file-after-another copy gives. Compared on sources full of clashing names.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fiemap.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <random>

#include "job/fileops.h"
#include "tests/testsupport.h"

namespace fs = std::filesystem;
using testing_support::ReadTree;
using testing_support::TempFolder;
using testing_support::WriteFile;

namespace {

// Each source holds a few hundred files, nested, drawn from a handful of names, some of which
// look like the numbered names a clash produces.
std::vector<fs::path> MakeClashingSources(const fs::path& root) {
  const std::vector<std::string> names = {"photo.jpg", "photo (2).jpg", "a.tar.gz", ".config",
                                          "README",    "x (3).txt",     "x.txt",    "photo"};
  std::mt19937 random(7);
  std::vector<fs::path> sources;
  for (int s = 0; s < 3; ++s) {
    const fs::path source = root / ("source" + std::to_string(s));
    for (int f = 0; f < 300; ++f) {
      const fs::path folder =
          source / ("d" + std::to_string(random() % 5)) / ("e" + std::to_string(random() % 3));
      WriteFile(folder / names[random() % names.size()],
                "source " + std::to_string(s) + " file " + std::to_string(f));
    }
    sources.push_back(source);
  }
  return sources;
}

// The one-by-one copy: every file in walk order, the policy decided file by file.
void SequentialFlatCopy(const fs::path& source, const fs::path& output, const RunFlags& flags) {
  for (auto it = fs::recursive_directory_iterator(source); it != fs::recursive_directory_iterator();
       ++it) {
    if (!it->is_regular_file()) continue;
    fs::path target = output / it->path().filename();
    if (flags.PreserveOriginalFile) {
      if (fs::exists(target)) continue;
    } else if (flags.CreateNumberedCopy) {
      if (fs::exists(fs::symlink_status(target))) target = NextNumberedName(target);
    }
    fs::copy_file(it->path(), target, fs::copy_options::overwrite_existing);
  }
}

struct EngineCase {
  const char* name;
  RunFlags flags;
};

class EngineMatchesOneByOne : public ::testing::TestWithParam<EngineCase> {};

TEST_P(EngineMatchesOneByOne, OnHeavyClashes) {
  TempFolder root;
  const auto sources = MakeClashingSources(root / "in");
  const RunFlags flags = GetParam().flags;
  for (const auto& source : sources) {
    fs::create_directories(root / "expected");
    SequentialFlatCopy(source, root / "expected", flags);
    fs::create_directories(root / "actual");
    if (flags.PreserveFolderStructure)
      TreeCopy(source, root / "actual",
               [](const fs::path& file, FileProblem, const std::string& e) {
                 ADD_FAILURE() << file << ": " << e;
               });
    else
      FlatCopy(source, root / "actual", flags,
               [](const fs::path& file, FileProblem, const std::string& e) {
                 ADD_FAILURE() << file << ": " << e;
               });
  }
  if (flags.PreserveFolderStructure) {
    fs::remove_all(root / "expected");
    for (const auto& source : sources)
      fs::copy(source, root / "expected",
               fs::copy_options::recursive | fs::copy_options::overwrite_existing);
  }
  EXPECT_EQ(ReadTree(root / "actual"), ReadTree(root / "expected"));
}

INSTANTIATE_TEST_SUITE_P(
    Policies, EngineMatchesOneByOne,
    ::testing::Values(EngineCase{"Replace", {}}, EngineCase{"Keep", {.PreserveOriginalFile = true}},
                      EngineCase{"Numbered", {.CreateNumberedCopy = true}},
                      EngineCase{"KeepAndNumbered",
                                 {.PreserveOriginalFile = true, .CreateNumberedCopy = true}},
                      EngineCase{"Tree", {.PreserveFolderStructure = true}}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace

namespace {

// True when every extent of the file is shared with another file.
bool AllExtentsShared(const fs::path& file) {
  const int fd = ::open(file.c_str(), O_RDONLY);
  if (fd < 0) return false;
  alignas(fiemap) char buffer[sizeof(fiemap) + 64 * sizeof(fiemap_extent)] = {};
  auto* map = reinterpret_cast<fiemap*>(buffer);
  map->fm_length = FIEMAP_MAX_OFFSET;
  map->fm_flags = FIEMAP_FLAG_SYNC;
  map->fm_extent_count = 64;
  const bool mapped = ::ioctl(fd, FS_IOC_FIEMAP, map) == 0;
  ::close(fd);
  if (!mapped || map->fm_mapped_extents == 0) return false;
  for (unsigned i = 0; i < map->fm_mapped_extents; ++i)
    if (!(map->fm_extents[i].fe_flags & FIEMAP_EXTENT_SHARED)) return false;
  return true;
}

// Where the file system can share extents, a copy of a large file costs no data at all.
TEST(Engine, SharesExtentsOnAFileSystemThatCan) {
  if (geteuid() != 0) GTEST_SKIP() << "mounting a file system image needs root";
  TempFolder root;
  const fs::path image = root / "btrfs.img";
  { std::ofstream(image).close(); }
  fs::resize_file(image, 200 * 1024 * 1024);
  const std::string make = "mkfs.btrfs -q -f " + image.string() + " >/dev/null 2>&1";
  if (std::system(make.c_str()) != 0) GTEST_SKIP() << "mkfs.btrfs is not available";
  fs::create_directories(root / "mnt");
  const std::string mount = "mount -o loop " + image.string() + " " + (root / "mnt").string();
  if (std::system(mount.c_str()) != 0) GTEST_SKIP() << "cannot mount a loop device here";
  const fs::path source = root / "mnt/videos";
  WriteFile(source / "film.mkv", std::string(32 * 1024 * 1024, 'f'));
  FlatCopy(source, root / "mnt", {}, [](const fs::path& file, FileProblem, const std::string& e) {
    ADD_FAILURE() << file << ": " << e;
  });
  const bool shared = AllExtentsShared(root / "mnt/film.mkv");
  const std::string content = testing_support::ReadFile(root / "mnt/film.mkv");
  std::system(("umount " + (root / "mnt").string()).c_str());
  EXPECT_TRUE(shared);
  EXPECT_EQ(content, std::string(32 * 1024 * 1024, 'f'));
}

}  // namespace
