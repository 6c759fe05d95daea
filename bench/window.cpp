// Performs one job through the program's own progress window, drawn off screen unless
// QT_QPA_PLATFORM says otherwise, and says how responsive the window stayed:
//
//   zorbel_bench_window [--no-count] OUTPUT SOURCE... [-- SWITCH...]
//
//   files=<n> seconds=<run> log_lines=<n> yellow=<n> red=<n> ticks=<n> longest_gap_ms=<ms>
//   longest_gap_at_s=<s> p99_gap_ms=<ms> sleeper_longest_gap_ms=<ms> peak_rss_kib=<n>
//
// The window is the real one, set up as the front end leaves the program: a copy of the built
// program with settings.ini and the job beside it, in a folder of this run's own. A 20 ms timer
// on the window's thread notes the time between its ticks from the window's showing to the
// run's end: a loop that keeps serving shows gaps of about 20 ms; longest_gap_ms and p99_gap_ms
// say how long it was kept from its events, longest_gap_at_s when that longest gap began.
// sleeper_longest_gap_ms is the longest gap of a thread that only sleeps 20 ms at a time: what
// the machine imposed on any thread, for comparison. files counts the regular files below
// OUTPUT after the run (--no-count skips that walk); seconds is the run from the window's
// showing; peak_rss_kib is the process's peak resident memory with the whole log held, taken
// before the walk. The first 20 yellow or red log lines follow, and the exit status is 1 when
// there was one.
#include <stdlib.h>
#include <sys/resource.h>

#include <QApplication>
#include <QPlainTextEdit>
#include <QTextBlock>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "window/zorbelmain.h"

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kShownLines = 20;
constexpr int kTickMs = 20;

// The program's files in a folder of this run's own, removed with the object.
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

// Every gap between two ticks of a timer on the window's thread, in milliseconds.
class GapRecorder {
 public:
  GapRecorder() {
    ticker_.setTimerType(Qt::PreciseTimer);
    ticker_.setInterval(kTickMs);
    QObject::connect(&ticker_, &QTimer::timeout, [this] {
      const Clock::time_point now = Clock::now();
      gaps_.push_back({std::chrono::duration<double, std::milli>(now - last_).count(),
                       std::chrono::duration<double>(last_ - start_).count()});
      last_ = now;
    });
  }

  void Start() {
    start_ = last_ = Clock::now();
    ticker_.start();
  }
  void Stop() {
    ticker_.stop();
    std::sort(gaps_.begin(), gaps_.end());
  }

  std::size_t Ticks() const { return gaps_.size(); }
  double Longest() const { return gaps_.empty() ? 0.0 : gaps_.back().ms; }
  // Seconds from the start to the beginning of the longest gap.
  double LongestAt() const { return gaps_.empty() ? 0.0 : gaps_.back().at; }
  // The gap that 99 in 100 gaps do not exceed.
  double Percentile99() const {
    if (gaps_.empty()) return 0.0;
    const auto rank = static_cast<std::size_t>(std::ceil(0.99 * static_cast<double>(gaps_.size())));
    return gaps_[std::max<std::size_t>(rank, 1) - 1].ms;
  }

 private:
  using Clock = std::chrono::steady_clock;
  QTimer ticker_;
  struct Gap {
    double ms;
    double at;
    bool operator<(const Gap& other) const { return ms < other.ms; }
  };
  Clock::time_point start_, last_;
  std::vector<Gap> gaps_;
};

// The same measure on a thread that does nothing but sleep: its longest gap is what the machine
// itself imposed (other processes on the cores, a paused virtual machine), for comparison.
class SleeperGaps {
 public:
  SleeperGaps()
      : thread_([this] {
          auto last = std::chrono::steady_clock::now();
          while (!stop_.load()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(kTickMs));
            const auto now = std::chrono::steady_clock::now();
            longest_ = std::max(longest_, std::chrono::duration<double, std::milli>(now - last));
            last = now;
          }
        }) {}
  ~SleeperGaps() { Stop(); }
  SleeperGaps(const SleeperGaps&) = delete;
  SleeperGaps& operator=(const SleeperGaps&) = delete;

  // Ends the thread; the longest gap is read after this.
  void Stop() {
    stop_.store(true);
    if (thread_.joinable()) thread_.join();
  }
  double Longest() const { return longest_.count(); }

 private:
  std::atomic<bool> stop_{false};
  std::chrono::duration<double, std::milli> longest_{};
  std::thread thread_;
};

int Usage() {
  std::cerr << "usage: zorbel_bench_window [--no-count] OUTPUT SOURCE... [-- SWITCH...]\n";
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  QApplication app(argc, argv);
  app.setQuitOnLastWindowClosed(false);

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
    // The portable layout: settings.ini beside the program makes its folder the settings folder.
    PrivateFolder bin;
    const fs::path executable = bin.path() / "zorbel";
    fs::copy_file(ZORBEL_EXECUTABLE, executable);
    WriteText(bin.path() / "settings.ini", "[Settings]\nAction=1\n");
    std::string job = "OutputFolder:" + fs::absolute(folders.front()).string() + "\n";
    for (std::size_t i = 1; i < folders.size(); ++i)
      job += fs::absolute(folders[i]).string() + "\n";
    WriteText(bin.path() / "zorbel.txt", job);

    TFormNOLBE form(switches, executable);
    if (!form.FormCreate()) {
      std::cerr << "zorbel_bench_window: the window did not start the job\n";
      return 2;
    }
    GapRecorder gaps;
    SleeperGaps sleeper;
    const auto start = std::chrono::steady_clock::now();
    gaps.Start();
    form.show();
    QTimer finished;
    finished.setInterval(kTickMs);
    QObject::connect(&finished, &QTimer::timeout, [&] {
      if (form.RunStarted() && !form.RunInProgress()) app.quit();
    });
    finished.start();
    app.exec();
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    gaps.Stop();
    sleeper.Stop();
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);

    std::uint64_t lines = 0, yellow = 0, red = 0;
    std::vector<std::string> problems;
    for (QTextBlock block = form.RichEdit1->document()->begin(); block.isValid();
         block = block.next()) {
      ++lines;
      const QColor colour = block.begin().fragment().charFormat().foreground().color();
      const bool isRed = colour == QColor(255, 0, 0), isYellow = colour == QColor(255, 255, 0);
      red += isRed;
      yellow += isYellow;
      if ((isRed || isYellow) && problems.size() < kShownLines)
        problems.push_back((isRed ? "red: " : "yellow: ") + block.text().toStdString());
    }

    std::uint64_t files = 0;
    if (count) {
      for (const auto& entry : fs::recursive_directory_iterator(folders.front()))
        files += entry.is_regular_file();
    }
    std::cout << "files=" << (count ? std::to_string(files) : "-") << " seconds=" << took.count()
              << " log_lines=" << lines << " yellow=" << yellow << " red=" << red
              << " ticks=" << gaps.Ticks() << " longest_gap_ms=" << gaps.Longest()
              << " longest_gap_at_s=" << gaps.LongestAt() << " p99_gap_ms=" << gaps.Percentile99()
              << " sleeper_longest_gap_ms=" << sleeper.Longest()
              << " peak_rss_kib=" << usage.ru_maxrss << "\n";
    for (const std::string& problem : problems) std::cout << "  " << problem << "\n";
    if (yellow + red > problems.size())
      std::cout << "  ... and " << yellow + red - problems.size() << " more\n";
    if (form.ExitCode() != 0) std::cout << "  the run ended in an error box\n";
    return yellow + red == 0 && form.ExitCode() == 0 ? 0 : 1;
  } catch (const std::exception& error) {
    // Covers platform::Error and the file system's errors from the setup and the walk.
    std::cerr << "zorbel_bench_window: " << error.what() << "\n";
    return 2;
  }
}
