// The combining run: one pass over the job's sources, each copied or moved into the output
// folder and reported in one coloured log line.
#pragma once

#include <atomic>
#include <optional>
#include <string>
#include <vector>

#include "environment/settings.h"
#include "environment/translate.h"
#include "job/progresswindow.h"
#include "job/switches.h"
#include "platform/platform.h"

class CombiningRun {
 public:
  // arguments: the command line after the program's own path.
  CombiningRun(ProgressWindow& window, Settings& settings, const Language& language,
               std::vector<std::string> arguments);

  // Performs the run once. Throws platform::Error when Action cannot be written at the end;
  // the window is then left as the run had it.
  void Perform();

  // Safe from any thread; noticed before the next source.
  void Cancel() { cancelled_.store(true); }
  bool Cancelled() const { return cancelled_.load(); }

  const RunFlags& Flags() const { return flags_; }

 private:
  enum class Ending { Completed, Cancelled };
  Ending ProcessSources(const std::vector<std::string>& lines, const std::string& outputFolder);
  void ProcessSource(const std::string& source, const std::string& outputFolder);
  // Why a source must not be touched: it is the output folder or holds it.
  std::optional<std::string> Refusal(const std::string& source) const;
  void Complete();
  std::string RewriteError(const std::string& message) const;
  std::string Tr(std::string_view english) const { return language_.Translate(english); }

  ProgressWindow& window_;
  Settings& settings_;
  const Language& language_;
  std::vector<std::string> arguments_;
  RunFlags flags_;
  std::vector<platform::FolderId> outputChain_;  // the output folder, then its parents
  std::atomic<bool> cancelled_{false};
};
