#include "job/combiningrun.h"

#include <algorithm>
#include <climits>
#include <optional>

#include "job/fileops.h"
#include "job/jobfile.h"
#include "platform/platform.h"

namespace fs = std::filesystem;

namespace {

void ReplaceAll(std::string& text, std::string_view from, std::string_view to) {
  if (from.empty()) return;
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
}

// The output folder and every folder above it, as identities, so that a source that is or holds
// the output folder is recognised however either is spelled.
std::vector<platform::FolderId> OutputAndAncestors(const fs::path& outputFolder) {
  std::vector<platform::FolderId> chain;
  fs::path folder = platform::ResolvedFolder(outputFolder);
  while (!folder.empty()) {
    if (auto id = platform::IdentifyFolder(folder)) chain.push_back(*id);
    if (folder == folder.parent_path()) break;
    folder = folder.parent_path();
  }
  return chain;
}

}  // namespace

CombiningRun::CombiningRun(ProgressWindow& window, Settings& settings, const Language& language,
                           std::vector<std::string> arguments)
    : window_(window), settings_(settings), language_(language), arguments_(std::move(arguments)) {}

void CombiningRun::Perform() {
  flags_ = ReadSwitches(arguments_);
  window_.SetCaption(Tr(flags_.MoveMode ? "Moving..." : "Copying..."));

  std::vector<std::string> lines = LoadJobFile(settings_.folder());
  const std::string outputFolder = TakeOutputFolder(lines);
  if (outputFolder.empty()) {
    window_.AppendLogLine(Tr("Target folder is not defined!"), LogColour::Red);
  } else {
    window_.SetProgressMaximum(static_cast<int>(std::min<size_t>(lines.size(), INT_MAX)));
    window_.PumpMessages();
    if (!platform::FolderExists(outputFolder)) {
      try {
        platform::CreateFolders(outputFolder);
      } catch (const platform::Error&) {
        // The existence test right below reports a folder that could not be made.
      }
    }
    if (!platform::FolderExists(outputFolder)) {
      window_.AppendLogLine(Tr("Directory not found!") + " - " + outputFolder, LogColour::Red);
    } else if (!IsFolderWritable(outputFolder)) {
      window_.AppendLogLine(Tr("Directory is not writable!") + " - " + outputFolder,
                            LogColour::Red);
    } else {
      window_.ProgressArtir();
      if (ProcessSources(lines, outputFolder) == Ending::Cancelled) return;
    }
  }
  Complete();
}

CombiningRun::Ending CombiningRun::ProcessSources(const std::vector<std::string>& lines,
                                                  const std::string& outputFolder) {
  outputChain_ = OutputAndAncestors(outputFolder);
  for (size_t i = 1; i < lines.size(); ++i) {
    if (cancelled_.load()) {
      window_.PlaySound(SystemSound::DefaultBeep);
      window_.SetCaption(Tr("Canceled!"));
      window_.ResetProgress();
      window_.AppendLogLine(Tr("CANCELED by User Request"), LogColour::Red);
      window_.HideCancelButton();
      return Ending::Cancelled;
    }
    ProcessSource(lines[i], outputFolder);
    window_.ProgressArtir();
  }
  return Ending::Completed;
}

std::optional<std::string> CombiningRun::Refusal(const std::string& source) const {
  const auto id = platform::IdentifyFolder(source);
  if (!id || outputChain_.empty()) return std::nullopt;
  if (*id == outputChain_.front())
    return Tr("The source directory is the same as the destination directory");
  if (std::find(outputChain_.begin() + 1, outputChain_.end(), *id) != outputChain_.end())
    return Tr("The output folder lies inside this folder");
  return std::nullopt;
}

void CombiningRun::ProcessSource(const std::string& source, const std::string& outputFolder) {
  std::string errorText;
  bool succeeded = false;
  try {
    if (!platform::FolderExists(source)) {
      errorText = Tr("Directory not found!");
    } else if (auto refusal = Refusal(source)) {
      errorText = *refusal;
    } else {
      bool allCopied = true;
      const FileFailure failed = [&](const fs::path& file, FileProblem problem,
                                     const std::string& error) {
        allCopied = false;
        const std::string reason =
            problem == FileProblem::NotRegularFile ? Tr("Not a regular file") : RewriteError(error);
        window_.AppendLogLine(reason + " - " + file.string(), LogColour::Yellow);
      };
      const SourceProgress progress = [&](std::uint64_t copied, std::uint64_t total) {
        if (total > 0) window_.ProgressWithinStep(static_cast<double>(copied) / total);
      };
      if (flags_.PreserveFolderStructure)
        TreeCopy(source, outputFolder, failed, progress);
      else
        FlatCopy(source, outputFolder, flags_, failed, progress);

      // A source is only sent to the Trash when every one of its files arrived.
      if (!allCopied)
        errorText = Tr("Not all files were copied");
      else if (flags_.MoveMode && !RecycleFolder(source))
        errorText = Tr("Not moved to the Trash");
      else
        succeeded = true;
    }
  } catch (const platform::Error& error) {
    errorText = RewriteError(error.what());
  }

  if (succeeded)
    window_.AppendLogLine(Tr(flags_.MoveMode ? "Moved" : "Copied") + " - " + source,
                          LogColour::Lime);
  else
    window_.AppendLogLine(errorText + " - " + source, LogColour::Yellow);
}

void CombiningRun::Complete() {
  // Outside any handler: a failed write ends the run here and travels to the window.
  settings_.WriteActionDone();
  window_.HideCancelButton();
  window_.SetCaption(Tr("Completed!"));
  window_.AppendLogLine(Tr("Completed!"), LogColour::Lime);
  window_.PumpMessages();
  window_.SetTaskbarProgressFull();
  window_.PlaySound(SystemSound::Information);
  if (flags_.AutoClose) window_.StartAutoCloseCountdown();
}

std::string CombiningRun::RewriteError(const std::string& message) const {
  std::string text = message;
  ReplaceAll(text, "\r\n", " ");
  ReplaceAll(text, Tr("System Error.") + "  " + Tr("Code:") + " ", Tr("Error No:") + " ");
  return text;
}
