#include "http/support/asio_run_loop.h"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/post.hpp>
#include <thread>

#include "platform/log.h"

namespace est {
namespace asio = boost::asio;

AsioRunLoop::~AsioRunLoop() = default;

void AsioRunLoop::post(Task task) {
  asio::post(io_, std::move(task));
}

void AsioRunLoop::arm() {
  std::optional<TimerQueue::TimePoint> due;
  {
    std::lock_guard lock(mutex_);
    due = timers_.nextDue();
  }
  if (!due || (armedFor_ && *armedFor_ <= *due)) return;
  armedFor_ = due;
  // Moving the timer aborts the wait already set, whose handler then does nothing.
  wakeUp_.expires_at(*due);
  wakeUp_.async_wait([this](const boost::system::error_code& ec) {
    if (ec != asio::error::operation_aborted) fire();
  });
}

void AsioRunLoop::fire() {
  armedFor_.reset();
  for (;;) {
    std::optional<Task> task;
    {
      std::lock_guard lock(mutex_);
      task = timers_.popDue(now());
    }
    if (!task) break;
    (*task)();
  }
  arm();
}

TimerId AsioRunLoop::schedule(Seconds delay, Task task, bool repeats) {
  TimerId id;
  {
    std::lock_guard lock(mutex_);
    id = timers_.add(now() + TimerQueue::toDuration(delay), delay, std::move(task), repeats);
  }
  // Asio timers are not thread-safe: move it on the loop's own thread.
  if (isLoopThread())
    arm();
  else
    asio::post(io_, [this] { arm(); });
  return id;
}

void AsioRunLoop::cancel(TimerId id) {
  std::lock_guard lock(mutex_);
  timers_.cancel(id);
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

namespace {

// Tells the core this is a wait loop, so a sibling thread on it runs at full speed meanwhile.
inline void cpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield");
#endif
}

}  // namespace

// The caller's next request, or a nearby server's reply, usually comes within microseconds
// of the last event. Polling a moment before sleeping spares the two wake-ups a sleeping
// thread costs (one to be woken, one to wake the reply's reader), which on a small machine
// are most of a small request's time; idle, the thread still sleeps.
void NetworkThread::runAwakeBriefly() {
  constexpr auto kAwake = std::chrono::microseconds(50);
  auto lastWork = std::chrono::steady_clock::now();
  while (!io_.stopped()) {
    if (io_.poll() > 0) {
      lastWork = std::chrono::steady_clock::now();
      continue;
    }
    if (std::chrono::steady_clock::now() - lastWork < kAwake) {
      cpuRelax();
      continue;
    }
    io_.run_one();
    lastWork = std::chrono::steady_clock::now();
  }
}

NetworkThread::NetworkThread() : loop_(io_) {
  std::thread([this] {
    auto work = asio::make_work_guard(io_);
    for (;;) {
      try {
        runAwakeBriefly();
        return;
      } catch (const std::exception& e) {
        logf("network thread: unexpected exception: %s", e.what());
      }
    }
  }).detach();
}

}  // namespace est
