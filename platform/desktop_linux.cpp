// The desktop's taskbar progress and sounds on Linux: the LauncherEntry signal that docks and
// panels listen for on the session bus, and the freedesktop sound theme through libcanberra.
#include <canberra.h>

#include <QDBusConnection>
#include <QDBusMessage>
#include <QString>
#include <QVariantMap>

#include <algorithm>
#include <cmath>
#include <mutex>

#include "platform/desktop.h"

namespace platform {

namespace {

// The entry is matched to the installed zorbel.desktop by this URI; the object path only has to
// stay the same for the life of the process.
constexpr char kLauncherUri[] = "application://zorbel.desktop";
constexpr char kLauncherPath[] = "/com/canonical/unity/launcherentry/zorbel";
constexpr char kLauncherInterface[] = "com.canonical.Unity.LauncherEntry";

}  // namespace

void ShowTaskbarProgress(double fraction, bool visible) {
  // The shared session connection stays open for the life of the process; without a session
  // bus it is simply not connected and nothing is sent.
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected()) return;
  if (!std::isfinite(fraction)) fraction = 0.0;
  QVariantMap properties;
  properties.insert(QStringLiteral("progress"), std::clamp(fraction, 0.0, 1.0));
  properties.insert(QStringLiteral("progress-visible"), visible);
  QDBusMessage update =
      QDBusMessage::createSignal(QString::fromLatin1(kLauncherPath),
                                 QString::fromLatin1(kLauncherInterface), QStringLiteral("Update"));
  update << QString::fromLatin1(kLauncherUri) << properties;
  bus.send(update);
}

bool PlayDesktopSound(DesktopSound sound) {
  // One context for the process: it keeps the driver open between sounds. libcanberra opens
  // the driver on the first play and tries again on the next one if that failed.
  static std::mutex guard;
  static ca_context* context = nullptr;
  std::lock_guard lock(guard);
  if (!context) {
    if (ca_context_create(&context) != CA_SUCCESS) {
      context = nullptr;
      return false;
    }
    ca_context_change_props(context, CA_PROP_APPLICATION_NAME, "Quorvane", CA_PROP_APPLICATION_ID,
                            "zorbel", nullptr);
  }
  const char* event = sound == DesktopSound::Bell ? "bell" : "dialog-information";
  return ca_context_play(context, 0, CA_PROP_EVENT_ID, event, nullptr) == CA_SUCCESS;
}

}  // namespace platform
