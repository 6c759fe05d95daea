#include "job/fileops.h"

#include <cerrno>
#include <vector>

#include "platform/platform.h"

namespace fs = std::filesystem;

namespace {

struct ListedEntry {
  fs::path path;
  platform::EntryKind kind;
};

// Depth first, in the file system's order: a subfolder's files stand where the subfolder was
// met. Folders and links to folders are not listed, so a flat copy never follows a link away.
void ListFiles(const fs::path& folder, std::vector<ListedEntry>& files) {
  platform::ListFolder(folder, [&](const fs::path& name, platform::EntryKind kind) {
    switch (kind) {
      case platform::EntryKind::Folder:
        ListFiles(folder / name, files);
        break;
      case platform::EntryKind::FolderLink:
        break;
      case platform::EntryKind::File:
      case platform::EntryKind::Special:
        files.push_back({folder / name, kind});
        break;
    }
  });
}

// Places one file under the conflict policy. A file kept on purpose is no failure.
void PlaceFlat(const fs::path& file, const fs::path& target, const RunFlags& flags) {
  if (flags.PreserveOriginalFile) {
    if (platform::FileExists(target)) return;
    if (!platform::CopyFile(file, target, platform::Overwrite::Never) &&
        !platform::FileExists(target)) {
      // Something that is not a file (a folder, a dangling link) holds the name.
      platform::ThrowSystemError(EEXIST);
    }
    return;
  }
  if (flags.CreateNumberedCopy) {
    fs::path candidate = target;
    // Another writer may take the chosen name first; then the next number is tried.
    for (;;) {
      if (platform::EntryExists(candidate)) candidate = NextNumberedName(target);
      if (platform::CopyFile(file, candidate, platform::Overwrite::Never)) return;
    }
  }
  platform::CopyFile(file, target, platform::Overwrite::Replace);
}

void TreeWalk(const fs::path& from, const fs::path& to, const FileFailure& failed) {
  platform::ListFolder(from, [&](const fs::path& name, platform::EntryKind kind) {
    const fs::path source = from / name;
    const fs::path target = to / name;
    try {
      switch (kind) {
        case platform::EntryKind::Folder:
          // An existing folder is fine; one that cannot be made shows in its files' lines.
          platform::CreateFolder(target);
          TreeWalk(source, target, failed);
          break;
        case platform::EntryKind::FolderLink:
          platform::CopyLink(source, target);
          break;
        case platform::EntryKind::File:
          platform::CopyFile(source, target, platform::Overwrite::Replace);
          break;
        case platform::EntryKind::Special:
          failed(source, FileProblem::NotRegularFile, {});
          break;
      }
    } catch (const platform::Error& error) {
      // A subfolder that cannot be read is one failure among the source's entries; the
      // others are still copied.
      failed(source, FileProblem::CopyFailed, error.what());
    }
  });
}

}  // namespace

bool IsFolderWritable(const fs::path& folder) { return platform::ProbeNewFile(folder / "chk.tmp"); }

fs::path NextNumberedName(const fs::path& path) {
  const std::string name = path.filename().string();
  const size_t dot = name.rfind('.');
  const std::string base = dot == std::string::npos ? name : name.substr(0, dot);
  const std::string extension = dot == std::string::npos ? std::string() : name.substr(dot);
  fs::path candidate = path;
  for (unsigned long n = 2; platform::EntryExists(candidate); ++n)
    candidate = path.parent_path() / (base + " (" + std::to_string(n) + ")" + extension);
  return candidate;
}

bool RecycleFolder(const fs::path& path) {
  if (!platform::EntryExists(path)) return false;
  try {
    platform::MoveToTrash(path);
    return true;
  } catch (const platform::Error&) {
    // The run says "Not moved to the Trash" for this source; the folder stays where it was.
    return false;
  }
}

void FlatCopy(const fs::path& source, const fs::path& outputFolder, const RunFlags& flags,
              const FileFailure& failed) {
  platform::CheckFolderPath(source, true);
  std::vector<ListedEntry> files;
  ListFiles(source, files);
  for (const ListedEntry& entry : files) {
    if (entry.kind == platform::EntryKind::Special) {
      failed(entry.path, FileProblem::NotRegularFile, {});
      continue;
    }
    try {
      PlaceFlat(entry.path, outputFolder / entry.path.filename(), flags);
    } catch (const platform::Error& error) {
      failed(entry.path, FileProblem::CopyFailed, error.what());
    }
  }
}

void TreeCopy(const fs::path& source, const fs::path& outputFolder, const FileFailure& failed) {
  platform::CheckFolderPath(source, true);
  platform::CheckFolderPath(outputFolder, false);
  platform::CreateFolders(outputFolder);
  TreeWalk(source, outputFolder, failed);
}
