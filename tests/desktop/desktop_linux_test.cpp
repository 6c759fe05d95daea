// The taskbar progress as a dock sees it on the session bus, and the desktop sounds with a sound
// device that plays into nothing or with no driver at all.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDeadlineTimer>
#include <QList>
#include <QObject>
#include <QVariantMap>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/desktop.h"

namespace fs = std::filesystem;

// Collects the LauncherEntry updates that reach a connection of its own, as a dock would.
class LauncherWatcher : public QObject {
  Q_OBJECT

 public:
  explicit LauncherWatcher(QDBusConnection bus) : bus_(bus) {
    connected_ =
        bus_.connect(QString(), QString(), QStringLiteral("com.canonical.Unity.LauncherEntry"),
                     QStringLiteral("Update"), this, SLOT(Received(QDBusMessage)));
    // The match rule is sent without waiting; a call that is answered proves it is in place.
    if (connected_) bus_.interface()->isServiceRegistered(QStringLiteral("org.freedesktop.DBus"));
  }
  bool connected() const { return connected_; }

  // Waits for the next update; false when none came within five seconds.
  bool WaitForUpdate(QDBusMessage& update) {
    QDeadlineTimer deadline(5000);
    while (updates_.isEmpty() && !deadline.hasExpired())
      QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    if (updates_.isEmpty()) return false;
    update = updates_.takeFirst();
    return true;
  }

 private slots:
  void Received(const QDBusMessage& message) { updates_.append(message); }

 private:
  QDBusConnection bus_;
  bool connected_ = false;
  QList<QDBusMessage> updates_;
};

namespace {

QCoreApplication& Application() {
  static int argc = 1;
  static char name[] = "zorbel_desktop_tests";
  static char* argv[] = {name, nullptr};
  static QCoreApplication application(argc, argv);
  return application;
}

struct ProgressCase {
  const char* name;
  double fraction;
  bool visible;
  double shown;  // the progress a dock receives
};

class TaskbarProgress : public ::testing::TestWithParam<ProgressCase> {};

TEST_P(TaskbarProgress, DockReceivesUpdateForTheProgramsEntry) {
  Application();
  QDBusConnection bus =
      QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("dock"));
  ASSERT_TRUE(bus.isConnected()) << "run under dbus-run-session";
  LauncherWatcher dock(bus);
  ASSERT_TRUE(dock.connected());

  const ProgressCase& step = GetParam();
  platform::ShowTaskbarProgress(step.fraction, step.visible);
  QDBusMessage update;
  ASSERT_TRUE(dock.WaitForUpdate(update));
  EXPECT_TRUE(update.path().startsWith(QStringLiteral("/com/canonical/unity/launcherentry/")));
  EXPECT_EQ(update.signature(), QStringLiteral("sa{sv}"));
  QList<QVariant> arguments = update.arguments();
  ASSERT_EQ(arguments.size(), 2);
  EXPECT_EQ(arguments[0].toString(), QStringLiteral("application://zorbel.desktop"));
  QVariantMap properties = qdbus_cast<QVariantMap>(arguments[1].value<QDBusArgument>());
  ASSERT_TRUE(properties.contains(QStringLiteral("progress")));
  ASSERT_TRUE(properties.contains(QStringLiteral("progress-visible")));
  QVariant progress = properties.value(QStringLiteral("progress"));
  QVariant visible = properties.value(QStringLiteral("progress-visible"));
  EXPECT_EQ(progress.typeId(), QMetaType::Double);
  EXPECT_EQ(visible.typeId(), QMetaType::Bool);
  EXPECT_DOUBLE_EQ(progress.toDouble(), step.shown);
  EXPECT_EQ(visible.toBool(), step.visible);

  // The entry keeps one object path, so a dock sees one program, not one per update.
  platform::ShowTaskbarProgress(step.fraction, step.visible);
  QDBusMessage again;
  ASSERT_TRUE(dock.WaitForUpdate(again));
  EXPECT_EQ(again.path(), update.path());
  QDBusConnection::disconnectFromBus(QStringLiteral("dock"));
}

INSTANTIATE_TEST_SUITE_P(TaskbarProgress, TaskbarProgress,
                         ::testing::Values(ProgressCase{"FirstStep", 0.01, true, 0.01},
                                           ProgressCase{"Held", 0.95, true, 0.95},
                                           ProgressCase{"Completed", 1.0, true, 1.0},
                                           ProgressCase{"Hidden", 0.0, false, 0.0},
                                           ProgressCase{"AboveFullIsFull", 1.5, true, 1.0},
                                           ProgressCase{"BelowEmptyIsEmpty", -0.25, true, 0.0},
                                           ProgressCase{"NotANumberIsEmpty", std::nan(""), true,
                                                        0.0}),
                         [](const auto& info) { return std::string(info.param.name); });

// Started from a console or a service there is no session bus: the progress is simply not shown.
TEST(NoSessionBus, ProgressIsDroppedQuietly) {
  ASSERT_EQ(std::getenv("DBUS_SESSION_BUS_ADDRESS"), nullptr);
  Application();
  auto start = std::chrono::steady_clock::now();
  platform::ShowTaskbarProgress(0.5, true);
  platform::ShowTaskbarProgress(1.0, true);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}

// libcanberra keeps one context per process, so each driver setup runs in a process of its own
// (see CMakeLists.txt). HOME points to a folder with the ALSA configuration wanted.
class Sound : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "zorbel-sound-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    home_ = pattern;
    setenv("HOME", home_.c_str(), 1);
    unsetenv("XDG_CACHE_HOME");
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(home_, ignored);
  }
  fs::path home_;
};

TEST_F(Sound, PlaysThroughNullDevice) {
  std::ofstream(home_ / ".asoundrc") << "pcm.!default { type null }\n";
  setenv("CANBERRA_DRIVER", "alsa", 1);
  EXPECT_TRUE(platform::PlayDesktopSound(platform::DesktopSound::Bell));
  EXPECT_TRUE(platform::PlayDesktopSound(platform::DesktopSound::Information));
}

TEST_F(Sound, FailsQuietlyWithoutDriver) {
  setenv("CANBERRA_DRIVER", "nonexistent", 1);
  EXPECT_FALSE(platform::PlayDesktopSound(platform::DesktopSound::Bell));
  EXPECT_FALSE(platform::PlayDesktopSound(platform::DesktopSound::Information));
}

}  // namespace

#include "desktop_linux_test.moc"
