#include "app/local_notifications.h"

#include <QCoreApplication>
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

// Written by earlier versions: fire time in milliseconds, badge, repeat, zone, sound, body.
constexpr const char* kLegacyScheduleKey = "scheduled";
// Fire time and expiry in milliseconds (expiry empty when none), badge, repeat, replace key,
// zone, sound, body. The body comes last, so it may hold tabs.
constexpr const char* kScheduleKey = "notifications";
constexpr int kLegacyFields = 6;
constexpr int kFields = 8;
// The longest the centre trusts a run-loop timer to track the wall clock.
constexpr double kLongestWait = 60.0;

long long millis(TimePoint t) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
}

std::string encode(const LocalNotification& n) {
  std::string expiry = n.expiryDate ? std::to_string(millis(*n.expiryDate)) : std::string();
  return std::to_string(millis(n.fireDate)) + '\t' + expiry + '\t' +
         std::to_string(n.applicationIconBadgeNumber) + '\t' + std::to_string(n.repeatInterval) +
         '\t' + n.replaceKey + '\t' + n.timeZone + '\t' + n.soundName + '\t' + n.alertBody;
}

std::optional<LocalNotification> decode(const std::string& text, int fields) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (int i = 0; i + 1 < fields; ++i) {
    size_t tab = text.find('\t', start);
    if (tab == std::string::npos) return std::nullopt;
    parts.push_back(text.substr(start, tab - start));
    start = tab + 1;
  }
  parts.push_back(text.substr(start));
  if (fields == kLegacyFields) parts.insert(parts.begin() + 1, std::string());
  LocalNotification n;
  try {
    n.fireDate = TimePoint(std::chrono::milliseconds(std::stoll(parts[0])));
    if (!parts[1].empty())
      n.expiryDate = TimePoint(std::chrono::milliseconds(std::stoll(parts[1])));
    n.applicationIconBadgeNumber = std::stoi(parts[2]);
    n.repeatInterval = std::stoi(parts[3]);
  } catch (...) {
    return std::nullopt;
  }
  size_t next = 4;
  if (fields == kFields) n.replaceKey = parts[next++];
  n.timeZone = parts[next++];
  n.soundName = parts[next++];
  n.alertBody = parts[next];
  if (fields == kLegacyFields) {
    // Saved before reminders knew their purpose: a ticket's warning is the one that ends in
    // "va a finalizar" and no longer holds five minutes later; the same text at the same time
    // is the same reminder scheduled twice.
    constexpr std::string_view kWarning = "va a finalizar";
    if (n.alertBody.ends_with(kWarning)) n.expiryDate = n.fireDate + std::chrono::minutes(5);
    n.replaceKey = parts[0] + '\t' + n.alertBody;
  }
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
                   QCoreApplication::translate("LocalNotifications", "Estacionamiento Tarifado"),
                   QString::fromStdString(notification.alertBody), QStringList(), hints, int(-1));
  return reply.isValid();
}

LocalNotificationCenter::LocalNotificationCenter(std::filesystem::path scheduleFile)
    : file_(std::move(scheduleFile)) {}

LocalNotificationCenter::~LocalNotificationCenter() {
  if (RunLoop* loop = RunLoop::main(); loop && timer_) loop->cancel(timer_);
}

LocalNotificationCenter& LocalNotificationCenter::shared() {
  static LocalNotificationCenter center(dataDirectory() / "notifications.plist");
  return center;
}

void LocalNotificationCenter::resume() {
  if (resumed_) return;
  resumed_ = true;
  load();
  arm();
}

void LocalNotificationCenter::clockChanged() {
  arm();
}

void LocalNotificationCenter::scheduleLocalNotification(const LocalNotification& notification) {
  if (!notification.replaceKey.empty()) {
    std::erase_if(pending_, [&](const LocalNotification& n) {
      return n.replaceKey == notification.replaceKey;
    });
  }
  pending_.push_back(notification);
  save();
  arm();
}

void LocalNotificationCenter::cancelAllLocalNotifications() {
  pending_.clear();
  save();
  arm();
}

std::vector<LocalNotification> LocalNotificationCenter::scheduledLocalNotifications() const {
  return pending_;
}

void LocalNotificationCenter::setApplicationIconBadgeNumber(int badge) {
  badge_ = badge;
  if (badgeObserver_) badgeObserver_(badge);
}

void LocalNotificationCenter::arm() {
  RunLoop* loop = RunLoop::main();
  if (!loop) return;
  if (timer_) loop->cancel(timer_);
  timer_ = 0;
  if (pending_.empty()) return;
  TimePoint next = pending_.front().fireDate;
  for (const auto& n : pending_) next = std::min(next, n.fireDate);
  double seconds = std::chrono::duration<double>(next - Clock::current().now()).count();
  timer_ = loop->schedule(Seconds(std::clamp(seconds, 0.0, kLongestWait)), [this] {
    timer_ = 0;
    wake();
  });
}

void LocalNotificationCenter::wake() {
  const TimePoint now = Clock::current().now();
  std::vector<LocalNotification> due;
  auto firstLater =
      std::stable_partition(pending_.begin(), pending_.end(),
                            [&](const LocalNotification& n) { return n.fireDate <= now; });
  due.assign(pending_.begin(), firstLater);
  pending_.erase(pending_.begin(), firstLater);
  if (!due.empty()) save();
  std::stable_sort(due.begin(), due.end(),
                   [](const auto& a, const auto& b) { return a.fireDate < b.fireDate; });
  for (const LocalNotification& n : due) {
    if (n.expiryDate && *n.expiryDate <= now) {
      logf("notification no longer holds, not shown: %s", n.alertBody.c_str());
      continue;
    }
    delivered_.push_back(n);
    if (n.applicationIconBadgeNumber > 0)
      setApplicationIconBadgeNumber(n.applicationIconBadgeNumber);
    if (deliverer_) {
      deliverer_(n);
    } else if (!deliverDesktopNotification(n)) {
      logf("notification: %s", n.alertBody.c_str());
    }
  }
  arm();
}

void LocalNotificationCenter::save() const {
  if (file_.empty()) return;
  Preferences store(file_);
  PrefArray lines;
  for (const auto& n : pending_) lines.push_back(encode(n));
  store.setObject(kScheduleKey, lines);
  store.removeObject(kLegacyScheduleKey);
  store.flush();
}

void LocalNotificationCenter::load() {
  if (file_.empty()) return;
  Preferences store(file_);
  for (auto [key, fields] :
       {std::pair{kScheduleKey, kFields}, std::pair{kLegacyScheduleKey, kLegacyFields}}) {
    std::optional<PrefValue> value = store.objectForKey(key);
    if (!value || !value->array()) continue;
    for (const auto& line : *value->array()) {
      auto n = decode(line, fields);
      if (!n) continue;
      // The latest of a key stands, as if scheduled again.
      if (!n->replaceKey.empty())
        std::erase_if(pending_, [&](const auto& p) { return p.replaceKey == n->replaceKey; });
      pending_.push_back(*n);
    }
  }
}

}  // namespace est
