// The progress window in this process, on Qt's offscreen screen: the start-up sequence, whole
// runs on the run's own thread read back from the widgets, cancel, the details toggle, the
// countdown, a failed Action write, closing from outside, and a log of a hundred thousand lines.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <QApplication>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTest>
#include <QTextBlock>
#include <QTimer>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <thread>

#include "environment/settings.h"
#include "tests/testsupport.h"
#include "window/zorbelmain.h"

namespace fs = std::filesystem;
using testing_support::ReadTree;
using testing_support::TempFolder;
using testing_support::Tree;
using testing_support::WriteFile;
using Lines = std::vector<std::string>;

namespace {

constexpr int kRunTimeoutMs = 30000;
// For the runs that pour a hundred thousand lines into the log, under the sanitizers too.
constexpr int kLongRunTimeoutMs = 150000;

std::string Utf8(const QString& text) { return text.toUtf8().toStdString(); }

// Serves the window's events until the condition holds. Unlike QTest::qWaitFor it never
// sleeps, so each call the run's thread makes is served at once, as the program's own loop does.
bool WaitFor(const std::function<bool()>& condition, int timeoutMs) {
  if (condition()) return true;
  QEventLoop loop;
  QTimer check;
  check.setInterval(20);
  QObject::connect(&check, &QTimer::timeout, &loop, [&] {
    if (condition()) loop.quit();
  });
  QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
  check.start();
  loop.exec();
  return condition();
}

// The longest pause of the window's event loop from construction on, as seen by a 20 ms timer:
// while the loop keeps serving, no gap between two ticks is much longer than 20 ms.
class LongestGap {
 public:
  LongestGap() {
    ticker_.setInterval(20);
    QObject::connect(&ticker_, &QTimer::timeout, [this] {
      const Clock::time_point now = Clock::now();
      longest_ = std::max(longest_, now - last_);
      last_ = now;
    });
    ticker_.start();
  }

  std::chrono::milliseconds Longest() const {
    return std::chrono::duration_cast<std::chrono::milliseconds>(longest_);
  }

 private:
  using Clock = std::chrono::steady_clock;
  QTimer ticker_;
  Clock::time_point last_ = Clock::now();
  Clock::duration longest_{};
};

// How often a widget has been painted since construction.
class PaintCount : public QObject {
 public:
  explicit PaintCount(QWidget* widget) { widget->installEventFilter(this); }
  int paints = 0;

 protected:
  bool eventFilter(QObject*, QEvent* event) override {
    if (event->type() == QEvent::Paint) ++paints;
    return false;
  }
};

// What a message box said, taken as soon as one is up; the box is then accepted.
class BoxWatcher {
 public:
  BoxWatcher() {
    timer_.setInterval(5);
    QObject::connect(&timer_, &QTimer::timeout, [this] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      if (!box) return;
      timer_.stop();
      seen = true;
      title = Utf8(box->windowTitle());
      text = Utf8(box->text());
      icon = box->icon();
      box->accept();
    });
    timer_.start();
  }

  bool seen = false;
  std::string title;
  std::string text;
  QMessageBox::Icon icon = QMessageBox::NoIcon;

 private:
  QTimer timer_;
};

// The program's files as the front end leaves them, in the portable layout: a copy of the
// built program (it carries the version table), settings.ini and the job beside it.
class Window : public ::testing::Test {
 protected:
  TempFolder root;
  fs::path bin = root / "bin";
  fs::path executable = bin / "zorbel";
  fs::path output = root / "out";
  std::unique_ptr<TFormNOLBE> form;
  bool started = false;

  void SetUp() override {
    fs::create_directories(bin);
    fs::copy_file(ZORBEL_EXECUTABLE, executable);
    WriteSettings("Action=1\n");
    Job({});
  }

  void WriteSettings(const std::string& lines) {
    WriteFile(bin / "settings.ini", "[Settings]\n" + lines);
  }

  fs::path Source(const std::string& name, const Tree& files) {
    const fs::path folder = root / name;
    fs::create_directories(folder);
    for (const auto& [rel, content] : files) WriteFile(folder / rel, content);
    return folder;
  }

  void Job(const std::vector<fs::path>& sources) {
    testing_support::WriteJobFile(bin, output, {sources.begin(), sources.end()});
  }

  void Create(const Lines& switches = {}) {
    form = std::make_unique<TFormNOLBE>(switches, executable);
    started = form->FormCreate();
  }

  // Shows the window, which starts the run, and waits until the run's thread has ended.
  void ShowAndRun(int timeoutMs = kRunTimeoutMs) {
    form->show();
    ASSERT_TRUE(WaitFor([&] { return form->RunStarted() && !form->RunInProgress(); }, timeoutMs));
  }

  // Calls action on the window's thread once the first log line is being drawn: the run's
  // thread waits inside that call, so the moment is the same in every test run.
  void AtFirstLogLine(std::function<void()> action) {
    QObject::connect(form->RichEdit1->document(), &QTextDocument::contentsChanged, form.get(),
                     [action, done = false]() mutable {
                       if (std::exchange(done, true)) return;
                       action();
                     });
  }

  // Every log line as "colour: text", the colour read from the line's own format.
  Lines Log() const {
    Lines lines;
    const QTextDocument* document = form->RichEdit1->document();
    if (document->isEmpty() && document->blockCount() == 1) return lines;
    for (QTextBlock block = document->begin(); block.isValid(); block = block.next()) {
      const QColor colour = block.begin().fragment().charFormat().foreground().color();
      const char* name = colour == QColor(255, 0, 0)     ? "red"
                         : colour == QColor(0, 255, 0)   ? "lime"
                         : colour == QColor(255, 255, 0) ? "yellow"
                                                         : "other";
      lines.push_back(std::string(name) + ": " + Utf8(block.text()));
    }
    return lines;
  }

  std::string Caption() const { return Utf8(form->windowTitle()); }
  std::string Action() const { return Settings(bin).Action(); }
};

// ----- start-up ---------------------------------------------------------------------------

struct StartCase {
  const char* name;
  std::string settings;
  bool starts;
  bool onTop;
};

class StartUp : public Window, public ::testing::WithParamInterface<StartCase> {};

TEST_P(StartUp, GatesOnActionAndPlacesTheWindow) {
  WriteSettings(GetParam().settings);
  BoxWatcher box;
  Create();
  EXPECT_EQ(started, GetParam().starts);
  EXPECT_EQ(form->windowFlags().testFlag(Qt::WindowStaysOnTopHint), GetParam().onTop);
  EXPECT_FALSE(box.seen) << box.text;
  EXPECT_EQ(form->ExitCode(), 0);
  EXPECT_EQ(Caption(), "");
  form->show();
  EXPECT_EQ(form->Timer1->isActive(), GetParam().starts) << "the run starts only for a waiting job";
}

INSTANTIATE_TEST_SUITE_P(
    Settings, StartUp,
    ::testing::Values(StartCase{"WaitingJob", "Action=1\n", true, false},
                      StartCase{"StayOnTop", "StayOnTop=1\nAction=1\n", true, true},
                      StartCase{"StayOnTopOnlyForOne", "StayOnTop=2\nAction=1\n", true, false},
                      StartCase{"NoWaitingJob", "Action=0\n", false, false},
                      StartCase{"ActionMustBeExactlyOne", "Action=11\n", false, false},
                      StartCase{"NoActionKey", "StayOnTop=1\n", false, true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Window, WithoutVersionStringsNothingRuns) {
  fs::remove(executable);
  WriteFile(executable, "not a program");
  BoxWatcher box;
  Create();
  EXPECT_FALSE(started);
  EXPECT_EQ(form->ExitCode(), 1);
  EXPECT_TRUE(box.seen);
  EXPECT_EQ(box.title, "Quorvane");
  EXPECT_EQ(box.icon, QMessageBox::Critical);
}

struct LanguageCase {
  const char* name;
  std::string file;  // the language file's bytes
  std::string box;   // what the error box says; empty: no box
  std::string hideDetails;
  std::string cancel;
};

class LanguageAtStart : public Window, public ::testing::WithParamInterface<LanguageCase> {};

TEST_P(LanguageAtStart, TranslatesCaptionsOrSaysWhyNot) {
  WriteFile(bin / "Languages/Test.lang.txt", GetParam().file);
  WriteSettings("Action=1\nLanguageFile=Test.lang.txt\n");
  BoxWatcher box;
  Create();
  EXPECT_TRUE(started) << "a language problem never stops the start";
  EXPECT_EQ(box.seen ? box.text : "", GetParam().box);
  if (box.seen) {
    EXPECT_EQ(box.title, "Quorvane");
    EXPECT_EQ(box.icon, QMessageBox::Critical);
    EXPECT_EQ(form->language().filePath, bin / "Languages/Test.lang.txt");
    EXPECT_TRUE(form->language().lines.empty());
  }
  EXPECT_EQ(Utf8(form->BitBtn1->text()), GetParam().hideDetails);
  EXPECT_EQ(Utf8(form->BitBtn2->text()), GetParam().cancel);
  EXPECT_EQ(Caption(), "");
}

// The front end's close message may arrive while the language error box waits for the person:
// the window then ends before its run, and the job stays waiting.
TEST_F(Window, ClosedWhileTheLanguageBoxIsUpEndsBeforeTheRun) {
  WriteFile(bin / "Languages/Test.lang.txt", "\xff");
  WriteSettings("Action=1\nLanguageFile=Test.lang.txt\n");
  Job({(root / "src").string()});
  WriteFile(root / "src/a.txt", "a");
  QTimer closer;
  closer.setInterval(5);
  QObject::connect(&closer, &QTimer::timeout, [&] {
    if (!QApplication::activeModalWidget()) return;
    closer.stop();
    form->close();
  });
  closer.start();
  Create();
  EXPECT_FALSE(started);
  EXPECT_FALSE(fs::exists(output));
  EXPECT_EQ(testing_support::ReadFile(bin / "settings.ini"),
            "[Settings]\nAction=1\nLanguageFile=Test.lang.txt\n");
}

INSTANTIATE_TEST_SUITE_P(
    Files, LanguageAtStart,
    ::testing::Values(
        LanguageCase{"Translated", "{Hide Details}Details ausblenden\n{Cancel}Abbrechen\n", "",
                     "Details ausblenden", "Abbrechen"},
        LanguageCase{"NotUtf8", "{Cancel}Annul\xe9\n",
                     "No mapping for the Unicode character exists in the target multi-byte "
                     "code page.",
                     "Hide Details", "Cancel"}),
    [](const auto& info) { return std::string(info.param.name); });

struct BoxTextCase {
  const char* name;
  std::string message;
  std::string shown;
};

class ErrorBox : public ::testing::TestWithParam<BoxTextCase> {};

TEST_P(ErrorBox, EndsTheTextWithAFullStop) {
  EXPECT_EQ(Utf8(ErrorBoxText(GetParam().message)), GetParam().shown);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, ErrorBox,
    ::testing::Values(BoxTextCase{"Plain", "Unable to write to /x/settings.ini",
                                  "Unable to write to /x/settings.ini."},
                      BoxTextCase{"HasOne", "Disk full.", "Disk full."},
                      BoxTextCase{"EndsBelowFullStop", "Really!", "Really!"},
                      BoxTextCase{"EndsAboveFullStop", "Code: 5:", "Code: 5:."},
                      BoxTextCase{"EndsInNonAscii", "Fehler \xc3\xa4", "Fehler \xc3\xa4."},
                      BoxTextCase{"Empty", "", ""}),
    [](const auto& info) { return std::string(info.param.name); });

// ----- whole runs -------------------------------------------------------------------------

TEST_F(Window, RunShowsEverySourceAndCompletes) {
  const fs::path a = Source("a", {{"photo.jpg", "A"}, {"deep/x.txt", "x"}});
  const fs::path missing = root / "missing";
  const fs::path b = Source("b", {{"b.txt", "B"}});
  Job({a, missing, b});
  Create();
  ASSERT_TRUE(started);
  ShowAndRun();

  EXPECT_EQ(Log(), Lines({"lime: Copied - " + a.string(),
                          "yellow: Directory not found! - " + missing.string(),
                          "lime: Copied - " + b.string(), "lime: Completed!"}));
  EXPECT_EQ(ReadTree(output), Tree({{"photo.jpg", "A"}, {"x.txt", "x"}, {"b.txt", "B"}}));
  EXPECT_EQ(form->ProgressBar1->maximum(), 4);
  EXPECT_EQ(form->ProgressBar1->value(), 4);
  EXPECT_EQ(form->Taskbar1->Progress(), 1.0);
  EXPECT_EQ(Caption(), "Completed!");
  EXPECT_TRUE(form->BitBtn2->isHidden());
  EXPECT_FALSE(form->TimerAutoClose->isActive()) << "no countdown without autoclose";
  EXPECT_TRUE(form->RichEdit1->horizontalScrollBar()->isVisible());
  EXPECT_TRUE(form->RichEdit1->verticalScrollBar()->isVisible());
  EXPECT_TRUE(form->isVisible());
  EXPECT_EQ(Action(), "0");
}

TEST_F(Window, ProgressNeverPassesItsMaximumAndTaskbarWaitsForCompletion) {
  Create();
  form->SetProgressMaximum(4);
  std::vector<double> shares;
  std::vector<int> positions;
  for (int step = 0; step < 5; ++step) {
    form->ProgressArtir();
    shares.push_back(form->Taskbar1->Progress());
    positions.push_back(form->ProgressBar1->value());
  }
  EXPECT_EQ(positions, std::vector<int>({1, 2, 3, 4, 4}));
  EXPECT_EQ(shares, std::vector<double>({0.25, 0.5, 0.75, 0.95, 0.95}));
  form->SetTaskbarProgressFull();
  EXPECT_EQ(form->Taskbar1->Progress(), 1.0);
  form->ResetProgress();
  EXPECT_EQ(form->ProgressBar1->value(), 0);
  EXPECT_EQ(form->Taskbar1->Progress(), 1.0) << "the taskbar keeps its value after a reset";
}

// A large source moves the bar and the taskbar within its step; the next step puts both back
// exactly on whole steps.
TEST_F(Window, ProgressWithinAStepReturnsToWholeSteps) {
  Create();
  form->SetProgressMaximum(4);
  form->ProgressArtir();
  form->ProgressWithinStep(0.5);
  const double barShare = double(form->ProgressBar1->value()) / form->ProgressBar1->maximum();
  EXPECT_NEAR(barShare, 1.5 / 4, 0.001);
  EXPECT_NEAR(form->Taskbar1->Progress(), 1.5 / 4, 0.001);
  form->ProgressWithinStep(1.0);
  EXPECT_LT(form->ProgressBar1->value(), 2 * form->ProgressBar1->maximum() / 4)
      << "a whole step is only ever made by the step itself";
  form->ProgressArtir();
  EXPECT_EQ(form->ProgressBar1->maximum(), 4);
  EXPECT_EQ(form->ProgressBar1->value(), 2);
  EXPECT_EQ(form->Taskbar1->Progress(), 0.5);
  form->ProgressWithinStep(0.25);
  form->ResetProgress();
  EXPECT_EQ(form->ProgressBar1->maximum(), 4);
  EXPECT_EQ(form->ProgressBar1->value(), 0);
}

enum class CancelBy { ButtonBeforeTheRun, ButtonDuringTheRun, EscapeKeyDuringTheRun };

struct CancelCase {
  const char* name;
  CancelBy how;
  bool firstSourceDone;
};

class Cancel : public Window, public ::testing::WithParamInterface<CancelCase> {};

TEST_P(Cancel, StopsBeforeTheNextSource) {
  const fs::path a = Source("a", {{"a.txt", "a"}});
  const fs::path b = Source("b", {{"b.txt", "b"}});
  Job({a, b});
  Create({"autoclose"});
  ASSERT_TRUE(started);
  switch (GetParam().how) {
    case CancelBy::ButtonBeforeTheRun:
      form->BitBtn2->click();
      break;
    case CancelBy::ButtonDuringTheRun:
      AtFirstLogLine([&] { form->BitBtn2->click(); });
      break;
    case CancelBy::EscapeKeyDuringTheRun:
      AtFirstLogLine([&] {
        QApplication::setActiveWindow(form.get());
        QTest::keyClick(form.get(), Qt::Key_Escape);
      });
      break;
  }
  ShowAndRun();

  Lines expected;
  if (GetParam().firstSourceDone) expected.push_back("lime: Copied - " + a.string());
  expected.push_back("red: CANCELED by User Request");
  EXPECT_EQ(Log(), expected);
  EXPECT_FALSE(fs::exists(output / "b.txt"));
  EXPECT_EQ(Caption(), "Canceled!");
  EXPECT_EQ(form->ProgressBar1->value(), 0);
  EXPECT_TRUE(form->BitBtn2->isHidden());
  EXPECT_FALSE(form->TimerAutoClose->isActive()) << "no countdown after a cancel";
  EXPECT_EQ(Action(), "1");
}

INSTANTIATE_TEST_SUITE_P(
    Ways, Cancel,
    ::testing::Values(CancelCase{"ButtonBeforeTheRun", CancelBy::ButtonBeforeTheRun, false},
                      CancelCase{"ButtonDuringTheRun", CancelBy::ButtonDuringTheRun, true},
                      CancelCase{"EscapeKeyDuringTheRun", CancelBy::EscapeKeyDuringTheRun, true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Window, DetailsToggleSetsTheHeightFromThePanel) {
  Create();
  ShowAndRun();
  EXPECT_EQ(form->height(), 260);
  form->BitBtn1->click();
  EXPECT_EQ(Utf8(form->BitBtn1->text()), "Show Details");
  EXPECT_TRUE(form->RichEdit1->isHidden());
  EXPECT_EQ(form->height(), 72);
  form->BitBtn1->click();
  EXPECT_EQ(Utf8(form->BitBtn1->text()), "Hide Details");
  EXPECT_TRUE(form->RichEdit1->isVisible());
  EXPECT_EQ(form->height(), 372);
  EXPECT_EQ(form->width(), 536);
}

TEST_F(Window, CountdownClosesOnTheFourthTick) {
  Create({"autoclose"});
  ShowAndRun();
  EXPECT_EQ(Caption(), "Completed!");
  ASSERT_TRUE(form->TimerAutoClose->isActive());
  EXPECT_EQ(form->TimerAutoClose->interval(), 1000);
  QSignalSpy ended(form.get(), &TFormNOLBE::Ended);
  Lines captions;
  for (int tick = 0; tick < 3; ++tick) {
    form->TimerAutoCloseTimer();
    captions.push_back(Caption());
  }
  EXPECT_EQ(captions, Lines({"Auto-Closing... (3)", "Auto-Closing... (2)", "Auto-Closing... (1)"}));
  EXPECT_TRUE(ended.isEmpty());
  form->TimerAutoCloseTimer();
  ASSERT_EQ(ended.size(), 1);
  EXPECT_EQ(ended.front().front().toInt(), 0);
  EXPECT_FALSE(form->isVisible());
}

TEST_F(Window, FailedActionWriteIsShownAndTheWindowStays) {
  const fs::path a = Source("a", {{"a.txt", "a"}});
  Job({a});
  Create({"autoclose"});
  // A folder in the settings file's place: reading it for the rewrite fails, even for root.
  AtFirstLogLine([&] {
    fs::remove(bin / "settings.ini");
    fs::create_directories(bin / "settings.ini/in the way");
  });
  ShowAndRun();

  auto* box = form->findChild<QMessageBox*>();
  ASSERT_NE(box, nullptr);
  ASSERT_TRUE(WaitFor([&] { return box->isVisible(); }, kRunTimeoutMs));
  EXPECT_EQ(Utf8(box->windowTitle()), "Quorvane");
  EXPECT_EQ(Utf8(box->text()), "Unable to write to " + (bin / "settings.ini").string() + ".");
  EXPECT_EQ(box->icon(), QMessageBox::Critical);
  EXPECT_EQ(Log(), Lines({"lime: Copied - " + a.string()}));
  EXPECT_EQ(Caption(), "Copying...");
  EXPECT_TRUE(form->BitBtn2->isVisible());
  EXPECT_FALSE(form->TimerAutoClose->isActive());
  EXPECT_TRUE(form->isVisible());

  QSignalSpy ended(form.get(), &TFormNOLBE::Ended);
  form->close();
  ASSERT_EQ(ended.size(), 1);
  EXPECT_EQ(ended.front().front().toInt(), 1);
  EXPECT_TRUE(WaitFor([&] { return form->findChild<QMessageBox*>() == nullptr; }, 5000))
      << "the box goes with the window";
}

TEST_F(Window, ClosingDuringTheRunLetsItFinish) {
  const fs::path a = Source("a", {{"a.txt", "a"}});
  const fs::path b = Source("b", {{"b.txt", "b"}});
  Job({a, b});
  Create();
  QSignalSpy ended(form.get(), &TFormNOLBE::Ended);
  AtFirstLogLine([&] {
    form->close();
    EXPECT_FALSE(form->isVisible()) << "the window goes out of sight at once";
    EXPECT_TRUE(ended.isEmpty()) << "but the program waits for the run";
  });
  ShowAndRun();
  ASSERT_TRUE(WaitFor([&] { return !ended.isEmpty(); }, kRunTimeoutMs));
  EXPECT_EQ(ended.front().front().toInt(), 0);
  EXPECT_EQ(Log(), Lines({"lime: Copied - " + a.string(), "lime: Copied - " + b.string(),
                          "lime: Completed!"}));
  EXPECT_EQ(ReadTree(output), Tree({{"a.txt", "a"}, {"b.txt", "b"}}));
  EXPECT_EQ(Action(), "0");
}

// ----- the close message ------------------------------------------------------------------

// Writes one line to the window's endpoint, as the front end does.
bool SendToEndpoint(const std::string& line) {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (!runtime) return false;
  const fs::path socketPath = fs::path(runtime) / ("TFormNOLBE." + std::to_string(::getpid()));
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s", socketPath.c_str());
  bool sent = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
              ::write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
  ::close(fd);
  return sent;
}

struct CloseCase {
  const char* name;
  std::string line;
  bool closes;
};

class CloseMessage : public Window, public ::testing::WithParamInterface<CloseCase> {};

TEST_P(CloseMessage, ClosesOnlyOnTheExactNumbers) {
  Create();
  ShowAndRun();
  QSignalSpy ended(form.get(), &TFormNOLBE::Ended);
  ASSERT_TRUE(SendToEndpoint(GetParam().line));
  if (GetParam().closes) {
    EXPECT_TRUE(WaitFor([&] { return !ended.isEmpty(); }, kRunTimeoutMs));
    EXPECT_FALSE(form->isVisible());
  } else {
    QTest::qWait(300);
    EXPECT_TRUE(ended.isEmpty());
    EXPECT_TRUE(form->isVisible());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Lines, CloseMessage,
    ::testing::Values(CloseCase{"Exact", "1025 8687639 8687639\n", true},
                      CloseCase{"OtherSecondParameter", "1025 8687639 1\n", false},
                      CloseCase{"OtherNumber", "1024 8687639 8687639\n", false}),
    [](const auto& info) { return std::string(info.param.name); });

// ----- the log view -----------------------------------------------------------------------

TEST_F(Window, LogFollowsTheEndUnlessTheReaderScrolledUp) {
  Create();
  form->show();
  for (int line = 0; line < 100; ++line) form->AppendLogLine("line", LogColour::Lime);
  QScrollBar* scroll = form->RichEdit1->verticalScrollBar();
  ASSERT_GT(scroll->maximum(), 0);
  EXPECT_EQ(scroll->value(), scroll->maximum());

  scroll->setValue(10);
  form->AppendLogLine("while reading", LogColour::Yellow);
  EXPECT_EQ(scroll->value(), 10);

  scroll->setValue(scroll->maximum());
  // Bytes that are not UTF-8 (a name as the system gave it) show as replacement characters.
  form->AppendLogLine("back at the end \xff", LogColour::Red);
  EXPECT_EQ(scroll->value(), scroll->maximum());
  EXPECT_EQ(Log().back(), "red: back at the end \xef\xbf\xbd");
}

TEST_F(Window, LongLogKeepsEveryLineAndTheWindowResponsive) {
  Create();
  ShowAndRun();
  ASSERT_EQ(Log(), Lines({"lime: Completed!"}));
  constexpr int kLines = 100000;
  // The window's thread must keep serving its own events while the lines pour in.
  const LongestGap gap;
  std::atomic<bool> done{false};
  std::thread writer([&] {
    for (int line = 0; line < kLines; ++line)
      form->AppendLogLine("Copied - /home/user/source " + std::to_string(line), LogColour::Lime);
    done = true;
  });
  const bool finished = WaitFor([&] { return done.load(); }, 120000);
  writer.join();
  ASSERT_TRUE(finished);
  EXPECT_EQ(form->RichEdit1->document()->blockCount(), 1 + kLines);
  EXPECT_EQ(Log().back(), "lime: Copied - /home/user/source 99999");
  EXPECT_LT(gap.Longest().count(), 1000);
}

// A job whose every file fails: each of the source's FIFOs gets a yellow line of its own, and
// the window keeps serving its events while those lines pour in from the run.
TEST_F(Window, RunWhoseEveryFileFailsKeepsEveryLineAndTheWindowResponsive) {
  constexpr int kFiles = 100000;
  const fs::path pipes = Source("pipes", {});
  Lines expected;
  for (int file = 0; file < kFiles; ++file) {
    const fs::path pipe = pipes / ("pipe " + std::to_string(file));
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0) << std::strerror(errno);
    expected.push_back("yellow: Not a regular file - " + pipe.string());
  }
  Job({pipes});
  Create();
  ASSERT_TRUE(started);
  const PaintCount logPaints(form->RichEdit1->viewport());
  const LongestGap gap;
  ShowAndRun(kLongRunTimeoutMs);
  EXPECT_LT(gap.Longest().count(), 2000);
  // Drawn every few tens of milliseconds while the lines come, never once per line.
  EXPECT_GT(logPaints.paints, 10);
  EXPECT_LT(logPaints.paints, kFiles / 10);

  Lines log = Log();
  ASSERT_EQ(log.size(), kFiles + 2u);
  EXPECT_EQ(log[kFiles], "yellow: Not all files were copied - " + pipes.string());
  EXPECT_EQ(log[kFiles + 1], "lime: Completed!");
  // The lines come in the order the folder lists its entries.
  log.resize(kFiles);
  std::sort(log.begin(), log.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(log, expected);
  EXPECT_TRUE(fs::is_empty(output));
  EXPECT_EQ(Caption(), "Completed!");
  EXPECT_EQ(Action(), "0");
}

}  // namespace

int main(int argc, char** argv) {
  // The window is never meant for a real screen here, and its close endpoint gets a runtime
  // folder of this process's own.
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  TempFolder runtime;
  setenv("XDG_RUNTIME_DIR", runtime.path().c_str(), 1);
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
