// Real faults caused under a run: a full disk, a read-only output, sources that change under
// the copy, a killed copy, settings that cannot be rewritten, unreadable files and a Trash that
// refuses. In each, nothing may be lost and every failure must be said. Tests that need root or
// a mount skip with their reason when they cannot have it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <sys/fanotify.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <poll.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "environment/settings.h"
#include "environment/translate.h"
#include "job/combiningrun.h"
#include "tests/recordingwindow.h"
#include "tests/testsupport.h"

namespace fs = std::filesystem;
using testing_support::ReadFile;
using testing_support::ReadTree;
using testing_support::TempFolder;
using testing_support::Tree;
using testing_support::WriteFile;
using Lines = std::vector<std::string>;

namespace {

const fs::path& kDataHome = testing_support::ProcessDataHome();

// A tmpfs of the given size mounted on a fresh folder, unmounted again at the end.
class Tmpfs {
 public:
  Tmpfs(const fs::path& where, const std::string& options) : where_(where) {
    fs::create_directories(where_);
    mounted_ = ::mount("tmpfs", where_.c_str(), "tmpfs", 0, options.c_str()) == 0;
    if (!mounted_) reason_ = std::string("cannot mount a tmpfs: ") + std::strerror(errno);
  }
  ~Tmpfs() {
    if (mounted_) ::umount2(where_.c_str(), MNT_DETACH);
  }
  bool mounted() const { return mounted_; }
  const std::string& reason() const { return reason_; }
  bool MakeReadOnly() {
    return ::mount(nullptr, where_.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) == 0;
  }

 private:
  fs::path where_;
  bool mounted_ = false;
  std::string reason_;
};

class Faults : public ::testing::Test {
 protected:
  TempFolder root;
  fs::path settingsFolder = root / "settings";
  RecordingWindow window;
  Language language;

  void SetUp() override {
    fs::create_directories(settingsFolder);
    WriteFile(settingsFolder / "settings.ini", "[Settings]\nAction=1\n");
  }

  void Job(const fs::path& output, const Lines& sources) {
    testing_support::WriteJobFile(settingsFolder, output, sources);
  }

  void Run(const Lines& switches) {
    Settings settings(settingsFolder);
    CombiningRun run(window, settings, language, switches);
    run.Perform();
  }

  bool HasLine(const std::string& line) const {
    return std::find(window.lines.begin(), window.lines.end(), line) != window.lines.end();
  }
};

// No file of the output may be hidden half-done work left by the copy.
void ExpectNoLeftovers(const fs::path& folder) {
  for (const auto& [name, content] : ReadTree(folder))
    EXPECT_EQ(name.find(".zorbel-"), std::string::npos) << "left behind: " << name;
}

TEST_F(Faults, DiskFullFailsOneFileAndTheRestGoesOn) {
  Tmpfs disk(root / "disk", "size=1m");
  if (!disk.mounted()) GTEST_SKIP() << disk.reason();
  const fs::path source = root / "photos";
  WriteFile(source / "huge.raw", std::string(3 * 1024 * 1024, 'h'));
  WriteFile(source / "a.jpg", std::string(20 * 1024, 'a'));
  WriteFile(source / "b.jpg", std::string(20 * 1024, 'b'));
  Job(root / "disk", {source.string()});
  Run({"move"});

  EXPECT_TRUE(
      HasLine("yellow: Error No: 28. No space left on device - " + (source / "huge.raw").string()));
  EXPECT_TRUE(HasLine("yellow: Not all files were copied - " + source.string()));
  EXPECT_EQ(window.lines.back(), "lime: Completed!");
  EXPECT_EQ(ReadTree(root / "disk"),
            Tree({{"a.jpg", std::string(20 * 1024, 'a')}, {"b.jpg", std::string(20 * 1024, 'b')}}))
      << "no partial file under any name";
  EXPECT_TRUE(fs::exists(source / "huge.raw")) << "the source is not sent to the Trash";
}

TEST_F(Faults, ReadOnlyOutputTouchesNothing) {
  Tmpfs disk(root / "disk", "size=1m");
  if (!disk.mounted()) GTEST_SKIP() << disk.reason();
  WriteFile(root / "disk/existing.txt", "old");
  if (!disk.MakeReadOnly()) GTEST_SKIP() << "cannot remount read-only";
  const fs::path source = root / "photos";
  WriteFile(source / "existing.txt", "new");
  Job(root / "disk", {source.string()});
  Run({"move"});
  EXPECT_EQ(window.lines, Lines({"red: Directory is not writable! - " + (root / "disk").string(),
                                 "lime: Completed!"}));
  EXPECT_EQ(ReadTree(root / "disk"), Tree({{"existing.txt", "old"}}));
  EXPECT_EQ(ReadTree(source), Tree({{"existing.txt", "new"}}));
}

// Holds every open and first read of a file in the source until the test has changed the
// source: one file vanishes after the listing, another shrinks while it is being read.
class SourceSaboteur {
 public:
  SourceSaboteur(const fs::path& folder, const fs::path& vanishing, const fs::path& shrinking)
      : vanishing_(vanishing), shrinking_(shrinking) {
    fd_ = fanotify_init(FAN_CLASS_CONTENT | FAN_CLOEXEC, O_RDONLY | O_LARGEFILE);
    if (fd_ < 0) return;
    if (fanotify_mark(fd_, FAN_MARK_ADD, FAN_OPEN_PERM | FAN_ACCESS_PERM | FAN_EVENT_ON_CHILD,
                      AT_FDCWD, folder.c_str()) != 0) {
      ::close(fd_);
      fd_ = -1;
      return;
    }
    listener_ = std::thread([this] { Listen(); });
  }
  ~SourceSaboteur() {
    stop_ = true;
    if (listener_.joinable()) listener_.join();
    if (fd_ >= 0) ::close(fd_);
  }
  bool active() const { return fd_ >= 0; }

 private:
  void Listen() {
    alignas(fanotify_event_metadata) char buffer[4096];
    while (!stop_) {
      pollfd poll{fd_, POLLIN, 0};
      if (::poll(&poll, 1, 50) <= 0) continue;
      const ssize_t length = ::read(fd_, buffer, sizeof buffer);
      auto* event = reinterpret_cast<fanotify_event_metadata*>(buffer);
      for (ssize_t left = length; FAN_EVENT_OK(event, left); event = FAN_EVENT_NEXT(event, left)) {
        const __u32 verdict = Handle(*event) ? FAN_ALLOW : FAN_DENY;
        fanotify_response response{event->fd, verdict};
        ::write(fd_, &response, sizeof response);
        if (event->fd >= 0) ::close(event->fd);
      }
    }
  }

  // Whether the open or read may go on.
  bool Handle(const fanotify_event_metadata& event) {
    std::error_code error;
    const fs::path file = fs::read_symlink("/proc/self/fd/" + std::to_string(event.fd), error);
    // Truncating and unlinking by name opens nothing, so the listener never waits on itself.
    if ((event.mask & FAN_OPEN_PERM) && !vanished_) {
      vanished_ = true;
      ::unlink(vanishing_.c_str());
      // Opened first of all: its name was found before it went, so the open fails instead.
      if (file == vanishing_) return false;
    }
    if ((event.mask & FAN_ACCESS_PERM) && file == shrinking_ && !shrunk_) {
      shrunk_ = true;
      ::truncate(shrinking_.c_str(), 10);
    }
    return true;
  }

  fs::path vanishing_, shrinking_;
  int fd_ = -1;
  std::thread listener_;
  std::atomic<bool> stop_{false};
  bool vanished_ = false, shrunk_ = false;
};

TEST_F(Faults, SourceThatChangesUnderTheCopyIsSaidAndKept) {
  const fs::path source = root / "photos";
  WriteFile(source / "steady.jpg", "steady");
  WriteFile(source / "vanishing.jpg", "soon gone");
  WriteFile(source / "shrinking.raw", std::string(1024 * 1024, 's'));
  {
    SourceSaboteur saboteur(source, source / "vanishing.jpg", source / "shrinking.raw");
    if (!saboteur.active()) GTEST_SKIP() << "fanotify permission events are not available here";
    Job(root / "out", {source.string()});
    Run({"move"});
  }
  EXPECT_TRUE(HasLine("yellow: The file changed while it was copied - " +
                      (source / "shrinking.raw").string()));
  // Whether the vanishing file was the first one opened or a later one, it fails with its line.
  const std::string vanishedSuffix = " - " + (source / "vanishing.jpg").string();
  EXPECT_EQ(std::count_if(window.lines.begin(), window.lines.end(),
                          [&](const std::string& line) {
                            return line.starts_with("yellow: ") && line.ends_with(vanishedSuffix);
                          }),
            1);
  EXPECT_TRUE(HasLine("yellow: Not all files were copied - " + source.string()));
  EXPECT_EQ(window.lines.back(), "lime: Completed!");
  EXPECT_TRUE(fs::exists(source / "steady.jpg")) << "the source is not sent to the Trash";
  EXPECT_FALSE(fs::exists(root / "out/shrinking.raw")) << "no mix of old and new data lands";
  ExpectNoLeftovers(root / "out");
}

// A copy killed in the middle of a large file leaves no file under a real name that holds part
// of the data, and the next run copies the file whole.
TEST_F(Faults, KilledCopyLeavesNoPartialFile) {
  const fs::path source = root / "videos";
  std::string data(256 * 1024 * 1024, '\0');
  for (size_t i = 0; i < data.size(); i += 4096) data[i] = static_cast<char>(i / 4096);
  WriteFile(source / "film.mkv", data);
  Job(root / "out", {source.string()});

  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    RecordingWindow silent;
    Settings settings(settingsFolder);
    CombiningRun run(silent, settings, language, {});
    run.Perform();
    _exit(0);
  }
  // Wait until the copy is under way: the output folder exists once the run reached its sources.
  for (int i = 0; i < 2000 && !fs::exists(root / "out"); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  const bool stillRunning = waitpid(child, nullptr, WNOHANG) == 0;
  ::kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  if (!stillRunning) GTEST_SKIP() << "the copy ended before it could be killed";

  if (fs::exists(root / "out/film.mkv")) {
    EXPECT_EQ(ReadFile(root / "out/film.mkv"), data);
  }
  ExpectNoLeftovers(root / "out");

  Run({});
  EXPECT_EQ(window.lines, Lines({"lime: Copied - " + source.string(), "lime: Completed!"}));
  EXPECT_EQ(ReadFile(root / "out/film.mkv"), data);
}

TEST_F(Faults, ImmutableSettingsEndTheRunWithoutCompletion) {
  if (geteuid() != 0) GTEST_SKIP() << "making a file immutable needs root";
  const fs::path source = root / "photos";
  WriteFile(source / "a.jpg", "a");
  Job(root / "out", {source.string()});
  const fs::path ini = settingsFolder / "settings.ini";
  const std::string before = ReadFile(ini);
  const int fd = ::open(ini.c_str(), O_RDONLY);
  int flags = 0;
  if (fd < 0 || ioctl(fd, FS_IOC_GETFLAGS, &flags) != 0) GTEST_SKIP() << "no file flags here";
  flags |= FS_IMMUTABLE_FL;
  if (ioctl(fd, FS_IOC_SETFLAGS, &flags) != 0) GTEST_SKIP() << "cannot make the file immutable";
  // The settings folder is immutable too, so not even a new file may appear beside it.
  const int folder = ::open(settingsFolder.c_str(), O_RDONLY | O_DIRECTORY);
  int folderFlags = 0;
  ioctl(folder, FS_IOC_GETFLAGS, &folderFlags);
  folderFlags |= FS_IMMUTABLE_FL;
  ioctl(folder, FS_IOC_SETFLAGS, &folderFlags);

  std::string message;
  try {
    Run({"autoclose"});
  } catch (const platform::Error& error) {
    message = error.what();
  }
  folderFlags &= ~FS_IMMUTABLE_FL;
  ioctl(folder, FS_IOC_SETFLAGS, &folderFlags);
  ::close(folder);
  flags &= ~FS_IMMUTABLE_FL;
  ioctl(fd, FS_IOC_SETFLAGS, &flags);
  ::close(fd);

  EXPECT_EQ(message, "Unable to write to " + ini.string());
  EXPECT_EQ(ReadFile(ini), before);
  EXPECT_EQ(window.lines, Lines({"lime: Copied - " + source.string()}));
  EXPECT_EQ(ReadTree(settingsFolder).size(), 2u) << "nothing new beside the settings";
}

// Root reads every file, so the unreadable file is copied by an ordinary user.
TEST_F(Faults, UnreadableFileIsSaidForAnOrdinaryUser) {
  if (geteuid() != 0) GTEST_SKIP() << "switching to another user needs root";
  const fs::path source = root / "photos";
  WriteFile(source / "secret.jpg", "s");
  WriteFile(source / "open.jpg", "o");
  ASSERT_EQ(chmod((source / "secret.jpg").c_str(), 0), 0);
  for (const fs::path& folder : {root.path(), settingsFolder, source})
    ASSERT_EQ(chmod(folder.c_str(), 0777), 0);
  ASSERT_EQ(chmod((settingsFolder / "settings.ini").c_str(), 0666), 0);
  Job(root / "out", {source.string()});
  ASSERT_EQ(chmod((settingsFolder / "zorbel.txt").c_str(), 0644), 0);

  int pipe[2];
  ASSERT_EQ(::pipe(pipe), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::close(pipe[0]);
    if (setresgid(65534, 65534, 65534) != 0 || setresuid(65534, 65534, 65534) != 0) _exit(2);
    RecordingWindow seen;
    Settings settings(settingsFolder);
    CombiningRun run(seen, settings, language, {});
    run.Perform();
    for (const auto& line : seen.lines) {
      const std::string record = line + "\n";
      if (::write(pipe[1], record.data(), record.size()) < 0) _exit(3);
    }
    _exit(0);
  }
  ::close(pipe[1]);
  std::string output;
  char buffer[1024];
  for (ssize_t got; (got = ::read(pipe[0], buffer, sizeof buffer)) > 0;) output.append(buffer, got);
  ::close(pipe[0]);
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
  EXPECT_EQ(output, "yellow: Error No: 13. Permission denied - " +
                        (source / "secret.jpg").string() +
                        "\nyellow: Not all files were copied - " + source.string() +
                        "\nlime: Completed!\n");
  EXPECT_EQ(ReadFile(root / "out/open.jpg"), "o");
}

TEST_F(Faults, TrashThatRefusesKeepsSourceAndCopies) {
  Tmpfs disk(root / "disk", "size=1m");
  if (!disk.mounted()) GTEST_SKIP() << disk.reason();
  const fs::path source = root / "disk/photos";
  WriteFile(source / "a.jpg", "a");
  Job(root / "out", {source.string()});
  Run({"move"});
  EXPECT_EQ(window.lines,
            Lines({"yellow: Not moved to the Trash - " + source.string(), "lime: Completed!"}));
  EXPECT_EQ(ReadTree(source), Tree({{"a.jpg", "a"}}));
  EXPECT_EQ(ReadTree(root / "out"), Tree({{"a.jpg", "a"}}));
}

// A link planted in the output folder under a name the copy will use never redirects a write.
TEST_F(Faults, PlantedLinkIsNeverFollowed) {
  const fs::path source = root / "photos";
  WriteFile(source / "a.jpg", "new");
  WriteFile(root / "victim", "precious");
  fs::create_directories(root / "out");
  for (const char* policy : {"", "createnumberedcopy", "preserveoriginalfile"}) {
    SCOPED_TRACE(policy);
    fs::remove(root / "out/a.jpg");
    fs::remove(root / "out/a (2).jpg");
    fs::create_symlink(root / "victim", root / "out/a.jpg");
    Job(root / "out", {source.string()});
    Run({policy});
    EXPECT_EQ(ReadFile(root / "victim"), "precious");
  }
}

}  // namespace
