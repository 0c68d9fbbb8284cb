#include "platform/run_loop.h"

#include <atomic>

namespace est {
namespace {
std::atomic<RunLoop*> mainLoop{nullptr};
// Loops are made on the thread they serve (the network thread's loop is the exception, and
// current() checks isLoopThread for it); the innermost one made here is this thread's.
thread_local RunLoop* loopOfThisThread = nullptr;
}  // namespace

RunLoop::RunLoop() : previousOnThread_(loopOfThisThread) {
  loopOfThisThread = this;
}

RunLoop::~RunLoop() {
  if (loopOfThisThread == this) loopOfThisThread = previousOnThread_;
}

RunLoop* RunLoop::main() {
  return mainLoop.load();
}
void RunLoop::setMain(RunLoop* loop) {
  mainLoop.store(loop);
}

RunLoop* RunLoop::current() {
  RunLoop* loop = loopOfThisThread;
  return loop && loop->isLoopThread() ? loop : nullptr;
}

}  // namespace est
