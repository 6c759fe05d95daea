#include "job/jobfile.h"

#include <optional>
#include <string_view>

#include "environment/textfile.h"
#include "platform/platform.h"

namespace {

constexpr std::string_view kOutputFolderPrefix = "OutputFolder:";

}  // namespace

std::vector<std::string> LoadJobFile(const std::filesystem::path& settingsFolder) {
  // A job file that cannot be read or decoded means an empty job, not an error: the run then
  // reports the missing output folder in its own words.
  std::string bytes;
  try {
    bytes = platform::ReadFile(settingsFolder / kJobFileName);
  } catch (const platform::Error&) {
    return {};
  }
  // UTF-8 first; the default decoding is the fallback for files saved by older editors.
  std::optional<std::string> decoded = text::DecodeUtf8(bytes);
  if (!decoded) decoded = text::DecodeDefault(bytes);
  if (!decoded) return {};
  return text::SplitLines(*decoded);
}

std::string TakeOutputFolder(const std::vector<std::string>& lines) {
  if (lines.empty() || !lines.front().starts_with(kOutputFolderPrefix)) return {};
  return text::TrimControl(std::string_view(lines.front()).substr(kOutputFolderPrefix.size()));
}
