#include "environment/settings.h"

#include "platform/platform.h"

namespace {
constexpr std::string_view kSection = "Settings";
}

std::filesystem::path SettingsFolderFor(const std::filesystem::path& executable,
                                        const std::string& companyName,
                                        const std::string& productName,
                                        const std::filesystem::path& userConfig) {
  const std::filesystem::path own = executable.parent_path();
  if (platform::FileExists(own / kSettingsFileName)) return own;
  return userConfig / companyName / productName;
}

std::filesystem::path LocateSettingsFolder(const std::filesystem::path& executable,
                                           const std::string& companyName,
                                           const std::string& productName) {
  const std::filesystem::path config = platform::UserConfigFolder();
  const std::filesystem::path folder =
      SettingsFolderFor(executable, companyName, productName, config);
  if (folder == executable.parent_path()) return folder;

  // One level at a time; a folder that exists already, or cannot be made, is no error here:
  // reading a missing settings.ini simply finds no job. Made on behalf of another user, the
  // folders are that user's, so the user's own front end can write there.
  platform::CreateUserFolder(config / companyName);
  platform::CreateUserFolder(config / companyName / productName);
  return folder;
}

int Settings::StayOnTop() const { return file_.ReadInteger(kSection, "StayOnTop", 0); }

std::string Settings::Action() const { return file_.ReadString(kSection, "Action", ""); }

std::string Settings::LanguageFile() const {
  return file_.ReadString(kSection, "LanguageFile", "");
}

void Settings::WriteActionDone() { file_.WriteString(kSection, "Action", "0"); }
