// The program's start: find the settings through the executable's own version strings, run
// the waiting job, mark it done.
#include <iostream>
#include <string>
#include <vector>

#include "environment/settings.h"
#include "environment/translate.h"
#include "environment/versioninfo.h"
#include "job/combiningrun.h"
#include "platform/platform.h"
#include "window/silentwindow.h"

int main(int argc, char** argv) {
  try {
    const std::filesystem::path executable = platform::ExecutablePath();
    const TEXEVersionData version = ReadVersionStrings(executable);
    Settings settings(LocateSettingsFolder(executable, version.CompanyName, version.ProductName));
    // Only a job the front end marked as waiting is run; any other start ends here.
    if (settings.Action() != "1") return 0;

    const Language language;
    SilentWindow window;
    CombiningRun run(window, settings, language, std::vector<std::string>(argv + 1, argv + argc));
    run.Perform();
    return 0;
  } catch (const platform::Error& error) {
    // Without a window the terminal is the only place left to say it.
    std::cerr << "zorbel: " << error.what() << '\n';
    return 1;
  }
}
