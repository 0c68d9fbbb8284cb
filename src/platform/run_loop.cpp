#include "platform/run_loop.h"

#include <atomic>

namespace est {
namespace {
std::atomic<RunLoop*> mainLoop{nullptr};
}

RunLoop* RunLoop::main() {
  return mainLoop.load();
}
void RunLoop::setMain(RunLoop* loop) {
  mainLoop.store(loop);
}

}  // namespace est
