#include "submit/commandline.h"

#include <algorithm>
#include <charconv>

namespace {

// The options that only switch something on; each has a short form for bundling ("-tn").
struct FlagOption {
  char shortName;
  const char* longName;
  bool RunFlags::*runFlag;       // or
  bool SubmitRequest::*ownFlag;  // one of the two is set
};
constexpr FlagOption kFlagOptions[] = {
    {'m', "move", &RunFlags::MoveMode, nullptr},
    {'t', "tree", &RunFlags::PreserveFolderStructure, nullptr},
    {'k', "keep", &RunFlags::PreserveOriginalFile, nullptr},
    {'n', "numbered", &RunFlags::CreateNumberedCopy, nullptr},
    {'a', "autoclose", &RunFlags::AutoClose, nullptr},
    {'w', "wait", nullptr, &SubmitRequest::wait},
    {'\0', "admin", nullptr, &SubmitRequest::admin},
};

void SetFlag(SubmitRequest& request, const FlagOption& option) {
  if (option.runFlag) request.flags.*option.runFlag = true;
  if (option.ownFlag) request.*option.ownFlag = true;
}

std::optional<int> ParseProcessId(std::string_view text) {
  int value = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc() || end != text.data() + text.size() || value <= 0)
    return std::nullopt;
  return value;
}

}  // namespace

Request ParseCommandLine(const std::vector<std::string>& arguments) {
  SubmitRequest request;
  std::vector<std::string> operands;
  bool close = false;
  std::optional<int> closeProcess;
  bool optionsEnded = false;

  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    if (optionsEnded || argument.size() < 2 || argument[0] != '-') {
      operands.push_back(argument);
      continue;
    }
    if (argument == "--") {
      optionsEnded = true;
      continue;
    }
    if (argument.starts_with("--")) {
      std::string name = argument.substr(2);
      std::optional<std::string> attached;
      if (std::size_t equals = name.find('='); equals != std::string::npos) {
        attached = name.substr(equals + 1);
        name.resize(equals);
      }
      auto noValue = [&] {
        if (attached) throw UsageError("option '--" + name + "' doesn't allow an argument");
      };
      if (name == "help") return HelpRequest{};
      if (name == "version") return VersionRequest{};
      const auto flag = std::find_if(std::begin(kFlagOptions), std::end(kFlagOptions),
                                     [&](const FlagOption& o) { return name == o.longName; });
      if (flag != std::end(kFlagOptions)) {
        noValue();
        SetFlag(request, *flag);
      } else if (name == "stay-on-top" || name == "no-stay-on-top") {
        noValue();
        request.stayOnTop = name == "stay-on-top";
      } else if (name == "language") {
        if (!attached) {
          if (i + 1 == arguments.size())
            throw UsageError("option '--language' requires an argument");
          attached = arguments[++i];
        }
        request.language = *attached;
      } else if (name == "close") {
        close = true;
        // The process id may follow as the next word, or after "=".
        if (attached) {
          closeProcess = ParseProcessId(*attached);
          if (!closeProcess) throw UsageError("invalid process id '" + *attached + "'");
        } else if (i + 1 < arguments.size() && ParseProcessId(arguments[i + 1])) {
          closeProcess = ParseProcessId(arguments[++i]);
        }
      } else {
        throw UsageError("unrecognized option '" + argument + "'");
      }
      continue;
    }
    // Short options, bundled or not: "-t -n" is "-tn".
    for (std::size_t c = 1; c < argument.size(); ++c) {
      if (argument[c] == 'h') return HelpRequest{};
      const auto flag = std::find_if(
          std::begin(kFlagOptions), std::end(kFlagOptions),
          [&](const FlagOption& o) { return o.shortName != '\0' && o.shortName == argument[c]; });
      if (flag == std::end(kFlagOptions))
        throw UsageError(std::string("invalid option -- '") + argument[c] + "'");
      SetFlag(request, *flag);
    }
  }

  if (close) {
    if (!operands.empty() || request.flags != RunFlags{} || request.wait || request.admin ||
        request.stayOnTop || request.language)
      throw UsageError("--close takes no other options and no folders");
    return CloseRequest{closeProcess};
  }
  if (operands.empty()) throw UsageError("missing output folder");
  if (operands.size() == 1)
    throw UsageError("missing source folder after '" + operands.front() + "'");
  request.output = operands.front();
  request.sources.assign(operands.begin() + 1, operands.end());
  return request;
}

std::string HelpText() {
  return R"(Usage: zorbel-submit [OPTION]... OUTPUT SOURCE...
  or:  zorbel-submit --close [PID]
Copy every SOURCE folder into the OUTPUT folder, one after the other, in zorbel's
progress window. By default the files of all sources land side by side in OUTPUT
(subfolders are flattened) and a file of the same name already there is replaced.

  -m, --move            move: a source goes to the Trash once all of its files
                          are copied; a source with a file that failed stays
  -t, --tree            keep each source's folders instead of flattening them;
                          a file of the same name already there is replaced
  -k, --keep            never replace a file already in OUTPUT; the newcomer is
                          left out (flat copies)
  -n, --numbered        keep both: store the newcomer as 'name (2).ext', the next
                          as 'name (3).ext' (flat copies)
  -a, --autoclose       close the window by itself a few seconds after the run
  -w, --wait            wait until zorbel ends, then say whether the run completed
      --close [PID]     ask the running zorbel window (the only one, or the one
                          of process PID) to close; its run still finishes
      --admin           start zorbel with administrator rights, through pkexec
      --stay-on-top     keep the window above other windows (remembered)
      --no-stay-on-top  let other windows cover it again (remembered)
      --language=NAME   the window's language: a file of zorbel's Languages
                          folder, such as German.lang.txt; empty: your own
                          language (remembered)
  -h, --help            display this help and exit
      --version         output version information and exit

Relative folders are taken from the current folder. zorbel-submit writes the job
into zorbel's settings folder (beside zorbel when a settings.ini stands there,
else ~/.config/Olvandi/Quorvane) and starts zorbel; without --wait it returns as
soon as the window is up. Cancel in the window stops the job between sources.

Exit status:
 0  the job was handed to zorbel (with --wait: the run completed)
 1  a failure: a file could not be written, zorbel could not be started
 2  wrong usage, or a folder that cannot be written into a job
 3  with --wait: the run did not complete (cancelled, or closed before it began)
 4  a zorbel window is still running a job from the same settings folder

Examples:
  zorbel-submit --numbered ~/Combined ~/Photos/2019 ~/Phone ~/Scans
      put the files of three folders side by side, keeping every clashing file
  zorbel-submit --move --tree /mnt/backup/old ~/Projects ~/Letters
      move two folders, with their subfolders, to the backup disk
  zorbel-submit --close
      close the window; the job still finishes
)";
}
