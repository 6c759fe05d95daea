#include "window/zorbelmain.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QIcon>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QShortcut>
#include <QTextBlock>
#include <QTextCursor>
#include <QThread>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>
#include <array>
#include <iostream>
#include <limits>
#include <utility>

#include "environment/language.h"
#include "environment/versioninfo.h"
#include "platform/platform.h"

namespace {

constexpr const char* kApplicationTitle = "Quorvane";

// Sizes in logical pixels; Qt scales them with the monitor.
constexpr int kClientWidth = 536;
constexpr int kClientHeight = 260;
constexpr int kBarHeight = 17;
constexpr int kBarMargin = 10;
constexpr int kPanelHeight = 35;
constexpr int kButtonWidth = 119;
constexpr int kButtonHeight = 27;
constexpr int kGlyphSize = 18;
constexpr int kDetailsHeight = 300;
constexpr int kWindowFontPixels = 11;
constexpr int kLogFontPixels = 15;
constexpr int kStartDelayMs = 10;
constexpr int kAutoCloseIntervalMs = 1000;
constexpr int kLogRedrawMs = 40;
// The taskbar never claims the work is done before the run says so.
constexpr double kTaskbarCeiling = 0.95;

// One colour per kind of log line, indexed by LogColour.
constexpr std::array<QRgb, 3> kLogColours = {
    qRgb(255, 0, 0),    // LogColour::Red
    qRgb(0, 255, 0),    // LogColour::Lime
    qRgb(255, 255, 0),  // LogColour::Yellow
};

QColor ColourOf(LogColour colour) { return QColor(kLogColours[static_cast<std::size_t>(colour)]); }

}  // namespace

QIcon ProgramIcon() {
  QIcon icon;
  for (int size : {16, 24, 32, 48, 64})
    icon.addFile(QString(":/icons/zorbel-%1.png").arg(size), QSize(size, size));
  return icon;
}

// ----- TTaskbar ---------------------------------------------------------------------------

TTaskbar::TTaskbar(QObject* parent) : QObject(parent) { setObjectName("Taskbar1"); }

TTaskbar::~TTaskbar() {
  if (shown_) platform::ShowTaskbarProgress(0.0, false);
}

void TTaskbar::SetProgress(double fraction) {
  progress_ = std::clamp(fraction, 0.0, 1.0);
  shown_ = true;
  platform::ShowTaskbarProgress(progress_, true);
}

// ----- the error box ------------------------------------------------------------------------

QString ErrorBoxText(const std::string& message) {
  QString text = QString::fromUtf8(message.data(), static_cast<qsizetype>(message.size()));
  if (!text.isEmpty() && text.back() > QChar(u'.')) text += u'.';
  return text;
}

// ----- TFormNOLBE ---------------------------------------------------------------------------

TFormNOLBE::TFormNOLBE(std::vector<std::string> arguments, std::filesystem::path executable)
    : arguments_(std::move(arguments)), executable_(std::move(executable)) {
  setObjectName("FormNOLBE");
  setWindowTitle(QString());
  setWindowIcon(ProgramIcon());

  QFont windowFont = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
  windowFont.setStyleHint(QFont::SansSerif);
  windowFont.setPixelSize(kWindowFontPixels);
  setFont(windowFont);
  QPalette windowPalette = palette();
  windowPalette.setColor(QPalette::Window, windowPalette.color(QPalette::Button));
  setPalette(windowPalette);
  setAutoFillBackground(true);

  ProgressBar1 = new QProgressBar(this);
  ProgressBar1->setObjectName("ProgressBar1");
  ProgressBar1->setRange(0, 100);
  ProgressBar1->setValue(0);
  ProgressBar1->setTextVisible(false);
  ProgressBar1->setFixedHeight(kBarHeight);

  RichEdit1 = new QPlainTextEdit(this);
  RichEdit1->setObjectName("RichEdit1");
  RichEdit1->setReadOnly(true);
  RichEdit1->setUndoRedoEnabled(false);
  RichEdit1->setLineWrapMode(QPlainTextEdit::NoWrap);
  RichEdit1->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  RichEdit1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  QFont logFont = QFontDatabase::systemFont(QFontDatabase::FixedFont);
  logFont.setPixelSize(kLogFontPixels);
  RichEdit1->setFont(logFont);
  QPalette logPalette = RichEdit1->palette();
  for (QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
    logPalette.setColor(group, QPalette::Base, Qt::black);
    logPalette.setColor(group, QPalette::Text, Qt::white);
  }
  RichEdit1->setPalette(logPalette);

  Timer1 = new QTimer(this);
  Timer1->setObjectName("Timer1");
  Timer1->setInterval(kStartDelayMs);
  Timer1->setSingleShot(true);
  connect(Timer1, &QTimer::timeout, this, &TFormNOLBE::Timer1Timer);

  Panel1 = new QWidget(this);
  Panel1->setObjectName("Panel1");
  Panel1->setFixedHeight(kPanelHeight);

  BitBtn1 = new QPushButton("Hide Details", Panel1);
  BitBtn1->setObjectName("BitBtn1");
  BitBtn1->setFixedSize(kButtonWidth, kButtonHeight);
  connect(BitBtn1, &QPushButton::clicked, this, &TFormNOLBE::BitBtn1Click);

  BitBtn2 = new QPushButton("Cancel", Panel1);
  BitBtn2->setObjectName("BitBtn2");
  BitBtn2->setFixedSize(kButtonWidth, kButtonHeight);
  // Drawn pictures (PNG, with @2x copies for high-density screens): they need no image plugin.
  QIcon cross;
  cross.addFile(":/icons/cancel.png", QSize(kGlyphSize, kGlyphSize), QIcon::Normal);
  cross.addFile(":/icons/cancel-disabled.png", QSize(kGlyphSize, kGlyphSize), QIcon::Disabled);
  BitBtn2->setIcon(cross);
  BitBtn2->setIconSize(QSize(kGlyphSize, kGlyphSize));
  connect(BitBtn2, &QPushButton::clicked, this, &TFormNOLBE::BitBtn2Click);
  // Esc stands for the Cancel button while it can be pressed.
  auto* escape = new QShortcut(QKeySequence(Qt::Key_Escape), this);
  connect(escape, &QShortcut::activated, this, [this] {
    if (BitBtn2->isVisible() && BitBtn2->isEnabled()) BitBtn2->click();
  });

  Taskbar1 = new TTaskbar(this);

  TimerAutoClose = new QTimer(this);
  TimerAutoClose->setObjectName("TimerAutoClose");
  TimerAutoClose->setInterval(kAutoCloseIntervalMs);
  connect(TimerAutoClose, &QTimer::timeout, this, &TFormNOLBE::TimerAutoCloseTimer);

  // Bar on top, the buttons' panel below it, the log filling the rest. The trailing stretch
  // takes the room the log leaves when the details are hidden.
  auto* buttons = new QHBoxLayout(Panel1);
  buttons->setContentsMargins(0, 3, 0, 5);
  buttons->setSpacing(0);
  buttons->addSpacing(10);
  buttons->addWidget(BitBtn1);
  buttons->addSpacing(3 + 3);
  buttons->addWidget(BitBtn2);
  buttons->addSpacing(3);
  buttons->addStretch(1);

  auto* bar = new QVBoxLayout;
  bar->setContentsMargins(kBarMargin, kBarMargin, kBarMargin, kBarMargin);
  bar->addWidget(ProgressBar1);

  auto* window = new QVBoxLayout(this);
  window->setContentsMargins(0, 0, 0, 0);
  window->setSpacing(0);
  window->addLayout(bar);
  window->addWidget(Panel1);
  window->addWidget(RichEdit1, 1);
  window->addStretch(0);

  setTabOrder(BitBtn1, BitBtn2);
  setTabOrder(BitBtn2, RichEdit1);
  BitBtn1->setFocus();

  resize(kClientWidth, kClientHeight);
  if (const QScreen* screen = QGuiApplication::primaryScreen())
    move(screen->availableGeometry().center() - rect().center());
}

TFormNOLBE::~TFormNOLBE() {
  // No more close requests from outside once the window goes.
  closeEndpoint_.reset();
  if (worker_.joinable()) {
    // The run's thread may be waiting for this thread to draw: keep serving it until it ends.
    destroying_ = true;
    if (run_) run_->Cancel();
    while (!workerDone_.load()) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    // Serving the events may already have joined it.
    if (worker_.joinable()) worker_.join();
  }
}

QString TFormNOLBE::Tr(std::string_view english) const {
  const std::string text = language_.Translate(english);
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

bool TFormNOLBE::FormCreate() {
  try {
    if (executable_.empty()) executable_ = platform::ExecutablePath();
    const TEXEVersionData version = ReadVersionStrings(executable_);

    try {
      // The endpoint's thread asks; this window's thread closes.
      closeEndpoint_ = platform::ListenForClose([this] {
        QMetaObject::invokeMethod(
            this, [this] { close(); }, Qt::QueuedConnection);
      });
    } catch (const platform::Error& error) {
      // Without the endpoint only the front end's close request is lost; the job still runs.
      std::cerr << "zorbel: " << error.what() << '\n';
    }

    settings_ = std::make_unique<Settings>(
        LocateSettingsFolder(executable_, version.CompanyName, version.ProductName));
    if (settings_->StayOnTop() == 1) setWindowFlag(Qt::WindowStaysOnTopHint, true);
    // Only a job the front end marked as waiting is run; any other start ends here.
    if (settings_->Action() != "1") return false;
    jobWaiting_ = true;
  } catch (const platform::Error& error) {
    // Without its settings the program has no job to run.
    ShowError(error.what(), true);
    exitCode_ = 1;
    return false;
  }

  try {
    LoadLanguage(settings_->LanguageFile(), LanguagesFolderOf(executable_), language_);
  } catch (const platform::Error& error) {
    // The language stays as loading left it (no lines), so every text is English.
    ShowError(error.what(), true);
    // Closed while the box was up (by the front end's close message): the program ends before
    // its run, as a window closed before its run always does.
    return !ended_;
  }
  setWindowTitle(QString());
  BitBtn1->setText(Tr("Hide Details"));
  BitBtn2->setText(Tr("Cancel"));
  return true;
}

void TFormNOLBE::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  if (!event->spontaneous()) FormShow();
}

void TFormNOLBE::FormShow() {
  if (!run_ && jobWaiting_) Timer1->start();
}

void TFormNOLBE::Timer1Timer() {
  Timer1->stop();
  if (run_ || !jobWaiting_) return;
  run_ = std::make_unique<CombiningRun>(*this, *settings_, language_, arguments_);
  if (cancelRequested_) run_->Cancel();
  worker_ = std::thread([this] {
    std::optional<std::string> error;
    try {
      run_->Perform();
    } catch (const platform::Error& failure) {
      error = failure.what();
    } catch (const std::exception& failure) {
      // Not one of the run's own errors, but still the user's to see rather than a crash.
      error = failure.what();
    }
    workerDone_.store(true);
    QMetaObject::invokeMethod(
        this, [this, error] { RunFinished(error); }, Qt::QueuedConnection);
  });
}

void TFormNOLBE::RunFinished(const std::optional<std::string>& error) {
  if (!worker_.joinable()) return;
  worker_.join();
  if (destroying_) return;
  if (error) exitCode_ = 1;
  if (closeRequested_) {
    // The user or the front end has already closed the window and is not looking any more.
    if (error) std::cerr << "zorbel: " << *error << '\n';
    close();
    return;
  }
  if (error) ShowError(*error, false);
}

void TFormNOLBE::ShowError(const std::string& message, bool wait) {
  auto* box = new QMessageBox(QMessageBox::Critical, kApplicationTitle, ErrorBoxText(message),
                              QMessageBox::Ok, this);
  box->setAttribute(Qt::WA_DeleteOnClose);
  // Closing the window takes its box along, also one that a start is waiting on.
  errorBox_ = box;
  if (wait) {
    box->setWindowModality(Qt::ApplicationModal);
    box->exec();
  } else {
    box->open();
  }
}

void TFormNOLBE::closeEvent(QCloseEvent* event) {
  if (RunInProgress()) {
    // The run goes on to its end; the program ends after it.
    closeRequested_ = true;
    hide();
    event->ignore();
    return;
  }
  TimerAutoClose->stop();
  if (errorBox_) errorBox_->close();
  event->accept();
  if (!ended_) {
    ended_ = true;
    emit Ended(exitCode_);
  }
}

template <class Action>
void TFormNOLBE::OnWindowThread(Action&& action) {
  if (QThread::currentThread() == thread())
    action();
  else
    QMetaObject::invokeMethod(this, std::forward<Action>(action), Qt::BlockingQueuedConnection);
}

void TFormNOLBE::SetCaption(const std::string& caption) {
  OnWindowThread([&] {
    setWindowTitle(QString::fromUtf8(caption.data(), static_cast<qsizetype>(caption.size())));
  });
}

void TFormNOLBE::AppendLogLine(const std::string& line, LogColour colour) {
  OnWindowThread([&] {
    // Lines may come faster than the eye reads; the log is drawn at most every few
    // milliseconds instead of once per line, so a run of many small sources stays quick.
    if (RichEdit1->updatesEnabled()) {
      RichEdit1->setUpdatesEnabled(false);
      QTimer::singleShot(kLogRedrawMs, RichEdit1, [this] { RichEdit1->setUpdatesEnabled(true); });
    }
    // Follow the newest line only while the reader is at the end; someone who has scrolled up
    // to read stays where they are.
    QScrollBar* scroll = RichEdit1->verticalScrollBar();
    const bool follow = scroll->value() == scroll->maximum();
    QTextCharFormat format;
    format.setForeground(ColourOf(colour));
    QTextCursor cursor(RichEdit1->document());
    cursor.movePosition(QTextCursor::End);
    // The document always holds one block; the first line goes into it.
    if (logHasLines_) cursor.insertBlock();
    logHasLines_ = true;
    // Paths may hold bytes that are not UTF-8: they show as replacement characters here only.
    cursor.insertText(QString::fromUtf8(line.data(), static_cast<qsizetype>(line.size())), format);
    if (follow) scroll->setValue(scroll->maximum());
  });
}

namespace {
// While a large source is copied the bar counts in thousandths of a step.
constexpr int kFineScale = 1000;
}  // namespace

void TFormNOLBE::LeaveFineScale() {
  if (fineSteps_ == 0) return;
  const int step = fineSteps_ - 1;
  ProgressBar1->setRange(0, ProgressBar1->maximum() / kFineScale);
  ProgressBar1->setValue(step);
  fineSteps_ = 0;
}

void TFormNOLBE::ProgressWithinStep(double fraction) {
  OnWindowThread([&] {
    if (fineSteps_ == 0) {
      const int maximum = ProgressBar1->maximum();
      if (maximum <= 0 || maximum > std::numeric_limits<int>::max() / kFineScale) return;
      fineSteps_ = ProgressBar1->value() + 1;
      ProgressBar1->setRange(0, maximum * kFineScale);
    }
    const int step = fineSteps_ - 1;
    const double share = std::clamp(fraction, 0.0, 1.0);
    ProgressBar1->setValue(step * kFineScale + static_cast<int>(share * (kFineScale - 1)));
    const int maximum = ProgressBar1->maximum() / kFineScale;
    Taskbar1->SetProgress(std::min((step + share) / maximum, kTaskbarCeiling));
  });
}

void TFormNOLBE::SetProgressMaximum(int maximum) {
  OnWindowThread([&] {
    LeaveFineScale();
    const int position = std::min(ProgressBar1->value(), maximum);
    ProgressBar1->setMaximum(maximum);
    ProgressBar1->setValue(position);
  });
}

void TFormNOLBE::ProgressArtir() {
  OnWindowThread([&] {
    LeaveFineScale();
    const int maximum = ProgressBar1->maximum();
    ProgressBar1->setValue(std::min(ProgressBar1->value() + 1, maximum));
    // The taskbar shows the share of the work done, but never all of it before completion.
    const double share = maximum > 0 ? double(ProgressBar1->value()) / maximum : 0.0;
    Taskbar1->SetProgress(std::min(share, kTaskbarCeiling));
  });
  PumpMessages();
}

void TFormNOLBE::ResetProgress() {
  OnWindowThread([&] {
    LeaveFineScale();
    ProgressBar1->setValue(0);
  });
}

void TFormNOLBE::HideCancelButton() {
  OnWindowThread([&] { BitBtn2->hide(); });
}

void TFormNOLBE::PumpMessages() {
  // The run normally has a thread of its own and the window's thread keeps serving its events;
  // only a run on the window's own thread has to let them through by hand.
  if (QThread::currentThread() == thread() && !RunInProgress()) QCoreApplication::processEvents();
}

void TFormNOLBE::SetTaskbarProgressFull() {
  OnWindowThread([&] { Taskbar1->SetProgress(1.0); });
}

void TFormNOLBE::PlaySound(SystemSound sound) {
  OnWindowThread([&] {
    const platform::DesktopSound desktopSound = sound == SystemSound::DefaultBeep
                                                    ? platform::DesktopSound::Bell
                                                    : platform::DesktopSound::Information;
    if (!platform::PlayDesktopSound(desktopSound)) QApplication::beep();
  });
}

void TFormNOLBE::StartAutoCloseCountdown() {
  OnWindowThread([&] { TimerAutoClose->start(); });
}

void TFormNOLBE::BitBtn1Click() {
  layout()->activate();
  const int panelBottom = Panel1->geometry().bottom() + 1;
  if (BitBtn1->text() == Tr("Show Details")) {
    BitBtn1->setText(Tr("Hide Details"));
    RichEdit1->show();
    resize(width(), panelBottom + kDetailsHeight);
  } else {
    BitBtn1->setText(Tr("Show Details"));
    RichEdit1->hide();
    // The log's minimum height must leave the layout before the window can shrink to the panel.
    layout()->activate();
    resize(width(), panelBottom);
  }
}

void TFormNOLBE::BitBtn2Click() {
  // Noticed by the run before its next source.
  cancelRequested_ = true;
  if (run_) run_->Cancel();
}

void TFormNOLBE::TimerAutoCloseTimer() {
  if (autoCloseTicks_ < 3) {
    setWindowTitle(Tr("Auto-Closing...") + " (" + QString::number(3 - autoCloseTicks_) + ")");
  } else {
    TimerAutoClose->stop();
    close();
  }
  ++autoCloseTicks_;
}
