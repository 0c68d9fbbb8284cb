#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>

#include "http/request_seams.h"
#include "platform/clock.h"
#include "platform/run_loop.h"
#include "reachability/reachability.h"

namespace est {

// The account of bytes moved by all requests together, in windows of one second, and the
// limit it is held to: always, or only while the internet is reached over a mobile (WWAN)
// link. Every member is safe from any thread; all state sits under bandwidthThrottlingLock.
// "Now" is Clock::current().
class BandwidthThrottler : public BandwidthThrottle {
 public:
  // The limit of setShouldThrottleBandwidthForWWAN(true), in bytes per second.
  static constexpr std::uint64_t kWWANBandwidthLimit = 14800;

  BandwidthThrottler() = default;
  ~BandwidthThrottler() override;
  BandwidthThrottler(const BandwidthThrottler&) = delete;
  BandwidthThrottler& operator=(const BandwidthThrottler&) = delete;

  // 0: no limit.
  void setMaxBandwidthPerSecond(std::uint64_t bytes);
  std::uint64_t maxBandwidthPerSecond() const;
  // Whether limiting is in force now: the WWAN flag is set, or the limit applies always.
  bool isBandwidthThrottled() override;
  std::uint64_t averageBandwidthUsedPerSecond() const;

  // Limits only while the internet is reached over WWAN: watches the internet-connection
  // monitor (changes arrive on `loop`, RunLoop::main() when null) and reads its status at once.
  // `source` replaces the machine's network (tests).
  void throttleBandwidthForWWANUsingLimit(std::uint64_t limit,
                                          std::shared_ptr<NetworkSource> source = nullptr,
                                          RunLoop* loop = nullptr);
  // Yes: WWAN-only limiting at kWWANBandwidthLimit. No: stops watching, no limit, flags cleared.
  void setShouldThrottleBandwidthForWWAN(bool throttle,
                                         std::shared_ptr<NetworkSource> source = nullptr,
                                         RunLoop* loop = nullptr);

  void incrementBandwidthUsedInLastSecond(std::uint64_t bytes) override;
  // Closes the window when it has ended; sets the wake-up time when the window overran.
  void measureBandwidthUsage();
  // Turns the window's count into a sample and opens the next window.
  void recordBandwidthUsage();
  size_t maxReadLength(size_t wanted) override;
  size_t maxUploadReadLength() override;
  double performThrottling() override;

  // For inspection.
  std::uint64_t bandwidthUsedInLastSecond() const;
  std::optional<TimePoint> bandwidthMeasurementDate() const;
  std::optional<TimePoint> throttleWakeUpTime() const;
  std::deque<std::uint64_t> bandwidthUsageTracker() const;

 private:
  bool throttledLocked() const;
  void measureLocked(TimePoint now);
  void recordLocked(TimePoint now);
  void reachabilityChanged();
  void stopWatchingLocked(std::unique_ptr<Reachability>& monitor,
                          NotificationCenter::ObserverToken& token);

  mutable std::mutex bandwidthThrottlingLock;
  std::uint64_t maxBandwidthPerSecond_ = 0;
  bool isBandwidthThrottled_ = false;  // the WWAN flag
  bool shouldThrottleBandwidthForWWANOnly_ = false;
  std::uint64_t bandwidthUsedInLastSecond_ = 0;
  std::optional<TimePoint> bandwidthMeasurementDate_;
  std::deque<std::uint64_t> bandwidthUsageTracker_;
  std::uint64_t averageBandwidthUsedPerSecond_ = 0;
  std::optional<TimePoint> throttleWakeUpTime_;

  std::unique_ptr<Reachability> monitor_;
  NotificationCenter::ObserverToken observer_ = 0;
};

}  // namespace est
