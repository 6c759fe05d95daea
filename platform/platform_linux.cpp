// The Linux side of the platform layer.
#include <gio/gio.h>  // before anything that might bring Qt's macros along

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <random>
#include <string_view>

#include "platform/platform.h"

namespace fs = std::filesystem;

namespace platform {

namespace {

// Closes a descriptor on every way out.
class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  Fd& operator=(Fd&& other) noexcept {
    if (this != &other) {
      if (fd_ >= 0) ::close(fd_);
      fd_ = other.fd_;
      other.fd_ = -1;
    }
    return *this;
  }
  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  // Closes now and reports the error a deferred write may only show here.
  int Close() {
    int result = ::close(fd_);
    fd_ = -1;
    return result;
  }

 private:
  int fd_;
};

int OpenRetrying(const char* path, int flags, mode_t mode = 0) {
  int fd;
  do {
    fd = ::open(path, flags | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

void WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t written = ::write(fd, data, size);
    if (written < 0) {
      if (errno == EINTR) continue;
      ThrowSystemError(errno);
    }
    data += written;
    size -= static_cast<size_t>(written);
  }
}

// A name for a file that is not yet meant to be seen, beside the file it will become.
fs::path HiddenSibling(const fs::path& target) {
  static thread_local std::mt19937_64 random{std::random_device{}()};
  char suffix[20];
  std::snprintf(suffix, sizeof suffix, "%016llx", static_cast<unsigned long long>(random()));
  return target.parent_path() / (".zorbel-" + std::string(suffix) + ".part");
}

// Moves data with the fastest path the file systems allow: shared extents, then an in-kernel
// copy, then plain reads and writes. Counts what is written into *copied as it goes, in pieces
// small enough that a very large file still shows movement.
void CopyData(int from, dev_t fromDevice, int to, off_t size, std::atomic<std::uint64_t>* copied) {
  auto count = [copied](std::uint64_t bytes) {
    if (copied) copied->fetch_add(bytes, std::memory_order_relaxed);
  };
  // A file system that cannot share extents says so for every file; ask it once.
  static std::atomic<dev_t> noSharing{0};
  if (size > 0 && noSharing.load(std::memory_order_relaxed) != fromDevice) {
    if (::ioctl(to, FICLONE, from) == 0) {
      count(static_cast<std::uint64_t>(size));
      return;
    }
    if (errno == EOPNOTSUPP || errno == ENOTTY)
      noSharing.store(fromDevice, std::memory_order_relaxed);
  }

  constexpr off_t kPiece = 64 * 1024 * 1024;
  off_t done = 0;
  while (done < size) {
    ssize_t moved = ::copy_file_range(from, nullptr, to, nullptr,
                                      static_cast<size_t>(std::min(size - done, kPiece)), 0);
    if (moved < 0) {
      if (errno == EINTR) continue;
      if (errno == EXDEV || errno == EOPNOTSUPP || errno == ENOSYS || errno == EINVAL) break;
      ThrowSystemError(errno);
    }
    if (moved == 0) break;  // the file became shorter than it was; the read loop settles it
    done += moved;
    count(static_cast<std::uint64_t>(moved));
  }
  // The whole size arrived: a file that changed meanwhile is caught by the caller's second
  // look at it, so no further read is needed.
  if (done == size && size > 0) return;
  // Whatever is left, and anything a growing file added, goes through plain reads.
  if (::lseek(from, done, SEEK_SET) < 0 || ::lseek(to, done, SEEK_SET) < 0) ThrowSystemError(errno);
  std::array<char, 256 * 1024> buffer;
  for (;;) {
    ssize_t got = ::read(from, buffer.data(), buffer.size());
    if (got < 0) {
      if (errno == EINTR) continue;
      ThrowSystemError(errno);
    }
    if (got == 0) break;
    WriteAll(to, buffer.data(), static_cast<size_t>(got));
    count(static_cast<std::uint64_t>(got));
  }
}

// A new file no one can see yet, in the target's folder: an unnamed O_TMPFILE file where the
// file system has them, else an exclusively created hidden name.
struct PendingFile {
  Fd fd;
  fs::path visibleName;  // empty for an unnamed file

  void Discard() {
    if (!visibleName.empty()) ::unlink(visibleName.c_str());
  }
};

std::unique_ptr<PendingFile> CreatePending(const fs::path& target) {
  auto pending = std::make_unique<PendingFile>();
  fs::path folder = target.parent_path();
  if (folder.empty()) folder = ".";
  int fd = OpenRetrying(folder.c_str(), O_TMPFILE | O_WRONLY, 0600);
  if (fd >= 0) {
    pending->fd = Fd(fd);
    return pending;
  }
  if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) ThrowSystemError(errno);
  for (int attempt = 0; attempt < 100; ++attempt) {
    fs::path name = HiddenSibling(target);
    fd = OpenRetrying(name.c_str(), O_CREAT | O_EXCL | O_NOFOLLOW | O_WRONLY, 0600);
    if (fd >= 0) {
      pending->fd = Fd(fd);
      pending->visibleName = name;
      return pending;
    }
    if (errno != EEXIST) ThrowSystemError(errno);
  }
  ThrowSystemError(EEXIST);
}

// Gives a finished pending file its name. Returns false when Overwrite::Never meets an entry.
bool Publish(PendingFile& pending, const fs::path& target, Overwrite overwrite) {
  fs::path linked = pending.visibleName;
  if (linked.empty()) {
    const std::string self = "/proc/self/fd/" + std::to_string(pending.fd.get());
    // Linking straight to the target never replaces anything.
    if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, target.c_str(), AT_SYMLINK_FOLLOW) == 0)
      return true;
    if (errno != EEXIST) ThrowSystemError(errno);
    if (overwrite == Overwrite::Never) return false;
    for (int attempt = 0;; ++attempt) {
      linked = HiddenSibling(target);
      if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, linked.c_str(), AT_SYMLINK_FOLLOW) == 0) break;
      if (errno != EEXIST || attempt == 100) ThrowSystemError(errno);
    }
    pending.visibleName = linked;
  }
  if (overwrite == Overwrite::Never) {
    if (::link(linked.c_str(), target.c_str()) != 0) {
      int error = errno;
      if (error == EEXIST) return false;
      ThrowSystemError(error);
    }
    ::unlink(linked.c_str());
    pending.visibleName.clear();
    return true;
  }
  if (::rename(linked.c_str(), target.c_str()) != 0) ThrowSystemError(errno);
  pending.visibleName.clear();
  return true;
}

}  // namespace

std::string SystemErrorText(int code) {
  if (code == 0) return "A call to an OS function failed";
  return "System Error.  Code: " + std::to_string(code) + ".\r\n" + std::strerror(code);
}

void ThrowSystemError(int code) { throw Error(SystemErrorText(code), code); }

fs::path ExecutablePath() {
  std::error_code error;
  fs::path self = fs::read_symlink("/proc/self/exe", error);
  if (error) ThrowSystemError(error.value());
  return self;
}

std::string ReadFile(const fs::path& file) {
  // Non-blocking, so a FIFO planted under a settings or language name cannot stall the start.
  Fd fd(OpenRetrying(file.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY));
  if (!fd) ThrowSystemError(errno);
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0) ThrowSystemError(errno);
  if (!S_ISREG(info.st_mode)) ThrowSystemError(S_ISDIR(info.st_mode) ? EISDIR : EINVAL);
  std::string content;
  std::array<char, 64 * 1024> buffer;
  for (;;) {
    ssize_t got = ::read(fd.get(), buffer.data(), buffer.size());
    if (got < 0) {
      if (errno == EINTR) continue;
      ThrowSystemError(errno);
    }
    if (got == 0) break;
    content.append(buffer.data(), static_cast<size_t>(got));
  }
  return content;
}

void ReplaceFileContent(const fs::path& file, const std::string& content) {
  struct stat old {};
  const bool existed = ::stat(file.c_str(), &old) == 0;
  fs::path temporary;
  Fd fd;
  for (int attempt = 0; attempt < 100 && !fd; ++attempt) {
    temporary = HiddenSibling(file);
    fd = Fd(OpenRetrying(temporary.c_str(), O_CREAT | O_EXCL | O_NOFOLLOW | O_WRONLY, 0644));
    if (!fd && errno != EEXIST) ThrowSystemError(errno);
  }
  if (!fd) ThrowSystemError(EEXIST);
  try {
    WriteAll(fd.get(), content.data(), content.size());
    if (existed) {
      if (::fchmod(fd.get(), old.st_mode & 07777) != 0) ThrowSystemError(errno);
      // Only root can give a file away; for anyone else the owner is already right.
      if (::geteuid() == 0 && ::fchown(fd.get(), old.st_uid, old.st_gid) != 0)
        ThrowSystemError(errno);
    } else if (const Account user = ActingUser(); user.onBehalf) {
      // A new file made for the user who asked is theirs, like the folders made for them.
      if (::fchown(fd.get(), user.uid, user.gid) != 0) ThrowSystemError(errno);
    }
    if (::fsync(fd.get()) != 0) ThrowSystemError(errno);
    if (fd.Close() != 0) ThrowSystemError(errno);
    if (::rename(temporary.c_str(), file.c_str()) != 0) ThrowSystemError(errno);
  } catch (const Error&) {
    ::unlink(temporary.c_str());
    throw;
  }
}

bool FolderExists(const fs::path& path) {
  struct stat info {};
  return !path.empty() && ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool FileExists(const fs::path& path) {
  struct stat info {};
  return !path.empty() && ::stat(path.c_str(), &info) == 0 && !S_ISDIR(info.st_mode);
}

bool EntryExists(const fs::path& path) {
  struct stat info {};
  return !path.empty() && ::lstat(path.c_str(), &info) == 0;
}

std::optional<FolderId> IdentifyFolder(const fs::path& path) {
  struct stat info {};
  if (path.empty() || ::stat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode))
    return std::nullopt;
  return FolderId{static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino)};
}

fs::path ResolvedFolder(const fs::path& path) {
  std::error_code error;
  fs::path resolved = fs::canonical(path, error);
  return error ? fs::path() : resolved;
}

bool CreateFolder(const fs::path& folder) { return ::mkdir(folder.c_str(), 0777) == 0; }

void CreateFolders(const fs::path& folder) {
  std::error_code error;
  fs::create_directories(folder, error);
  if (error) ThrowSystemError(error.value());
}

void ListFolder(const fs::path& folder, const FolderVisitor& visit, bool withSizes) {
  std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(folder.c_str()), ::closedir);
  if (!dir) ThrowSystemError(errno);
  const int dirFd = ::dirfd(dir.get());
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(dir.get());
    if (!entry) {
      if (errno != 0) ThrowSystemError(errno);
      break;
    }
    const char* name = entry->d_name;
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
    // The kernel usually says what an entry is; a stat is only spent where it does not, where
    // a link must be followed, or where the size is wanted.
    unsigned char type = entry->d_type;
    struct stat info {};
    bool haveInfo = false;
    if (type == DT_UNKNOWN || (withSizes && type == DT_REG)) {
      if (::fstatat(dirFd, name, &info, AT_SYMLINK_NOFOLLOW) != 0) {
        type = DT_REG;  // gone or unreadable: copying it will say which
      } else {
        haveInfo = true;
        type = S_ISDIR(info.st_mode)   ? DT_DIR
               : S_ISLNK(info.st_mode) ? DT_LNK
               : S_ISREG(info.st_mode) ? DT_REG
                                       : DT_FIFO;
      }
    }
    EntryKind kind = EntryKind::Special;
    if (type == DT_REG) {
      kind = EntryKind::File;
    } else if (type == DT_DIR) {
      kind = EntryKind::Folder;
    } else if (type == DT_LNK) {
      // A link counts as what it points to; a dangling link is a file whose copy will fail.
      haveInfo = ::fstatat(dirFd, name, &info, 0) == 0;
      if (!haveInfo || S_ISREG(info.st_mode))
        kind = EntryKind::File;
      else if (S_ISDIR(info.st_mode))
        kind = EntryKind::FolderLink;
    }
    const std::uint64_t size =
        haveInfo && kind == EntryKind::File ? static_cast<std::uint64_t>(info.st_size) : 0;
    visit(fs::path(name), kind, size);
  }
}

void CheckFolderPath(const fs::path& folder, bool mustExist) {
  std::error_code error;
  fs::path absolute = fs::absolute(folder, error);
  if (error) ThrowSystemError(error.value());
  if (absolute.native().size() >= PATH_MAX) throw Error("The specified path is too long");
  if (mustExist && !FolderExists(absolute)) throw Error("The specified path was not found");
}

bool CopyFile(const fs::path& from, const fs::path& to, Overwrite overwrite,
              std::atomic<std::uint64_t>* copied) {
  Fd source(OpenRetrying(from.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK));
  if (!source) ThrowSystemError(errno);
  struct stat info {};
  if (::fstat(source.get(), &info) != 0) ThrowSystemError(errno);
  // A FIFO or device swapped in after the listing is still never read.
  if (!S_ISREG(info.st_mode)) ThrowSystemError(S_ISDIR(info.st_mode) ? EISDIR : EINVAL);
  if (overwrite == Overwrite::Never && EntryExists(to)) return false;

  auto pending = CreatePending(to);
  try {
    CopyData(source.get(), info.st_dev, pending->fd.get(), info.st_size, copied);
    // A file written to while it was read would land as a mix of old and new data; it is
    // reported instead, so its source is never sent to the Trash on the strength of it.
    struct stat after {};
    if (::fstat(source.get(), &after) != 0) ThrowSystemError(errno);
    if (after.st_size != info.st_size || after.st_mtim.tv_sec != info.st_mtim.tv_sec ||
        after.st_mtim.tv_nsec != info.st_mtim.tv_nsec)
      throw Error("The file changed while it was copied");
    if (::fchmod(pending->fd.get(), info.st_mode & 01777) != 0) ThrowSystemError(errno);
    const timespec times[2] = {info.st_atim, info.st_mtim};
    if (::futimens(pending->fd.get(), times) != 0) ThrowSystemError(errno);
    bool placed = Publish(*pending, to, overwrite);
    if (!placed) pending->Discard();
    return placed;
  } catch (const Error&) {
    pending->Discard();
    throw;
  }
}

void CopyLink(const fs::path& from, const fs::path& to) {
  std::error_code error;
  fs::path target = fs::read_symlink(from, error);
  if (error) ThrowSystemError(error.value());
  fs::path temporary = HiddenSibling(to);
  if (::symlink(target.c_str(), temporary.c_str()) != 0) ThrowSystemError(errno);
  if (::rename(temporary.c_str(), to.c_str()) != 0) {
    int code = errno;
    ::unlink(temporary.c_str());
    ThrowSystemError(code);
  }
}

bool ProbeNewFile(const fs::path& file) {
  Fd fd(OpenRetrying(file.c_str(), O_CREAT | O_EXCL | O_NOFOLLOW | O_RDWR, 0600));
  if (!fd) return false;
  ::unlink(file.c_str());
  return true;
}

namespace {

std::optional<std::string> Variable(const char* name) {
  const char* value = std::getenv(name);
  return value ? std::optional<std::string>(value) : std::nullopt;
}

void Restore(const char* name, const std::optional<std::string>& value) {
  if (value)
    ::setenv(name, value->c_str(), 1);
  else
    ::unsetenv(name);
}

// The acting user's home Trash, when GLib trashes to it on that user's behalf (see
// UseActingUserTrash); empty otherwise. GIO running as root would make the Trash folders root's;
// here the missing ones are made for the user first, whether or not this entry goes there.
fs::path PrepareUserTrash(const Account& user) {
  if (!user.onBehalf) return {};
  const fs::path data = g_get_user_data_dir();
  if (data.empty() || data != UserDataFolder()) return {};
  const fs::path trash = data / "Trash";
  // The data folder's parent only matters for <home>/.local/share; elsewhere it exists.
  for (const fs::path& level : {data.parent_path(), data, trash, trash / "files", trash / "info"})
    CreateUserFolder(level, true);
  return trash;
}

// GIO writes each .trashinfo as root, readable by root alone: the user's desktop could neither
// list nor restore the entry. Every such file in the user's info folder is handed over; a link,
// or a file with a second name that might lie elsewhere, is left alone. The entry is in the Trash
// by now, so a file that cannot be handed over does not make the move a failure.
void HandOverInfoFiles(const fs::path& trash, const Account& user) {
  const fs::path info = trash / "info";
  std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(info.c_str()), ::closedir);
  if (!dir) return;
  while (const dirent* entry = ::readdir(dir.get())) {
    if (!std::string_view(entry->d_name).ends_with(".trashinfo")) continue;
    Fd file(::openat(::dirfd(dir.get()), entry->d_name, O_PATH | O_NOFOLLOW | O_CLOEXEC));
    struct stat state {};
    if (!file || ::fstat(file.get(), &state) != 0) continue;
    if (S_ISREG(state.st_mode) && state.st_uid == ::geteuid() && state.st_nlink == 1)
      ::fchownat(file.get(), "", user.uid, user.gid, AT_EMPTY_PATH);
  }
}

}  // namespace

void UseActingUserTrash() {
  const Account user = ActingUser();
  if (!user.onBehalf) return;
  const fs::path data = UserDataFolder();
  if (user.home.empty() || data.empty()) return;
  // g_file_trash picks the home Trash by comparing with g_get_home_dir() and puts it below
  // g_get_user_data_dir(); GLib reads both from the environment on first use and keeps them.
  // Shown the user's folders just for that first use, it keeps those, while Qt and everything
  // else still find root's HOME and write no root-owned caches into the user's home.
  const std::optional<std::string> home = Variable("HOME"), dataHome = Variable("XDG_DATA_HOME");
  ::setenv("HOME", user.home.c_str(), 1);
  ::setenv("XDG_DATA_HOME", data.c_str(), 1);
  g_get_home_dir();
  g_get_user_data_dir();
  Restore("HOME", home);
  Restore("XDG_DATA_HOME", dataHome);
}

void MoveToTrash(const fs::path& path) {
  const Account user = ActingUser();
  const fs::path userTrash = PrepareUserTrash(user);
  GFile* file = g_file_new_for_path(path.c_str());
  GError* error = nullptr;
  const gboolean trashed = g_file_trash(file, nullptr, &error);
  g_object_unref(file);
  if (trashed) {
    if (!userTrash.empty()) HandOverInfoFiles(userTrash, user);
    return;
  }
  std::string message = error ? error->message : "The Trash refused the folder";
  const int code = error && error->domain == G_IO_ERROR ? error->code : 0;
  if (error) g_error_free(error);
  throw Error(message, code);
}

}  // namespace platform
