#pragma once

#include <utility>

#include "platform/run_loop.h"

namespace est {

// Posts `task` to `main` after every task handed over here before it. Tasks that arrive
// while an earlier post is still waiting to run join that post, so the main thread wakes
// once for a burst of callbacks (headers, data, progress, completion) instead of once each.
void postToMainInOrder(RunLoop& main, RunLoop::Task task);

// The same, but in line when called on the main thread.
inline void runOnMainInOrder(RunLoop& main, RunLoop::Task task) {
  if (main.isLoopThread())
    task();
  else
    postToMainInOrder(main, std::move(task));
}

}  // namespace est
