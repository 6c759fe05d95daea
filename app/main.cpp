// The program's start: the application, its one window, and the window's event loop until the
// window says the program is done.
#include <QApplication>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "window/zorbelmain.h"

int main(int argc, char** argv) {
  // Before GLib or Qt is used and before any thread starts: started through pkexec or sudo,
  // a moved source goes to the invoking user's Trash.
  platform::UseActingUserTrash();
  QApplication app(argc, argv);
  QApplication::setApplicationDisplayName("Quorvane");
  // The taskbar entry and its progress belong to zorbel.desktop.
  QGuiApplication::setDesktopFileName("zorbel");
  QApplication::setWindowIcon(ProgramIcon());
  // The window decides when the program ends: closing it during a run only hides it, and the
  // run's thread still needs this loop until it has finished.
  app.setQuitOnLastWindowClosed(false);

  // Qt has taken its own options out of argv; what is left are the run's switch words.
  TFormNOLBE form(std::vector<std::string>(argv + 1, argv + argc));
  QObject::connect(&form, &TFormNOLBE::Ended, &app,
                   [](int exitCode) { QCoreApplication::exit(exitCode); });
  if (!form.FormCreate()) return form.ExitCode();
  form.show();
  return app.exec();
}
