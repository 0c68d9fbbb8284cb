#include "http/bandwidth_throttle.h"

#include <algorithm>
#include <numeric>

#include "http/http_request.h"
#include "reachability/reachability.h"

namespace est {

namespace {

using Duration = std::chrono::system_clock::duration;

Duration toDuration(double seconds) {
  return std::chrono::duration_cast<Duration>(std::chrono::duration<double>(seconds));
}

double secondsBetween(TimePoint from, TimePoint to) {
  return std::chrono::duration<double>(to - from).count();
}

}  // namespace

BandwidthThrottler::~BandwidthThrottler() {
  if (observer_) NotificationCenter::defaultCenter().removeObserver(observer_);
}

void BandwidthThrottler::setMaxBandwidthPerSecond(std::uint64_t bytes) {
  std::lock_guard lock(bandwidthThrottlingLock);
  maxBandwidthPerSecond_ = bytes;
}

std::uint64_t BandwidthThrottler::maxBandwidthPerSecond() const {
  std::lock_guard lock(bandwidthThrottlingLock);
  return maxBandwidthPerSecond_;
}

bool BandwidthThrottler::throttledLocked() const {
  return isBandwidthThrottled_ || (!shouldThrottleBandwidthForWWANOnly_ && maxBandwidthPerSecond_);
}

bool BandwidthThrottler::isBandwidthThrottled() {
  std::lock_guard lock(bandwidthThrottlingLock);
  return throttledLocked();
}

std::uint64_t BandwidthThrottler::averageBandwidthUsedPerSecond() const {
  std::lock_guard lock(bandwidthThrottlingLock);
  return averageBandwidthUsedPerSecond_;
}

std::uint64_t BandwidthThrottler::bandwidthUsedInLastSecond() const {
  std::lock_guard lock(bandwidthThrottlingLock);
  return bandwidthUsedInLastSecond_;
}

std::optional<TimePoint> BandwidthThrottler::bandwidthMeasurementDate() const {
  std::lock_guard lock(bandwidthThrottlingLock);
  return bandwidthMeasurementDate_;
}

std::optional<TimePoint> BandwidthThrottler::throttleWakeUpTime() const {
  std::lock_guard lock(bandwidthThrottlingLock);
  return throttleWakeUpTime_;
}

std::deque<std::uint64_t> BandwidthThrottler::bandwidthUsageTracker() const {
  std::lock_guard lock(bandwidthThrottlingLock);
  return bandwidthUsageTracker_;
}

// ---- the account ----

void BandwidthThrottler::incrementBandwidthUsedInLastSecond(std::uint64_t bytes) {
  BandwidthThrottle::incrementBandwidthUsedInLastSecond(bytes);
  std::lock_guard lock(bandwidthThrottlingLock);
  bandwidthUsedInLastSecond_ += bytes;
}

void BandwidthThrottler::recordBandwidthUsage() {
  std::lock_guard lock(bandwidthThrottlingLock);
  recordLocked(Clock::current().now());
}

void BandwidthThrottler::recordLocked(TimePoint now) {
  auto& samples = bandwidthUsageTracker_;
  if (bandwidthUsedInLastSecond_ == 0) {
    samples.clear();
  } else {
    // One old sample goes for every second, or part of one, since the window ended.
    double ahead = bandwidthMeasurementDate_ ? secondsBetween(now, *bandwidthMeasurementDate_) : 0;
    while ((ahead < 0 || samples.size() > 5) && !samples.empty()) {
      samples.pop_front();
      ahead += 1;
    }
  }
  samples.push_back(bandwidthUsedInLastSecond_);
  bandwidthMeasurementDate_ = now + std::chrono::seconds(1);
  bandwidthUsedInLastSecond_ = 0;
  std::uint64_t sum = std::accumulate(samples.begin(), samples.end(), std::uint64_t{0});
  averageBandwidthUsedPerSecond_ = samples.empty() ? 0 : sum / samples.size();
}

void BandwidthThrottler::measureBandwidthUsage() {
  std::lock_guard lock(bandwidthThrottlingLock);
  measureLocked(Clock::current().now());
}

void BandwidthThrottler::measureLocked(TimePoint now) {
  if (!bandwidthMeasurementDate_ || *bandwidthMeasurementDate_ <= now) recordLocked(now);
  std::uint64_t limit = maxBandwidthPerSecond_;
  if (throttledLocked() && limit > 0 && bandwidthUsedInLastSecond_ > limit) {
    double excess = static_cast<double>(bandwidthUsedInLastSecond_ - limit) / limit;
    throttleWakeUpTime_ = *bandwidthMeasurementDate_ + toDuration(excess);
  }
}

double BandwidthThrottler::performThrottling() {
  std::lock_guard lock(bandwidthThrottlingLock);
  TimePoint now = Clock::current().now();
  measureLocked(now);
  if (!throttledLocked() || !throttleWakeUpTime_ || *throttleWakeUpTime_ <= now) return 0;
  return secondsBetween(now, *throttleWakeUpTime_);
}

size_t BandwidthThrottler::maxReadLength(size_t wanted) {
  std::lock_guard lock(bandwidthThrottlingLock);
  std::uint64_t limit = maxBandwidthPerSecond_;
  if (!throttledLocked() || limit == 0) return wanted;
  if (bandwidthUsedInLastSecond_ >= limit) return 1;
  std::uint64_t quarter = (limit - bandwidthUsedInLastSecond_) / 4;
  return static_cast<size_t>(std::max<std::uint64_t>(1, std::min<std::uint64_t>(wanted, quarter)));
}

size_t BandwidthThrottler::maxUploadReadLength() {
  std::lock_guard lock(bandwidthThrottlingLock);
  std::uint64_t limit = maxBandwidthPerSecond_;
  // Without a limit in force a body is not held to quarter pieces.
  if (!throttledLocked() || limit == 0) return static_cast<size_t>(-1);
  std::uint64_t toRead = limit / 4;
  if (bandwidthUsedInLastSecond_ + toRead > limit)
    toRead = bandwidthUsedInLastSecond_ >= limit ? 0 : limit - bandwidthUsedInLastSecond_;
  TimePoint now = Clock::current().now();
  if (toRead == 0 || !bandwidthMeasurementDate_ || *bandwidthMeasurementDate_ <= now)
    throttleWakeUpTime_ = bandwidthMeasurementDate_;
  return static_cast<size_t>(toRead);
}

// ---- mobile links ----

void BandwidthThrottler::throttleBandwidthForWWANUsingLimit(std::uint64_t limit,
                                                            std::shared_ptr<NetworkSource> source,
                                                            RunLoop* loop) {
  std::unique_ptr<Reachability> old;
  NotificationCenter::ObserverToken oldToken = 0;
  {
    std::lock_guard lock(bandwidthThrottlingLock);
    shouldThrottleBandwidthForWWANOnly_ = true;
    maxBandwidthPerSecond_ = limit;
    stopWatchingLocked(old, oldToken);
  }
  if (oldToken) NotificationCenter::defaultCenter().removeObserver(oldToken);
  old.reset();

  auto monitor = Reachability::reachabilityForInternetConnection(std::move(source));
  if (!monitor) return;
  Reachability* watched = monitor.get();
  auto token = NotificationCenter::defaultCenter().addObserver(
      kReachabilityChangedNotification, [this, watched](const Notification& n) {
        if (n.objectAs<Reachability>() == watched) reachabilityChanged();
      });
  RunLoop* notifierLoop = loop ? loop : RunLoop::main();
  if (notifierLoop) monitor->startNotifier(*notifierLoop);
  {
    std::lock_guard lock(bandwidthThrottlingLock);
    monitor_ = std::move(monitor);
    observer_ = token;
  }
  reachabilityChanged();
}

void BandwidthThrottler::setShouldThrottleBandwidthForWWAN(bool throttle,
                                                           std::shared_ptr<NetworkSource> source,
                                                           RunLoop* loop) {
  if (throttle) {
    throttleBandwidthForWWANUsingLimit(kWWANBandwidthLimit, std::move(source), loop);
    return;
  }
  std::unique_ptr<Reachability> old;
  NotificationCenter::ObserverToken oldToken = 0;
  {
    std::lock_guard lock(bandwidthThrottlingLock);
    stopWatchingLocked(old, oldToken);
    maxBandwidthPerSecond_ = 0;
    isBandwidthThrottled_ = false;
    shouldThrottleBandwidthForWWANOnly_ = false;
  }
  if (oldToken) NotificationCenter::defaultCenter().removeObserver(oldToken);
}

void BandwidthThrottler::stopWatchingLocked(std::unique_ptr<Reachability>& monitor,
                                            NotificationCenter::ObserverToken& token) {
  monitor = std::move(monitor_);
  token = observer_;
  observer_ = 0;
}

// Runs on the notifier's loop, the only thread that replaces or ends the monitor.
void BandwidthThrottler::reachabilityChanged() {
  Reachability* monitor;
  {
    std::lock_guard lock(bandwidthThrottlingLock);
    monitor = monitor_.get();
  }
  if (!monitor) return;
  bool wwan = monitor->currentReachabilityStatus() == ReachableViaWWAN;
  std::lock_guard lock(bandwidthThrottlingLock);
  if (monitor_.get() == monitor) isBandwidthThrottled_ = wwan;
}

// ---- HTTPRequest's class-wide operations ----

namespace {

std::shared_ptr<BandwidthThrottler> throttler() {
  auto current = std::dynamic_pointer_cast<BandwidthThrottler>(HTTPRequest::bandwidthThrottle());
  if (current) return current;
  auto fresh = std::make_shared<BandwidthThrottler>();
  HTTPRequest::setBandwidthThrottle(fresh);
  return fresh;
}

}  // namespace

void HTTPRequest::setMaxBandwidthPerSecond(std::uint64_t bytes) {
  throttler()->setMaxBandwidthPerSecond(bytes);
}

std::uint64_t HTTPRequest::maxBandwidthPerSecond() {
  return throttler()->maxBandwidthPerSecond();
}

bool HTTPRequest::isBandwidthThrottled() {
  return throttler()->isBandwidthThrottled();
}

std::uint64_t HTTPRequest::averageBandwidthUsedPerSecond() {
  return throttler()->averageBandwidthUsedPerSecond();
}

void HTTPRequest::throttleBandwidthForWWANUsingLimit(std::uint64_t limit) {
  throttler()->throttleBandwidthForWWANUsingLimit(limit);
}

void HTTPRequest::setShouldThrottleBandwidthForWWAN(bool throttle) {
  throttler()->setShouldThrottleBandwidthForWWAN(throttle);
}

}  // namespace est
