// Performs one job through the same combining run the program uses, without a window, and
// says how it went on one line:
//
//   zorbel_bench_drive [--no-count] OUTPUT SOURCE... [-- SWITCH...]
//
//   files=<n> bytes=<n> seconds=<run> peak_rss_kib=<n> log_lines=<n>
//
// files and bytes are the regular files found below OUTPUT after the run (--no-count skips
// that walk, for timed runs); seconds is the run alone; peak_rss_kib is the process's peak
// resident memory, taken before the walk. Every yellow or red log line follows (the first 20),
// and the exit status is 1 when there was one, so a failed run cannot pass for a fast one.
#include <stdlib.h>
#include <sys/resource.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "environment/settings.h"
#include "environment/translate.h"
#include "job/combiningrun.h"
#include "job/progresswindow.h"
#include "platform/platform.h"

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kShownLines = 20;

// Stands in for the progress window: counts the log lines and keeps the ones that are not lime.
class CountingWindow : public ProgressWindow {
 public:
  std::uint64_t lines = 0;
  std::vector<std::string> problems;

  void SetCaption(const std::string&) override {}
  void AppendLogLine(const std::string& line, LogColour colour) override {
    ++lines;
    if (colour != LogColour::Lime)
      problems.push_back((colour == LogColour::Red ? "red: " : "yellow: ") + line);
  }
  void SetProgressMaximum(int) override {}
  void ProgressArtir() override {}
  void ResetProgress() override {}
  void HideCancelButton() override {}
  void PumpMessages() override {}
  void SetTaskbarProgressFull() override {}
  void PlaySound(SystemSound) override {}
  void StartAutoCloseCountdown() override {}
};

// A settings folder of this run's own, removed with the object.
class PrivateFolder {
 public:
  PrivateFolder() {
    std::string pattern = (fs::temp_directory_path() / "zorbel-bench-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) platform::ThrowSystemError(errno);
    path_ = pattern;
  }
  ~PrivateFolder() {
    std::error_code ignored;  // a leftover settings folder is not worth failing a bench run
    fs::remove_all(path_, ignored);
  }
  PrivateFolder(const PrivateFolder&) = delete;
  PrivateFolder& operator=(const PrivateFolder&) = delete;
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

void WriteText(const fs::path& file, const std::string& text) {
  std::ofstream out(file, std::ios::binary);
  out << text;
  out.close();
  if (!out) throw std::runtime_error("cannot write " + file.string());
}

int Usage() {
  std::cerr << "usage: zorbel_bench_drive [--no-count] OUTPUT SOURCE... [-- SWITCH...]\n";
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> arguments(argv + 1, argv + argc);
  bool count = true;
  if (!arguments.empty() && arguments.front() == "--no-count") {
    count = false;
    arguments.erase(arguments.begin());
  }
  std::vector<std::string> folders, switches;
  bool inSwitches = false;
  for (const std::string& argument : arguments) {
    if (!inSwitches && argument == "--")
      inSwitches = true;
    else
      (inSwitches ? switches : folders).push_back(argument);
  }
  if (folders.size() < 2) return Usage();

  try {
    PrivateFolder settingsFolder;
    WriteText(settingsFolder.path() / kSettingsFileName, "[Settings]\nAction=1\n");
    std::string job = "OutputFolder:" + fs::absolute(folders.front()).string() + "\n";
    for (std::size_t i = 1; i < folders.size(); ++i)
      job += fs::absolute(folders[i]).string() + "\n";
    WriteText(settingsFolder.path() / "zorbel.txt", job);

    CountingWindow window;
    Settings settings(settingsFolder.path());
    const Language english;
    CombiningRun run(window, settings, english, switches);
    const auto start = std::chrono::steady_clock::now();
    run.Perform();
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);

    std::uint64_t files = 0, bytes = 0;
    if (count) {
      for (const auto& entry : fs::recursive_directory_iterator(folders.front())) {
        if (!entry.is_regular_file()) continue;
        ++files;
        bytes += entry.file_size();
      }
    }
    std::cout << "files=" << (count ? std::to_string(files) : "-")
              << " bytes=" << (count ? std::to_string(bytes) : "-") << " seconds=" << took.count()
              << " peak_rss_kib=" << usage.ru_maxrss << " log_lines=" << window.lines << "\n";
    for (std::size_t i = 0; i < window.problems.size() && i < kShownLines; ++i)
      std::cout << "  " << window.problems[i] << "\n";
    if (window.problems.size() > kShownLines)
      std::cout << "  ... and " << window.problems.size() - kShownLines << " more\n";
    return window.problems.empty() ? 0 : 1;
  } catch (const std::exception& error) {
    // Covers platform::Error from the run's final write as well as the setup above.
    std::cerr << "zorbel_bench_drive: " << error.what() << "\n";
    return 2;
  }
}
