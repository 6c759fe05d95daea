// Everything the combining run asks of the window that shows it. Each call returns when done.
#pragma once

#include <string>

enum class LogColour { Red, Lime, Yellow };
enum class SystemSound { DefaultBeep, Information };

class ProgressWindow {
 public:
  virtual ~ProgressWindow() = default;

  virtual void SetCaption(const std::string& caption) = 0;
  virtual void AppendLogLine(const std::string& line, LogColour colour) = 0;
  // The position stays; the step is 1.
  virtual void SetProgressMaximum(int maximum) = 0;
  // Advances the bar and the taskbar progress by one step, then lets the window react.
  virtual void ProgressArtir() = 0;
  // How far the current step has come, 0 to 1, while one source is being copied; the next
  // ProgressArtir puts the bar exactly on the following step. A window may ignore it.
  virtual void ProgressWithinStep(double fraction) { (void)fraction; }
  virtual void ResetProgress() = 0;
  virtual void HideCancelButton() = 0;
  // Lets the window handle what is waiting (clicks, redraws).
  virtual void PumpMessages() = 0;
  virtual void SetTaskbarProgressFull() = 0;
  virtual void PlaySound(SystemSound sound) = 0;
  virtual void StartAutoCloseCountdown() = 0;
};
