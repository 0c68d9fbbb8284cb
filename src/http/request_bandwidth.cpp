#include <boost/asio/post.hpp>

#include "http/request_engine.h"

namespace est {

void BandwidthThrottle::incrementBandwidthUsedInLastSecond(std::uint64_t bytes) {
  total_ += bytes;
}

void HTTPRequest::Impl::resetThrottleState() {
  cancelThrottleTimer();
  throttlePaused = startHeld = readHeld = writeHeld = bodyThroughThrottle = false;
  throttledBody.reset();
  throttledBodySent = 0;
}

void HTTPRequest::Impl::cancelThrottleTimer() {
  if (throttleTimer && throttleTimerLoop) throttleTimerLoop->cancel(throttleTimer);
  throttleTimer = 0;
}

void HTTPRequest::Impl::performThrottling() {
  double wait = globals().throttle->performThrottling();
  if (!connection || r.complete_ || r.cancelled_) return;
  if (wait <= 0) {
    resumeAfterThrottle();
    return;
  }
  if (!throttlePaused) {
    throttlePaused = true;
    unscheduleStream();
  }
  cancelThrottleTimer();
  throttleTimerLoop = timerLoop ? timerLoop : driverLoop;
  std::weak_ptr<HTTPRequest> weak = self();
  asio::io_context* ctx = io;
  std::uint64_t gen = attempt;
  throttleTimer = throttleTimerLoop->schedule(Seconds(wait), [weak, ctx, gen] {
    auto s = weak.lock();
    if (!s) return;
    asio::post(*ctx, [s, gen] {
      std::lock_guard lock(s->cancelledLock_);
      s->impl_->throttleTimer = 0;
      if (s->impl_->current(gen)) s->impl_->guarded([&] { s->impl_->performThrottling(); });
    });
  });
}

void HTTPRequest::Impl::resumeAfterThrottle() {
  if (!throttlePaused) return;
  throttlePaused = false;
  cancelThrottleTimer();
  scheduleStream();
  lastActivityTime = now();  // the pause is not inactivity
  std::uint64_t gen = attempt;
  if (startHeld) {
    startHeld = false;
    startIO(gen);
    return;
  }
  if (readHeld) {
    readHeld = false;
    readMore(gen);
  }
  if (writeHeld) {
    writeHeld = false;
    writeThrottledPiece(gen);
  }
}

void HTTPRequest::performThrottling() {
  std::lock_guard lock(cancelledLock_);
  impl_->performThrottling();
}

}  // namespace est
