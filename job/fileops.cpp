#include "job/fileops.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/platform.h"

namespace fs = std::filesystem;

namespace {

// The entries of one source in walk order, packed so that a source of half a million files
// stays small: all paths in one buffer, a few bytes of bookkeeping per entry.
class EntryList {
 public:
  enum class Kind : std::uint8_t { File, Special, FolderLink, Unreadable };

  void Add(const fs::path& path, Kind kind, std::uint64_t size = 0) {
    offsets_.push_back(paths_.size());
    paths_.append(path.native());
    kinds_.push_back(kind);
    sizes_.push_back(size);
    totalBytes_ += size;
  }
  void AddUnreadable(const fs::path& folder, const std::string& error) {
    errors_.emplace(kinds_.size(), error);
    Add(folder, Kind::Unreadable);
  }
  void Finish() {
    offsets_.push_back(paths_.size());
    paths_.shrink_to_fit();
    offsets_.shrink_to_fit();
    kinds_.shrink_to_fit();
    sizes_.shrink_to_fit();
  }

  size_t size() const { return kinds_.size(); }
  Kind kind(size_t i) const { return kinds_[i]; }
  std::string_view path(size_t i) const {
    return std::string_view(paths_).substr(offsets_[i], offsets_[i + 1] - offsets_[i]);
  }
  const std::string& error(size_t i) const { return errors_.at(i); }
  std::uint64_t totalBytes() const { return totalBytes_; }

 private:
  std::string paths_;
  std::vector<size_t> offsets_;
  std::vector<Kind> kinds_;
  std::vector<std::uint64_t> sizes_;
  std::uint64_t totalBytes_ = 0;
  std::map<size_t, std::string> errors_;  // only for folders that could not be read
};

using Kind = EntryList::Kind;

// Depth first, in the file system's order: a subfolder's files stand where the subfolder was
// met. Folders and links to folders are not listed, so a flat copy never follows a link away.
void ListFlat(const fs::path& folder, EntryList& list) {
  platform::ListFolder(
      folder,
      [&](const fs::path& name, platform::EntryKind kind, std::uint64_t size) {
        switch (kind) {
          case platform::EntryKind::Folder:
            ListFlat(folder / name, list);
            break;
          case platform::EntryKind::FolderLink:
            break;
          case platform::EntryKind::File:
            list.Add(folder / name, Kind::File, size);
            break;
          case platform::EntryKind::Special:
            list.Add(folder / name, Kind::Special);
            break;
        }
      },
      true);
}

// The tree walk makes each folder below the output folder as it meets it, so that the files
// listed for copying all have their folder when the copying starts.
void ListTree(const fs::path& from, const fs::path& to, EntryList& list) {
  platform::ListFolder(
      from,
      [&](const fs::path& name, platform::EntryKind kind, std::uint64_t size) {
        const fs::path source = from / name;
        switch (kind) {
          case platform::EntryKind::Folder:
            // An existing folder is fine; one that cannot be made shows in its files' lines.
            platform::CreateFolder(to / name);
            try {
              ListTree(source, to / name, list);
            } catch (const platform::Error& error) {
              // One unreadable subfolder is one failure among the source's entries.
              list.AddUnreadable(source, error.what());
            }
            break;
          case platform::EntryKind::FolderLink:
            list.Add(source, Kind::FolderLink);
            break;
          case platform::EntryKind::File:
            list.Add(source, Kind::File, size);
            break;
          case platform::EntryKind::Special:
            list.Add(source, Kind::Special);
            break;
        }
      },
      true);
}

// "base (n).ext" beside the path: the base is the name up to its last dot, the extension the
// rest, so "a.tar.gz" becomes "a.tar (2).gz" and ".config" becomes " (2).config".
fs::path NumberedVariant(const fs::path& path, unsigned long n) {
  const std::string name = path.filename().string();
  const size_t dot = name.rfind('.');
  const std::string base = dot == std::string::npos ? name : name.substr(0, dot);
  const std::string extension = dot == std::string::npos ? std::string() : name.substr(dot);
  return path.parent_path() / (base + " (" + std::to_string(n) + ")" + extension);
}

// Numbered names for a whole run: the numbers a name has used so far are remembered, so the
// 900th clash of one name does not probe 899 taken names again. Names are only ever taken
// during a run, so starting after the last number found taken is exact.
class NumberedNames {
 public:
  // The first name not taken on disk nor given out before.
  fs::path Next(const fs::path& target) {
    if (!Taken(target)) return Give(target);
    unsigned long& n = next_.try_emplace(target.native(), 2).first->second;
    for (;; ++n) {
      fs::path candidate = NumberedVariant(target, n);
      if (!Taken(candidate)) {
        ++n;
        return Give(candidate);
      }
    }
  }

 private:
  bool Taken(const fs::path& path) const {
    return given_.contains(path.native()) || platform::EntryExists(path);
  }
  fs::path Give(const fs::path& path) {
    given_.insert(path.native());
    return path;
  }

  std::unordered_map<std::string, unsigned long> next_;
  std::unordered_set<std::string> given_;
};

// What happened to one entry; written by the copying thread, read in list order by the run.
enum class Outcome : std::uint8_t { Pending, Done, Failed, NotRegular };

// Copies the listed entries on a few threads. Entries are shared out by the hash of their
// target name, and each thread takes its share in list order, so entries aiming at one name
// are copied one after the other exactly as a one-by-one copy would. Failures are handed to
// the caller's thread in list order.
class ParallelCopy {
 public:
  using Target = std::function<fs::path(size_t index)>;
  using Copy =
      std::function<void(size_t index, const fs::path& target, std::atomic<std::uint64_t>* copied)>;

  ParallelCopy(const EntryList& list, Target target, Copy copy)
      : list_(list), target_(std::move(target)), copy_(std::move(copy)), outcome_(list.size()) {}

  void Run(const FileFailure& failed, const SourceProgress& progress) {
    const unsigned workers = WorkerCount(list_.size());
    owner_.resize(list_.size());
    for (size_t i = 0; i < list_.size(); ++i)
      owner_[i] =
          static_cast<std::uint8_t>(std::hash<std::string>{}(target_(i).native()) % workers);

    std::vector<std::thread> threads;
    for (unsigned w = 1; w < workers; ++w) threads.emplace_back([this, w] { Work(w); });
    // The calling thread copies its own share too, then reports; with one worker it is all.
    if (workers == 1) {
      Work(0);
    } else {
      threads.emplace_back([this] { Work(0); });
    }
    Report(failed, progress);
    for (auto& thread : threads) thread.join();
  }

 private:
  static unsigned WorkerCount(size_t entries) {
    if (entries < 16) return 1;
    return std::clamp(std::thread::hardware_concurrency() * 2, 2u, 8u);
  }

  void Work(unsigned worker) {
    for (size_t i = 0; i < list_.size(); ++i) {
      if (owner_[i] != worker) continue;
      Outcome result = Outcome::Done;
      switch (list_.kind(i)) {
        case Kind::Special:
          result = Outcome::NotRegular;
          break;
        case Kind::Unreadable:
          result = Outcome::Failed;
          break;
        case Kind::File:
        case Kind::FolderLink:
          try {
            copy_(i, target_(i), &copied_);
          } catch (const platform::Error& error) {
            std::lock_guard lock(errorsMutex_);
            errors_.emplace(i, error.what());
            result = Outcome::Failed;
          }
          break;
      }
      outcome_[i].store(result);
      // Only a reporter that is actually waiting needs waking; most outcomes are read before
      // it would ever sleep.
      if (reporterWaiting_.load()) {
        { std::lock_guard lock(doneMutex_); }
        done_.notify_one();
      }
    }
  }

  // Blocks until entry i has its outcome, telling the bytes copied so far in between.
  void AwaitEntry(size_t i, const SourceProgress& progress) {
    using namespace std::chrono_literals;
    if (outcome_[i].load() != Outcome::Pending) return;
    std::unique_lock lock(doneMutex_);
    reporterWaiting_.store(true);
    while (outcome_[i].load() == Outcome::Pending) {
      if (progress && std::chrono::steady_clock::now() >= nextProgress_) {
        lock.unlock();
        progress(std::min(copied_.load(std::memory_order_relaxed), list_.totalBytes()),
                 list_.totalBytes());
        nextProgress_ = std::chrono::steady_clock::now() + 100ms;
        lock.lock();
      }
      done_.wait_until(lock, nextProgress_);
    }
    reporterWaiting_.store(false);
  }

  void Report(const FileFailure& failed, const SourceProgress& progress) {
    nextProgress_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(100);
    for (size_t i = 0; i < list_.size(); ++i) {
      AwaitEntry(i, progress);
      const Outcome result = outcome_[i].load(std::memory_order_acquire);
      if (result == Outcome::Done) continue;
      const fs::path file(list_.path(i));
      if (result == Outcome::NotRegular) {
        failed(file, FileProblem::NotRegularFile, {});
      } else if (list_.kind(i) == Kind::Unreadable) {
        failed(file, FileProblem::CopyFailed, list_.error(i));
      } else {
        std::lock_guard lock(errorsMutex_);
        failed(file, FileProblem::CopyFailed, errors_.at(i));
      }
    }
  }

  const EntryList& list_;
  Target target_;
  Copy copy_;
  std::vector<std::atomic<Outcome>> outcome_;
  std::vector<std::uint8_t> owner_;
  std::mutex errorsMutex_;
  std::map<size_t, std::string> errors_;
  std::atomic<std::uint64_t> copied_{0};
  std::mutex doneMutex_;
  std::condition_variable done_;
  std::atomic<bool> reporterWaiting_{false};
  std::chrono::steady_clock::time_point nextProgress_;
};

}  // namespace

bool IsFolderWritable(const fs::path& folder) { return platform::ProbeNewFile(folder / "chk.tmp"); }

fs::path NextNumberedName(const fs::path& path) {
  fs::path candidate = path;
  for (unsigned long n = 2; platform::EntryExists(candidate); ++n)
    candidate = NumberedVariant(path, n);
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
              const FileFailure& failed, const SourceProgress& progress) {
  platform::CheckFolderPath(source, true);
  EntryList list;
  ListFlat(source, list);
  list.Finish();
  auto plainTarget = [&](size_t i) { return outputFolder / fs::path(list.path(i)).filename(); };

  if (flags.PreserveOriginalFile) {
    // Files kept on purpose are no failure. Something that is not a file holding the name (a
    // folder, a dangling link) is.
    ParallelCopy(list, plainTarget,
                 [&](size_t i, const fs::path& target, std::atomic<std::uint64_t>* copied) {
                   if (platform::FileExists(target)) return;
                   if (!platform::CopyFile(fs::path(list.path(i)), target,
                                           platform::Overwrite::Never, copied) &&
                       !platform::FileExists(target))
                     platform::ThrowSystemError(EEXIST);
                 })
        .Run(failed, progress);
    return;
  }
  if (flags.CreateNumberedCopy) {
    // Every name is chosen first, in list order, as a one-by-one copy would choose it; then the
    // files are copied side by side under names that are all different.
    NumberedNames names;
    std::vector<std::string> chosen(list.size());
    for (size_t i = 0; i < list.size(); ++i)
      if (list.kind(i) == Kind::File) chosen[i] = names.Next(plainTarget(i)).filename().native();
    ParallelCopy(
        list, [&](size_t i) { return outputFolder / chosen[i]; },
        [&](size_t i, const fs::path& target, std::atomic<std::uint64_t>* copied) {
          // Another program may take the chosen name meanwhile; then the next free one is used.
          fs::path name = target;
          while (
              !platform::CopyFile(fs::path(list.path(i)), name, platform::Overwrite::Never, copied))
            name = NextNumberedName(name);
        })
        .Run(failed, progress);
    return;
  }
  ParallelCopy(list, plainTarget,
               [&](size_t i, const fs::path& target, std::atomic<std::uint64_t>* copied) {
                 platform::CopyFile(fs::path(list.path(i)), target, platform::Overwrite::Replace,
                                    copied);
               })
      .Run(failed, progress);
}

void TreeCopy(const fs::path& source, const fs::path& outputFolder, const FileFailure& failed,
              const SourceProgress& progress) {
  platform::CheckFolderPath(source, true);
  platform::CheckFolderPath(outputFolder, false);
  platform::CreateFolders(outputFolder);
  EntryList list;
  ListTree(source, outputFolder, list);
  list.Finish();
  const size_t prefix = source.native().size();
  ParallelCopy(
      list,
      [&](size_t i) {
        std::string_view rel = list.path(i).substr(prefix);
        while (!rel.empty() && rel.front() == '/') rel.remove_prefix(1);
        return outputFolder / fs::path(rel);
      },
      [&](size_t i, const fs::path& target, std::atomic<std::uint64_t>* copied) {
        if (list.kind(i) == Kind::FolderLink)
          platform::CopyLink(fs::path(list.path(i)), target);
        else
          platform::CopyFile(fs::path(list.path(i)), target, platform::Overwrite::Replace, copied);
      })
      .Run(failed, progress);
}
