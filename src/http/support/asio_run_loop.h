#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <mutex>
#include <optional>

#include "platform/run_loop.h"
#include "platform/timer_queue.h"

namespace est {

// A RunLoop over an Asio io_context: tasks and timers run on whichever thread runs the
// context. The HTTP client's network thread and synchronous requests use one each.
//
// Every request arms a status timer and cancels it a moment later; one Asio timer serves
// them all and is only moved when a timer falls due before it, so a short request costs no
// system call for its timer. A cancelled timer leaves the Asio timer running to its due
// time, where it finds nothing to do.
class AsioRunLoop : public RunLoop {
 public:
  explicit AsioRunLoop(boost::asio::io_context& io) : io_(io), wakeUp_(io) {}
  ~AsioRunLoop() override;

  void post(Task task) override;
  TimerId schedule(Seconds delay, Task task, bool repeats = false) override;
  void cancel(TimerId id) override;
  bool isLoopThread() const override;
  std::chrono::steady_clock::time_point now() const override;

  boost::asio::io_context& context() { return io_; }

 private:
  void arm();  // on the loop's thread
  void fire();

  boost::asio::io_context& io_;
  boost::asio::steady_timer wakeUp_;
  std::optional<TimerQueue::TimePoint> armedFor_;  // loop thread only
  std::mutex mutex_;
  TimerQueue timers_;
};

// The one thread on which every asynchronous transfer of the HTTP client runs. Started on
// first use and kept for the life of the process.
class NetworkThread {
 public:
  static NetworkThread& shared();
  boost::asio::io_context& context() { return io_; }
  AsioRunLoop& loop() { return loop_; }

 private:
  NetworkThread();
  void runAwakeBriefly();
  boost::asio::io_context io_;
  AsioRunLoop loop_;
};

}  // namespace est
