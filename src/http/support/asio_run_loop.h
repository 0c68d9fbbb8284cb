#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <map>
#include <memory>
#include <mutex>

#include "platform/run_loop.h"

namespace est {

// A RunLoop over an Asio io_context: tasks and timers run on whichever thread runs the
// context. The HTTP client's network thread and synchronous requests use one each.
class AsioRunLoop : public RunLoop {
 public:
  explicit AsioRunLoop(boost::asio::io_context& io) : io_(io) {}
  ~AsioRunLoop() override;

  void post(Task task) override;
  TimerId schedule(Seconds delay, Task task, bool repeats = false) override;
  void cancel(TimerId id) override;
  bool isLoopThread() const override;
  std::chrono::steady_clock::time_point now() const override;

  boost::asio::io_context& context() { return io_; }

 private:
  struct Timer;
  void arm(const std::shared_ptr<Timer>& timer);

  boost::asio::io_context& io_;
  std::mutex mutex_;
  std::map<TimerId, std::shared_ptr<Timer>> timers_;
  TimerId nextId_ = 1;
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
  boost::asio::io_context io_;
  AsioRunLoop loop_;
};

}  // namespace est
