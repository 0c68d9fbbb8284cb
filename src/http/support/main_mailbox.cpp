#include "http/support/main_mailbox.h"

#include <memory>
#include <mutex>
#include <utility>
#include <vector>

namespace est {

namespace {

// The tasks of one post. It takes more only until the main loop starts running it (or drops
// it unrun), so a task never overtakes one handed over before it.
struct Batch {
  RunLoop* loop;
  std::vector<RunLoop::Task> tasks;
  bool closed = false;
};

std::mutex mailboxMutex;
std::shared_ptr<Batch> openBatch;  // guarded by mailboxMutex

std::vector<RunLoop::Task> close(Batch& batch) {
  std::lock_guard lock(mailboxMutex);
  batch.closed = true;
  return std::move(batch.tasks);
}

// Closes its batch when the post is run or destroyed unrun by a loop that went away: a
// loop made later at the same address must not wait on a post that will never come.
struct Delivery {
  std::shared_ptr<Batch> batch;
  ~Delivery() {
    if (batch) close(*batch);
  }
};

}  // namespace

void postToMainInOrder(RunLoop& main, RunLoop::Task task) {
  std::shared_ptr<Batch> batch;
  {
    std::lock_guard lock(mailboxMutex);
    if (openBatch && !openBatch->closed && openBatch->loop == &main) {
      openBatch->tasks.push_back(std::move(task));
      return;
    }
    batch = std::make_shared<Batch>();
    batch->loop = &main;
    batch->tasks.push_back(std::move(task));
    openBatch = batch;
  }
  auto delivery = std::make_shared<Delivery>();
  delivery->batch = std::move(batch);
  main.post([delivery] {
    for (auto& t : close(*delivery->batch)) t();
  });
}

}  // namespace est
