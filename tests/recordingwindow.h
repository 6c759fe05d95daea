// A window that remembers every call the run makes, in order, as short readable events.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "job/progresswindow.h"

class RecordingWindow : public ProgressWindow {
 public:
  std::vector<std::string> events;
  std::vector<std::string> lines;  // "colour: text" of the log only
  int progressSteps = 0;
  // Called after every ProgressArtir with the number of steps so far.
  std::function<void(int)> onStep;

  void SetCaption(const std::string& caption) override { events.push_back("caption " + caption); }
  void AppendLogLine(const std::string& line, LogColour colour) override {
    const char* name = colour == LogColour::Red    ? "red"
                       : colour == LogColour::Lime ? "lime"
                                                   : "yellow";
    lines.push_back(std::string(name) + ": " + line);
    events.push_back("line " + lines.back());
  }
  void SetProgressMaximum(int maximum) override {
    events.push_back("maximum " + std::to_string(maximum));
  }
  void ProgressArtir() override {
    events.push_back("step");
    ++progressSteps;
    if (onStep) onStep(progressSteps);
  }
  // Kept apart from the events: how many arrive depends on how fast the disk is.
  std::vector<std::pair<int, double>> withinStep;  // (steps so far, fraction)
  void ProgressWithinStep(double fraction) override {
    withinStep.emplace_back(progressSteps, fraction);
  }
  void ResetProgress() override { events.push_back("reset"); }
  void HideCancelButton() override { events.push_back("hide cancel"); }
  void PumpMessages() override { events.push_back("pump"); }
  void SetTaskbarProgressFull() override { events.push_back("taskbar full"); }
  void PlaySound(SystemSound sound) override {
    events.push_back(sound == SystemSound::DefaultBeep ? "sound beep" : "sound information");
  }
  void StartAutoCloseCountdown() override { events.push_back("countdown"); }
};
