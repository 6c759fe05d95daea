// The progress window: the program's only window. It runs the start-up sequence, starts the
// combining run on a thread of its own, and draws what the run reports.
#pragma once

#include <QPointer>
#include <QString>
#include <QWidget>
#include <atomic>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "environment/settings.h"
#include "environment/translate.h"
#include "job/combiningrun.h"
#include "job/progresswindow.h"
#include "platform/closeendpoint.h"
#include "platform/desktop.h"

class QIcon;
class QMessageBox;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QTimer;

// The program's entry on the taskbar or dock: its progress, 0.0 to 1.0.
class TTaskbar : public QObject {
 public:
  explicit TTaskbar(QObject* parent);
  // A progress left on the dock entry would outlive the window.
  ~TTaskbar() override;

  void SetProgress(double fraction);
  double Progress() const { return progress_; }
  bool ProgressShown() const { return shown_; }

 private:
  double progress_ = 0.0;
  bool shown_ = false;
};

// The program's picture for its window and taskbar entry, in every size drawn for it.
QIcon ProgramIcon();

// The box in which the program says what went wrong: its text gets a full stop unless it ends
// in one or in a character ordered below it.
QString ErrorBoxText(const std::string& message);

class TFormNOLBE : public QWidget, public ProgressWindow {
  Q_OBJECT

 public:
  // arguments: the command line after the program's own path, for the run. executable: whose
  // version strings place the settings and beside which the Languages folder lies; empty for
  // the running program's own file.
  explicit TFormNOLBE(std::vector<std::string> arguments, std::filesystem::path executable = {});
  ~TFormNOLBE() override;

  // The start-up sequence. false: there is nothing to show and the program ends with
  // ExitCode() without running its loop.
  bool FormCreate();
  // 1 when the start-up or the run ended in an error that was shown, else 0.
  int ExitCode() const { return exitCode_; }
  const Language& language() const { return language_; }
  // The run has been started (it happens once per window).
  bool RunStarted() const { return run_ != nullptr; }
  // The run's thread has been started and has not been joined yet.
  bool RunInProgress() const { return worker_.joinable(); }

  // Components, in the window's order.
  QProgressBar* ProgressBar1;
  QPlainTextEdit* RichEdit1;
  QTimer* Timer1;
  QWidget* Panel1;
  QPushButton* BitBtn1;
  QPushButton* BitBtn2;
  TTaskbar* Taskbar1;
  QTimer* TimerAutoClose;

  // Handlers.
  void FormShow();
  void Timer1Timer();
  void ProgressArtir() override;
  void BitBtn1Click();
  void BitBtn2Click();
  void TimerAutoCloseTimer();

  // What the run asks of the window; called from the run's thread, carried out on the
  // window's own thread, each returning when done.
  void SetCaption(const std::string& caption) override;
  void AppendLogLine(const std::string& line, LogColour colour) override;
  void SetProgressMaximum(int maximum) override;
  void ProgressWithinStep(double fraction) override;
  void ResetProgress() override;
  void HideCancelButton() override;
  void PumpMessages() override;
  void SetTaskbarProgressFull() override;
  void PlaySound(SystemSound sound) override;
  void StartAutoCloseCountdown() override;

 signals:
  // The window was closed and nothing is left to do: the program ends with this code.
  void Ended(int exitCode);

 protected:
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  QString Tr(std::string_view english) const;
  template <class Action>
  void OnWindowThread(Action&& action);
  void RunFinished(const std::optional<std::string>& error);
  // Puts the bar back on whole steps after it showed a share of one.
  void LeaveFineScale();
  // Shows the error box; wait: return only once it is dismissed.
  void ShowError(const std::string& message, bool wait);

  std::vector<std::string> arguments_;
  std::filesystem::path executable_;
  std::unique_ptr<platform::CloseEndpoint> closeEndpoint_;
  std::unique_ptr<Settings> settings_;
  Language language_;
  std::unique_ptr<CombiningRun> run_;
  std::thread worker_;
  std::atomic<bool> workerDone_{false};
  bool jobWaiting_ = false;  // the start-up found Action "1": the run may start
  bool cancelRequested_ = false;
  bool closeRequested_ = false;
  bool destroying_ = false;
  bool ended_ = false;
  bool logHasLines_ = false;  // the log's first line goes into the document's empty block
  int autoCloseTicks_ = 0;
  int fineSteps_ = 0;  // while a share of a step shows: the step the bar stands on, else 0
  int exitCode_ = 0;
  QPointer<QMessageBox> errorBox_;
};
