#include "submit/frontend.h"

#include <chrono>
#include <ostream>
#include <thread>

#include "environment/settings.h"
#include "environment/textfile.h"
#include "environment/versioninfo.h"
#include "platform/closeendpoint.h"
#include "platform/platform.h"
#include "platform/process.h"
#include "submit/commandline.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kName = "zorbel-submit";
constexpr const char* kJobFileName = "zorbel.txt";
constexpr std::string_view kSection = "Settings";
// How long a started zorbel may take to put its window up before the caller gets back control
// anyway; through pkexec a person may first have to type a password.
constexpr auto kWindowDeadline = std::chrono::seconds(30);
constexpr auto kAdminWindowDeadline = std::chrono::minutes(5);

// A failure to tell the caller about, ending zorbel-submit with status.
struct Refusal {
  int status;
  std::string message;
};

// zorbel beside this program (bin/zorbel links to the installed one), with links resolved: its
// own folder is where it looks for a portable settings.ini and its languages.
fs::path Worker() {
  const fs::path beside = platform::ExecutablePath().parent_path() / "zorbel";
  std::error_code error;
  fs::path worker = fs::canonical(beside, error);
  if (error || !platform::FileExists(worker))
    throw Refusal{kExitFailure, "cannot find zorbel at " + beside.string()};
  return worker;
}

TEXEVersionData VersionStringsOf(const fs::path& program) {
  try {
    return ReadVersionStrings(program);
  } catch (const platform::Error& error) {
    throw Refusal{kExitFailure,
                  "cannot read the version strings of " + program.string() + ": " + error.what()};
  }
}

// The settings folder zorbel will read. Started through pkexec it sees none of our environment,
// so it uses our home's configuration folder.
fs::path SettingsFolderOf(const fs::path& worker, bool admin) {
  const TEXEVersionData version = VersionStringsOf(worker);
  const platform::Account user = platform::ActingUser();
  const fs::path config = admin && !user.onBehalf && !user.home.empty()
                              ? user.home / ".config"
                              : platform::UserConfigFolder();
  return SettingsFolderFor(worker, version.CompanyName, version.ProductName, config);
}

// A window that is running a job from the same settings folder: a new job written now would be
// overwritten or marked done when that run ends. A window whose program cannot be looked at
// (another user's, such as one started through pkexec) counts, to be safe; one whose program
// carries no version strings cannot have read any settings folder.
std::optional<int> BusyWindow(const fs::path& settingsFolder) {
  for (int window : platform::ListeningWindows()) {
    const std::optional<platform::RunningProgram> program = platform::LookAtProgram(window);
    if (!program || program->configFolder.empty()) return window;
    TEXEVersionData version;
    try {
      version = ReadVersionStrings(program->image);
    } catch (const platform::Error&) {
      continue;
    }
    if (SettingsFolderFor(program->executable, version.CompanyName, version.ProductName,
                          program->configFolder) == settingsFolder)
      return window;
  }
  return std::nullopt;
}

std::string Quoted(const fs::path& path) { return "'" + path.string() + "'"; }

void WriteWhole(const fs::path& file, const std::string& content) {
  try {
    platform::ReplaceFileContent(file, content);
  } catch (const platform::Error& error) {
    throw Refusal{kExitFailure, "cannot write " + file.string() + ": " + error.what()};
  }
}

std::string SettingsWithJob(const fs::path& file, const SubmitRequest& request) {
  std::string content;
  if (platform::EntryExists(file)) {
    try {
      content = platform::ReadFile(file);
    } catch (const platform::Error& error) {
      throw Refusal{kExitFailure, "cannot read " + file.string() + ": " + error.what()};
    }
  }
  content = IniWithValue(content, kSection, "Action", "1");
  if (request.stayOnTop)
    content = IniWithValue(content, kSection, "StayOnTop", *request.stayOnTop ? "1" : "0");
  if (request.language)
    content = IniWithValue(content, kSection, "LanguageFile", *request.language);
  return content;
}

// What the job's Action mark says after zorbel ended, as the caller's exit status.
int Verdict(const fs::path& settingsFolder, int workerStatus, std::ostream& out,
            std::ostream& err) {
  const std::string action = Settings(settingsFolder).Action();
  if (action == "0") {
    out << kName << ": the run completed\n";
    return kExitSuccess;
  }
  if (workerStatus != 0) {
    err << kName << ": zorbel ended with exit status " << workerStatus
        << " and did not mark the run as completed\n";
    return kExitFailure;
  }
  out << kName << ": the run did not complete (cancelled, or closed before it began)\n";
  return kExitNotCompleted;
}

int Submit(SubmitRequest request, std::ostream& out, std::ostream& err) {
  // Every folder is checked before anything is written.
  std::vector<fs::path> folders{request.output};
  folders.insert(folders.end(), request.sources.begin(), request.sources.end());
  for (std::size_t i = 0; i < folders.size(); ++i) {
    if (folders[i].empty()) throw Refusal{kExitUsage, "an empty name is not a folder"};
    folders[i] = fs::absolute(folders[i]);
    if (std::string problem = JobLineProblem(folders[i], i == 0); !problem.empty())
      throw Refusal{kExitUsage, "cannot put " + Quoted(folders[i]) + " into a job: " + problem};
  }
  request.output = folders.front();
  request.sources.assign(folders.begin() + 1, folders.end());

  const fs::path worker = Worker();
  if (request.language) {
    if (request.language->find_first_of("\r\n") != std::string::npos)
      throw Refusal{kExitUsage, "a language name cannot hold a line break"};
    const fs::path languages = worker.parent_path() / "Languages";
    if (!request.language->empty() && !platform::FileExists(languages / *request.language))
      throw Refusal{kExitUsage,
                    "no language file " + Quoted(*request.language) + " in " + languages.string()};
  }

  const fs::path folder = SettingsFolderOf(worker, request.admin);
  try {
    // Level by level, so that under sudo every folder made is the invoking user's; whatever
    // is still missing then is made once more in one go, for the system's reason of failure.
    fs::path level;
    for (const fs::path& part : folder) {
      level /= part;
      if (!platform::FolderExists(level)) platform::CreateUserFolder(level);
    }
    platform::CreateFolders(folder);
  } catch (const platform::Error& error) {
    throw Refusal{kExitFailure, "cannot create " + folder.string() + ": " + error.what()};
  }
  // Held until the new window listens, so that two callers cannot both find the folder free.
  std::unique_ptr<platform::Lock> lock = platform::LockExclusively(folder);
  if (std::optional<int> busy = BusyWindow(folder)) {
    throw Refusal{kExitBusy, "zorbel (process " + std::to_string(*busy) +
                                 ") is still running a job from " + folder.string() +
                                 "; wait for it to end, or close it with '" + kName + " --close " +
                                 std::to_string(*busy) + "'"};
  }

  // The job first, then the mark that arms it.
  WriteWhole(folder / kJobFileName, JobFileContent(request.output, request.sources));
  WriteWhole(folder / kSettingsFileName, SettingsWithJob(folder / kSettingsFileName, request));

  std::vector<std::string> words = SwitchWords(request.flags);
  int process = 0;
  try {
    if (request.admin) {
      words.insert(words.begin(), worker.string());
      process = platform::StartProgram("pkexec", words);
    } else {
      process = platform::StartProgram(worker, words);
    }
  } catch (const platform::Error& error) {
    throw Refusal{kExitFailure, std::string("cannot start ") +
                                    (request.admin ? "pkexec" : worker.string()) + ": " +
                                    error.what()};
  }

  const auto deadline =
      std::chrono::steady_clock::now() + (request.admin ? kAdminWindowDeadline : kWindowDeadline);
  std::optional<int> ended;
  while (!(ended = platform::ProgramEnded(process, false)) && !platform::WindowListens(process) &&
         std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  lock.reset();

  if (ended) {
    // Gone before its window was up: refused by pkexec, or nothing to run.
    if (request.admin && (*ended == 126 || *ended == 127)) {
      err << kName << ": pkexec did not start zorbel (exit status " << *ended
          << "): not authorized, or the password dialog was dismissed\n";
      return kExitFailure;
    }
    return Verdict(folder, *ended, out, err);
  }
  if (!request.wait) return kExitSuccess;
  return Verdict(folder, *platform::ProgramEnded(process, true), out, err);
}

int Close(const CloseRequest& request) {
  std::optional<int> target = request.processId;
  if (!target) {
    const std::vector<int> windows = platform::ListeningWindows();
    if (windows.empty()) throw Refusal{kExitFailure, "no zorbel window is running"};
    if (windows.size() > 1) {
      std::string list;
      for (int window : windows) list += " " + std::to_string(window);
      throw Refusal{kExitFailure, "several zorbel windows are running (processes" + list +
                                      "); name one: " + kName + " --close PID"};
    }
    target = windows.front();
  }
  try {
    platform::SendCloseMessage(*target);
  } catch (const platform::Error& error) {
    throw Refusal{kExitFailure, "no zorbel window of process " + std::to_string(*target) +
                                    " is listening: " + error.what()};
  }
  return kExitSuccess;
}

}  // namespace

std::string JobLineProblem(const fs::path& folder, bool isOutputFolder) {
  const std::string& name = folder.native();
  if (name.find_first_of(std::string("\r\n\0", 3)) != std::string::npos)
    return "its name holds a line break, and a job file has one folder per line";
  if (!text::DecodeUtf8(name))
    return "its name is not valid UTF-8, and zorbel would read the whole job file differently";
  if (isOutputFolder && !name.empty() && static_cast<unsigned char>(name.back()) <= 32)
    return "its name ends in a blank or a control character, which zorbel drops";
  return {};
}

std::string JobFileContent(const fs::path& output, const std::vector<fs::path>& sources) {
  std::string content = "OutputFolder:" + output.string() + "\n";
  for (const fs::path& source : sources) content += source.string() + "\n";
  return content;
}

int RunFrontEnd(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err) {
  Request command;
  try {
    command = ParseCommandLine(arguments);
  } catch (const UsageError& error) {
    err << kName << ": " << error.what() << "\nTry '" << kName
        << " --help' for more information.\n";
    return kExitUsage;
  }
  try {
    if (std::holds_alternative<HelpRequest>(command)) {
      out << HelpText();
      return kExitSuccess;
    }
    if (std::holds_alternative<VersionRequest>(command)) {
      out << kName << " " << ZORBEL_VERSION << "\n";
      return kExitSuccess;
    }
    if (const auto* close = std::get_if<CloseRequest>(&command)) return Close(*close);
    return Submit(std::get<SubmitRequest>(command), out, err);
  } catch (const Refusal& refusal) {
    err << kName << ": " << refusal.message << "\n";
    return refusal.status;
  } catch (const platform::Error& error) {
    err << kName << ": " << error.what() << "\n";
    return kExitFailure;
  }
}
