// Stands in for the progress window until the window exists: the run's calls land here and
// show nothing.
#pragma once

#include "job/progresswindow.h"

class SilentWindow final : public ProgressWindow {
 public:
  void SetCaption(const std::string&) override {}
  void AppendLogLine(const std::string&, LogColour) override {}
  void SetProgressMaximum(int) override {}
  void ProgressArtir() override {}
  void ResetProgress() override {}
  void HideCancelButton() override {}
  void PumpMessages() override {}
  void SetTaskbarProgressFull() override {}
  void PlaySound(SystemSound) override {}
  void StartAutoCloseCountdown() override {}
};
