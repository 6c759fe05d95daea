// Where the settings and the job file live, and the keys the program reads and writes.
#pragma once

#include <filesystem>
#include <string>

#include "environment/inifile.h"

inline constexpr const char* kSettingsFileName = "settings.ini";

// The folder a program and its front end agree on, nothing created: the executable's own when a
// settings.ini stands there (portable), else <userConfig>/<company>/<product>.
std::filesystem::path SettingsFolderFor(const std::filesystem::path& executable,
                                        const std::string& companyName,
                                        const std::string& productName,
                                        const std::filesystem::path& userConfig);
// SettingsFolderFor with the user's configuration folder; the per-user folder is created one
// level at a time (for the acting user), failures ignored.
std::filesystem::path LocateSettingsFolder(const std::filesystem::path& executable,
                                           const std::string& companyName,
                                           const std::string& productName);

class Settings {
 public:
  explicit Settings(const std::filesystem::path& folder)
      : folder_(folder), file_(folder / kSettingsFileName) {}

  const std::filesystem::path& folder() const { return folder_; }
  const std::filesystem::path& filePath() const { return file_.path(); }

  int StayOnTop() const;
  std::string Action() const;
  std::string LanguageFile() const;
  // Marks the job as done: "0" under Action. Throws platform::Error("Unable to write to ...").
  void WriteActionDone();

 private:
  std::filesystem::path folder_;
  IniFile file_;
};
