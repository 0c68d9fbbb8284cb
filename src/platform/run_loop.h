#pragma once

#include <chrono>
#include <cstdint>
#include <functional>

namespace est {

using Seconds = std::chrono::duration<double>;
using TimerId = std::uint64_t;

// A thread's loop of tasks and timers. Every timer of the system goes through one of these,
// so tests can replace real time with virtual time. All members are safe from any thread;
// tasks and timers always run on the loop's own thread.
class RunLoop {
 public:
  using Task = std::function<void()>;

  RunLoop();
  virtual ~RunLoop();
  RunLoop(const RunLoop&) = delete;
  RunLoop& operator=(const RunLoop&) = delete;

  // Queues a task to run on the loop's thread, after the tasks already queued.
  virtual void post(Task task) = 0;

  // Runs `task` once after `delay`, or every `delay` when `repeats`; returns a handle that
  // stays valid for cancel() (cancelling a finished or unknown timer does nothing).
  virtual TimerId schedule(Seconds delay, Task task, bool repeats = false) = 0;
  virtual void cancel(TimerId id) = 0;

  // True on the thread that runs this loop.
  virtual bool isLoopThread() const = 0;

  // The loop's own notion of elapsed time (monotonic; virtual in tests).
  virtual std::chrono::steady_clock::time_point now() const = 0;

  // Runs `task` in line when called on the loop's thread, otherwise posts it.
  void runOrPost(Task task) {
    if (isLoopThread())
      task();
    else
      post(std::move(task));
  }

  // The application's main loop (screens, delegate callbacks). Not owned.
  static RunLoop* main();
  static void setMain(RunLoop* loop);
  // The loop of the calling thread: the last one made on this thread that runs here, or
  // nothing.
  static RunLoop* current();

 private:
  RunLoop* previousOnThread_ = nullptr;
};

// Owns a timer handle and cancels it when replaced or destroyed, so that a screen can never
// keep two copies of the same periodic timer running.
class ScopedTimer {
 public:
  ScopedTimer() = default;
  ~ScopedTimer() { reset(); }
  ScopedTimer(const ScopedTimer&) = delete;
  ScopedTimer& operator=(const ScopedTimer&) = delete;

  void start(RunLoop& loop, Seconds delay, RunLoop::Task task, bool repeats) {
    reset();
    loop_ = &loop;
    id_ = loop.schedule(delay, std::move(task), repeats);
  }
  void reset() {
    if (loop_ && id_) loop_->cancel(id_);
    loop_ = nullptr;
    id_ = 0;
  }
  // Forgets a one-shot timer that has fired, without cancelling anything.
  void release() {
    loop_ = nullptr;
    id_ = 0;
  }
  bool active() const { return id_ != 0; }

 private:
  RunLoop* loop_ = nullptr;
  TimerId id_ = 0;
};

}  // namespace est
