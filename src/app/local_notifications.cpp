#include "app/local_notifications.h"

#include <QDBusConnection>
#include <QDBusInterface>
#include <QDBusReply>
#include <QTimeZone>
#include <QVariantMap>
#include <algorithm>

#include "platform/log.h"
#include "platform/paths.h"
#include "platform/preferences.h"

namespace est {
namespace {

constexpr const char* kScheduleKey = "scheduled";

// One notification per line of text: fire time in milliseconds, badge, repeat, zone, sound, body.
std::string encode(const LocalNotification& n) {
  long long ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(n.fireDate.time_since_epoch()).count();
  return std::to_string(ms) + '\t' + std::to_string(n.applicationIconBadgeNumber) + '\t' +
         std::to_string(n.repeatInterval) + '\t' + n.timeZone + '\t' + n.soundName + '\t' +
         n.alertBody;
}

std::optional<LocalNotification> decode(const std::string& text) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (int i = 0; i < 5; ++i) {
    size_t tab = text.find('\t', start);
    if (tab == std::string::npos) return std::nullopt;
    parts.push_back(text.substr(start, tab - start));
    start = tab + 1;
  }
  parts.push_back(text.substr(start));
  LocalNotification n;
  try {
    n.fireDate = TimePoint(std::chrono::milliseconds(std::stoll(parts[0])));
    n.applicationIconBadgeNumber = std::stoi(parts[1]);
    n.repeatInterval = std::stoi(parts[2]);
  } catch (...) {
    return std::nullopt;
  }
  n.timeZone = parts[3];
  n.soundName = parts[4];
  n.alertBody = parts[5];
  return n;
}

}  // namespace

std::string defaultTimeZoneName() {
  QByteArray id = QTimeZone::systemTimeZoneId();
  return id.isEmpty() ? std::string("UTC") : id.toStdString();
}

bool deliverDesktopNotification(const LocalNotification& notification) {
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected()) return false;
  QDBusInterface service("org.freedesktop.Notifications", "/org/freedesktop/Notifications",
                         "org.freedesktop.Notifications", bus);
  if (!service.isValid()) return false;
  QVariantMap hints;
  if (!notification.soundName.empty()) hints["sound-name"] = QString("message-new-instant");
  QDBusReply<uint> reply =
      service.call("Notify", QString("Estacionamiento Tarifado"), uint(0), QString(),
                   QString("Estacionamiento Tarifado"),
                   QString::fromStdString(notification.alertBody), QStringList(), hints, int(-1));
  return reply.isValid();
}

LocalNotificationCenter::LocalNotificationCenter(std::filesystem::path scheduleFile)
    : file_(std::move(scheduleFile)) {}

LocalNotificationCenter::~LocalNotificationCenter() {
  if (RunLoop* loop = RunLoop::main())
    for (auto& p : pending_)
      if (p.timer) loop->cancel(p.timer);
}

LocalNotificationCenter& LocalNotificationCenter::shared() {
  static LocalNotificationCenter center(dataDirectory() / "notifications.plist");
  return center;
}

void LocalNotificationCenter::resume() {
  if (resumed_) return;
  resumed_ = true;
  load();
  for (auto& p : pending_) arm(p);
}

void LocalNotificationCenter::scheduleLocalNotification(const LocalNotification& notification) {
  pending_.push_back({notification, 0});
  save();
  arm(pending_.back());
}

void LocalNotificationCenter::cancelAllLocalNotifications() {
  if (RunLoop* loop = RunLoop::main())
    for (auto& p : pending_)
      if (p.timer) loop->cancel(p.timer);
  pending_.clear();
  save();
}

std::vector<LocalNotification> LocalNotificationCenter::scheduledLocalNotifications() const {
  std::vector<LocalNotification> out;
  for (const auto& p : pending_) out.push_back(p.notification);
  return out;
}

void LocalNotificationCenter::setApplicationIconBadgeNumber(int badge) {
  badge_ = badge;
  if (badgeObserver_) badgeObserver_(badge);
}

void LocalNotificationCenter::arm(Pending& pending) {
  RunLoop* loop = RunLoop::main();
  if (!loop) return;
  auto delay = pending.notification.fireDate - Clock::current().now();
  double seconds = std::max(0.0, std::chrono::duration<double>(delay).count());
  // The timer's own id is only known once scheduled, so the task looks itself up by a cell.
  auto cell = std::make_shared<TimerId>(0);
  *cell = loop->schedule(Seconds(seconds), [this, cell] { fire(*cell); });
  pending.timer = *cell;
}

void LocalNotificationCenter::fire(TimerId timer) {
  auto it = std::find_if(pending_.begin(), pending_.end(),
                         [&](const Pending& p) { return p.timer == timer; });
  if (it == pending_.end()) return;
  LocalNotification n = it->notification;
  pending_.erase(it);
  save();
  delivered_.push_back(n);
  if (n.applicationIconBadgeNumber > 0) setApplicationIconBadgeNumber(n.applicationIconBadgeNumber);
  if (deliverer_) {
    deliverer_(n);
  } else if (!deliverDesktopNotification(n)) {
    logf("notification: %s", n.alertBody.c_str());
  }
}

void LocalNotificationCenter::save() const {
  if (file_.empty()) return;
  Preferences store(file_);
  PrefArray lines;
  for (const auto& p : pending_) lines.push_back(encode(p.notification));
  store.setObject(kScheduleKey, lines);
  store.flush();
}

void LocalNotificationCenter::load() {
  if (file_.empty()) return;
  Preferences store(file_);
  std::optional<PrefValue> value = store.objectForKey(kScheduleKey);
  if (!value || !value->array()) return;
  for (const auto& line : *value->array())
    if (auto n = decode(line)) pending_.push_back({*n, 0});
}

}  // namespace est
