// Whose folders the program uses. Started through pkexec or sudo it runs as root for the user who
// asked; that user's settings, Trash and runtime folder are the ones the front end shares.
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace fs = std::filesystem;

namespace platform {

namespace {

std::optional<Account> AccountOf(uid_t uid) {
  long hint = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(hint > 0 ? static_cast<std::size_t>(hint) : 16384);
  passwd entry{};
  passwd* found = nullptr;
  while (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == ERANGE)
    buffer.resize(buffer.size() * 2);
  if (!found) return std::nullopt;
  return Account{found->pw_uid, found->pw_gid, found->pw_dir ? found->pw_dir : "", false};
}

}  // namespace

Account ActingUser() {
  const uid_t self = ::geteuid();
  if (self == 0) {
    // pkexec names the user in PKEXEC_UID, sudo in SUDO_UID; only a user the system knows counts.
    for (const char* variable : {"PKEXEC_UID", "SUDO_UID"}) {
      const char* value = std::getenv(variable);
      if (!value || !*value) continue;
      char* end = nullptr;
      errno = 0;
      unsigned long uid = std::strtoul(value, &end, 10);
      if (errno != 0 || *end != '\0' || uid == 0 || uid > 0xFFFFFFFEul) continue;
      if (std::optional<Account> invoking = AccountOf(static_cast<uid_t>(uid))) {
        invoking->onBehalf = true;
        return *invoking;
      }
    }
  }
  Account own = AccountOf(self).value_or(Account{self, ::getegid(), "", false});
  if (const char* home = std::getenv("HOME"); home && home[0] == '/') own.home = home;
  return own;
}

namespace {

// A folder in which only its owner can place or replace entries: owned by owner, a folder
// itself and not a link to one, writable by no one else.
bool IsPrivateFolder(const fs::path& folder, uid_t owner) {
  struct stat info {};
  if (!folder.is_absolute() || ::lstat(folder.c_str(), &info) != 0) return false;
  return S_ISDIR(info.st_mode) && info.st_uid == owner && (info.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

// A folder, links followed, that the user owns.
bool IsOwnedFolder(const char* folder, uid_t owner) {
  struct stat info {};
  return ::stat(folder, &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == owner;
}

// One of the user's base folders by the XDG rule: the variable's folder when it is absolute,
// else <home>/<underHome>. On behalf of another user the variable may be root's own (sudo -E
// keeps it), so it counts only when it names a folder that user owns; the home is the one from
// the user database, never root's HOME.
fs::path UserBaseFolder(const char* variable, const char* underHome) {
  const Account user = ActingUser();
  const char* value = std::getenv(variable);
  const bool absolute = value && value[0] == '/';
  if (!user.onBehalf) {
    if (absolute) return value;
    if (const char* home = std::getenv("HOME"); home && *home) return fs::path(home) / underHome;
  } else if (absolute && IsOwnedFolder(value, user.uid)) {
    return value;
  }
  if (user.home.empty()) return {};
  return user.home / underHome;
}

}  // namespace

fs::path UserConfigFolder() { return UserBaseFolder("XDG_CONFIG_HOME", ".config"); }

fs::path UserDataFolder() { return UserBaseFolder("XDG_DATA_HOME", ".local/share"); }

bool CreateUserFolder(const fs::path& folder, bool ownerOnly) {
  if (::mkdir(folder.c_str(), ownerOnly ? 0700 : 0777) != 0) return false;
  const Account user = ActingUser();
  if (!user.onBehalf) return true;
  // Handed over through a descriptor of the folder just made, never by following a name that
  // may have been swapped meanwhile; a folder that cannot be handed over does not stay root's.
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  const bool handedOver = fd >= 0 && ::fchown(fd, user.uid, user.gid) == 0;
  if (fd >= 0) ::close(fd);
  if (!handedOver) ::rmdir(folder.c_str());
  return handedOver;
}

fs::path RuntimeFolder() {
  const Account user = ActingUser();
  const uid_t owner = user.uid;
  if (!user.onBehalf) {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime && *runtime && IsPrivateFolder(runtime, owner)) return runtime;
  } else {
    fs::path runtime = fs::path("/run/user") / std::to_string(owner);
    if (IsPrivateFolder(runtime, owner)) return runtime;
  }
  std::error_code ignored;
  fs::path temp = fs::temp_directory_path(ignored);
  if (temp.empty()) temp = "/tmp";
  fs::path own = temp / ("zorbel-" + std::to_string(owner));
  if (::mkdir(own.c_str(), 0700) == 0) {
    if (owner != ::geteuid() && ::lchown(own.c_str(), owner, static_cast<gid_t>(-1)) != 0) {
      int error = errno;
      ::rmdir(own.c_str());
      ThrowSystemError(error);
    }
  } else if (errno != EEXIST) {
    ThrowSystemError(errno);
  }
  // Someone else may have put the name there first; a folder they own or can write, or a link,
  // would let them take the socket's place.
  if (!IsPrivateFolder(own, owner)) ThrowSystemError(EPERM);
  return own;
}

}  // namespace platform
