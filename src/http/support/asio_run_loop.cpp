#include "http/support/asio_run_loop.h"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/post.hpp>
#include <thread>

#include "platform/log.h"

namespace est {
namespace asio = boost::asio;

struct AsioRunLoop::Timer {
  TimerId id;
  Seconds interval;
  bool repeats;
  Task task;
  asio::steady_timer timer;
  Timer(asio::io_context& io, TimerId id, Seconds interval, bool repeats, Task task)
      : id(id), interval(interval), repeats(repeats), task(std::move(task)), timer(io) {}
};

AsioRunLoop::~AsioRunLoop() {
  std::lock_guard lock(mutex_);
  timers_.clear();
}

void AsioRunLoop::post(Task task) {
  asio::post(io_, std::move(task));
}

void AsioRunLoop::arm(const std::shared_ptr<Timer>& timer) {
  timer->timer.expires_after(
      std::chrono::duration_cast<std::chrono::steady_clock::duration>(timer->interval));
  std::weak_ptr<Timer> weak = timer;
  timer->timer.async_wait([this, weak](const boost::system::error_code& ec) {
    auto t = weak.lock();
    if (ec || !t) return;
    {
      std::lock_guard lock(mutex_);
      if (!timers_.count(t->id)) return;
      if (!t->repeats) timers_.erase(t->id);
    }
    if (t->repeats) arm(t);
    t->task();
  });
}

TimerId AsioRunLoop::schedule(Seconds delay, Task task, bool repeats) {
  std::shared_ptr<Timer> timer;
  {
    std::lock_guard lock(mutex_);
    TimerId id = nextId_++;
    timer = std::make_shared<Timer>(io_, id, delay, repeats, std::move(task));
    timers_[id] = timer;
  }
  // Asio timers are not thread-safe: arm them on the loop's own thread.
  if (isLoopThread())
    arm(timer);
  else
    asio::post(io_, [this, timer] { arm(timer); });
  return timer->id;
}

void AsioRunLoop::cancel(TimerId id) {
  std::shared_ptr<Timer> timer;
  {
    std::lock_guard lock(mutex_);
    auto it = timers_.find(id);
    if (it == timers_.end()) return;
    timer = it->second;
    timers_.erase(it);
  }
  if (isLoopThread())
    timer->timer.cancel();
  else
    asio::post(io_, [timer] { timer->timer.cancel(); });
}

bool AsioRunLoop::isLoopThread() const {
  return io_.get_executor().running_in_this_thread();
}

std::chrono::steady_clock::time_point AsioRunLoop::now() const {
  return std::chrono::steady_clock::now();
}

NetworkThread& NetworkThread::shared() {
  // Never destroyed: transfers may still be running while the process exits.
  static NetworkThread* thread = new NetworkThread;
  return *thread;
}

NetworkThread::NetworkThread() : loop_(io_) {
  std::thread([this] {
    auto work = asio::make_work_guard(io_);
    for (;;) {
      try {
        io_.run();
        return;
      } catch (const std::exception& e) {
        logf("network thread: unexpected exception: %s", e.what());
      }
    }
  }).detach();
}

}  // namespace est
