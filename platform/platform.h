// The operating system as the core sees it: plain functions over std::filesystem::path.
// Only this folder includes system headers; CMake picks the implementation for the target.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>

namespace platform {

// The one error type of the platform layer. Its message is what the user sees.
class Error : public std::runtime_error {
 public:
  explicit Error(const std::string& message, int code = 0)
      : std::runtime_error(message), code_(code) {}
  int code() const { return code_; }

 private:
  int code_;
};

// "System Error.  Code: <n>." + CR LF + the system's message for <n>; the run rewrites the
// first half into "Error No: <n>.".
std::string SystemErrorText(int code);
[[noreturn]] void ThrowSystemError(int code);

// ----- where things are -----------------------------------------------------------------
// The running program's own file, with links resolved.
std::filesystem::path ExecutablePath();
// The user the program works for: itself, or, when root was started through pkexec or sudo
// (PKEXEC_UID, else SUDO_UID, naming a known user other than root), the user who asked. That
// user's settings folder, Trash and runtime folder are the ones a front end shares with us.
struct Account {
  std::uint32_t uid = 0;
  std::uint32_t gid = 0;
  std::filesystem::path home;
  bool onBehalf = false;  // root working for the invoking user
};
Account ActingUser();
// Where that user's close endpoints live: $XDG_RUNTIME_DIR (/run/user/<uid> on behalf of
// another user) when it is private to the user, else <tmp>/zorbel-<uid>, made 0700. Throws Error.
std::filesystem::path RuntimeFolder();
// The acting user's configuration folder ($XDG_CONFIG_HOME, else $HOME/.config) and data folder
// ($XDG_DATA_HOME, else $HOME/.local/share); empty if unknown. On behalf of another user the
// variable counts only when it names a folder that user owns, and the fallback is below the
// home the user database gives for that user.
std::filesystem::path UserConfigFolder();
std::filesystem::path UserDataFolder();
// Once, first thing in main, before GLib or Qt is used and before any thread starts: on behalf
// of another user, lets MoveToTrash use that user's Trash (GLib takes the home and data folder
// it trashes to once per process). The process's environment stays as it was.
void UseActingUserTrash();
// Whole file as bytes; throws Error with the system's message.
std::string ReadFile(const std::filesystem::path& file);
// Replaces the file's content at once: a new file beside it, renamed over the old one. The
// old file's mode and owner carry over; a file made new on behalf of another user (see
// ActingUser) is that user's. Throws Error.
void ReplaceFileContent(const std::filesystem::path& file, const std::string& content);

// ----- tests on paths (never throw) ---------------------------------------------------------
bool FolderExists(const std::filesystem::path& path);  // follows links
bool FileExists(const std::filesystem::path& path);    // a file, not a folder; follows links
bool EntryExists(const std::filesystem::path& path);   // anything at all, links not followed

// A folder's identity on the machine, so two spellings of one folder compare equal.
struct FolderId {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  bool operator==(const FolderId&) const = default;
};
std::optional<FolderId> IdentifyFolder(const std::filesystem::path& path);
// The folder's absolute path with every link resolved; empty when it cannot be resolved.
std::filesystem::path ResolvedFolder(const std::filesystem::path& path);

// ----- folders ------------------------------------------------------------------------------
// One level; false when it could not be made (including when it exists).
bool CreateFolder(const std::filesystem::path& folder);
// One level, like CreateFolder, made 0700 with ownerOnly; made on behalf of another user, it
// belongs to that user, whose own programs must be able to write there later.
bool CreateUserFolder(const std::filesystem::path& folder, bool ownerOnly = false);
// With all missing parents; throws Error.
void CreateFolders(const std::filesystem::path& folder);

enum class EntryKind { File, Folder, FolderLink, Special };
// Entries of one folder, "." and ".." left out, in the order the file system gives them.
// Links to files count as files; links to folders as FolderLink; FIFOs, sockets and devices
// as Special. With withSizes, a file's size in bytes comes along (else 0). Throws Error when
// the folder cannot be read.
using FolderVisitor =
    std::function<void(const std::filesystem::path& name, EntryKind kind, std::uint64_t size)>;
void ListFolder(const std::filesystem::path& folder, const FolderVisitor& visit,
                bool withSizes = false);

// Validates a folder path as the walks need it: "The specified path is too long" or
// "The specified path was not found" (mustExist) as an Error.
void CheckFolderPath(const std::filesystem::path& folder, bool mustExist);

// ----- files --------------------------------------------------------------------------------
enum class Overwrite { Replace, Never };
// Copies a file's bytes, mode and times. The data goes to a file no one sees and is put in
// place only when complete, so a failure leaves neither a partial file nor a damaged target.
// With Overwrite::Never an existing entry of the target name is left alone and false is
// returned. Bytes are added to *copied as they are written, when given. Throws Error.
bool CopyFile(const std::filesystem::path& from, const std::filesystem::path& to,
              Overwrite overwrite, std::atomic<std::uint64_t>* copied = nullptr);
// Recreates a link to a folder as a link with the same target, replacing an entry of that name.
void CopyLink(const std::filesystem::path& from, const std::filesystem::path& to);
// Creates the named file exclusively, without following a link, and removes it again.
bool ProbeNewFile(const std::filesystem::path& file);

// ----- the desktop Trash ----------------------------------------------------------------------
// On behalf of another user, after UseActingUserTrash, the home Trash is that user's and what is
// made in it belongs to the user; the trashed entry keeps its owner. Throws Error with the
// desktop's message when the Trash refuses.
void MoveToTrash(const std::filesystem::path& path);

}  // namespace platform
