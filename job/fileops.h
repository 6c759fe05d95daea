// The run's own file operations: the writability probe, numbered names, the Trash, and the
// two ways of copying one source.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

#include "job/switches.h"

// Whether a new file can be created in the folder: "chk.tmp" made exclusively and removed.
// An existing chk.tmp makes the folder count as not writable.
bool IsFolderWritable(const std::filesystem::path& folder);

// The first free "name (n).ext" for n = 2, 3, ...; any entry of a name, a folder too, takes it.
std::filesystem::path NextNumberedName(const std::filesystem::path& path);

// Sends a folder to the Trash; false when nothing is there or the Trash refused.
bool RecycleFolder(const std::filesystem::path& path);

// One entry of a source that was not copied: its path in the source and why. A special file
// (FIFO, socket, device) is never opened; any other failure carries the error's text.
enum class FileProblem { CopyFailed, NotRegularFile };
using FileFailure = std::function<void(const std::filesystem::path& file, FileProblem problem,
                                       const std::string& error)>;

// Bytes of the source copied so far and its bytes in all, told while a source is copied, on the
// caller's thread and at most ten times a second.
using SourceProgress = std::function<void(std::uint64_t copied, std::uint64_t total)>;

// Every file below the source, at any depth, straight into the output folder under the
// flags' conflict policy. Throws platform::Error when the source cannot be walked.
void FlatCopy(const std::filesystem::path& source, const std::filesystem::path& outputFolder,
              const RunFlags& flags, const FileFailure& failed,
              const SourceProgress& progress = {});

// The source's contents with their folders below the output folder, replacing what is there.
void TreeCopy(const std::filesystem::path& source, const std::filesystem::path& outputFolder,
              const FileFailure& failed, const SourceProgress& progress = {});
