#include "gui/LauncherEntry.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QVariantMap>
#include <algorithm>

namespace app {

LauncherEntry::LauncherEntry(std::string desktopId)
    : uri_("application://" + std::move(desktopId)) {}

bool LauncherEntry::available() const { return QDBusConnection::sessionBus().isConnected(); }

void LauncherEntry::setProgress(std::optional<double> share) {
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected()) return;
  QDBusMessage signal = QDBusMessage::createSignal("/com/canonical/unity/launcherentry/tessaline",
                                                   "com.canonical.Unity.LauncherEntry", "Update");
  QVariantMap properties;
  properties["progress"] = std::clamp(share.value_or(0.0), 0.0, 1.0);
  properties["progress-visible"] = share.has_value();
  signal << QString::fromStdString(uri_) << properties;
  bus.send(signal);
}

}  // namespace app
