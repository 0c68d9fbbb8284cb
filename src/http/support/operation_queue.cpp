#include "http/support/operation_queue.h"

#include <algorithm>

namespace est {

Operation::Operation() = default;
Operation::~Operation() = default;

void Operation::start() {
  if (isFinished() || isExecuting()) return;
  if (!isCancelled()) {
    executing_ = true;
    stateDidChange();
    main();
    executing_ = false;
  }
  finished_ = true;
  stateDidChange();
}

void Operation::cancel() {
  if (cancelled_.exchange(true)) return;
  stateDidChange();
}

bool Operation::isExecuting() const {
  return executing_;
}
bool Operation::isFinished() const {
  return finished_;
}
bool Operation::isCancelled() const {
  return cancelled_;
}

bool Operation::isReady() const {
  if (isCancelled()) return true;
  std::lock_guard lock(mutex_);
  for (auto& w : dependencies_)
    if (auto d = w.lock(); d && !d->isFinished()) return false;
  return true;
}

void Operation::addDependency(const std::shared_ptr<Operation>& op) {
  if (!op || op.get() == this) return;
  std::lock_guard lock(mutex_);
  dependencies_.push_back(op);
}

void Operation::removeDependency(const std::shared_ptr<Operation>& op) {
  {
    std::lock_guard lock(mutex_);
    std::erase_if(dependencies_, [&](const std::weak_ptr<Operation>& w) {
      auto d = w.lock();
      return !d || d == op;
    });
  }
  stateDidChange();
}

std::vector<std::shared_ptr<Operation>> Operation::dependencies() const {
  std::lock_guard lock(mutex_);
  std::vector<std::shared_ptr<Operation>> out;
  for (auto& w : dependencies_)
    if (auto d = w.lock()) out.push_back(d);
  return out;
}

void Operation::setFinishedHandler(std::function<void()> handler) {
  std::lock_guard lock(mutex_);
  finishedHandler_ = std::move(handler);
}

Operation::ObserverId Operation::addObserver(std::function<void()> observer) {
  std::lock_guard lock(mutex_);
  ObserverId id = nextObserver_++;
  observers_.emplace_back(id, std::make_shared<std::function<void()>>(std::move(observer)));
  return id;
}

void Operation::removeObserver(ObserverId id) {
  std::lock_guard lock(mutex_);
  std::erase_if(observers_, [&](auto& o) { return o.first == id; });
}

void Operation::stateDidChange() {
  std::vector<std::shared_ptr<std::function<void()>>> observers;
  std::function<void()> finished;
  {
    std::lock_guard lock(mutex_);
    for (auto& o : observers_) observers.push_back(o.second);
    if (isFinished() && !finishedHandled_) {
      finishedHandled_ = true;
      finished = std::move(finishedHandler_);
    }
  }
  if (finished) finished();
  for (auto& o : observers) (*o)();
}

// ---- queue ----

struct OperationQueue::State : std::enable_shared_from_this<OperationQueue::State> {
  struct Entry {
    std::shared_ptr<Operation> op;
    std::uint64_t order;
    bool started = false;
    std::vector<std::pair<std::weak_ptr<Operation>, Operation::ObserverId>> watches;
  };

  mutable std::mutex mutex;
  std::condition_variable changed;
  std::vector<Entry> entries;
  std::uint64_t nextOrder = 0;
  int maxConcurrent = -1;  // no limit
  bool suspended = false;
  Dispatcher dispatcher;
  struct Worker {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done;
  };
  std::vector<Worker> workers;
  bool dispatchPending = false;

  void poke() {
    Dispatcher d;
    {
      std::lock_guard lock(mutex);
      if (dispatcher) {
        if (dispatchPending) return;
        dispatchPending = true;
        d = dispatcher;
      }
    }
    std::weak_ptr<State> weak = shared_from_this();
    if (d)
      d([weak] {
        if (auto s = weak.lock()) s->update();
      });
    else
      update();
  }

  // Drops finished operations and starts what the limits allow, outside the lock.
  void update() {
    std::vector<std::shared_ptr<Operation>> toStart;
    std::vector<std::pair<std::weak_ptr<Operation>, Operation::ObserverId>> unwatch;
    // Released only after the lock: the last reference to an operation can be the one that
    // keeps this queue's owner alive, whose destructor takes the lock again.
    std::vector<std::shared_ptr<Operation>> over;
    {
      std::lock_guard lock(mutex);
      dispatchPending = false;
      for (auto it = entries.begin(); it != entries.end();) {
        if (it->op->isFinished()) {
          for (auto& w : it->watches) unwatch.push_back(w);
          over.push_back(std::move(it->op));
          it = entries.erase(it);
        } else {
          ++it;
        }
      }
      size_t running = 0;
      for (auto& e : entries)
        if (e.started) ++running;
      if (!suspended) {
        std::vector<Entry*> ready;
        for (auto& e : entries)
          if (!e.started && e.op->isReady()) ready.push_back(&e);
        std::stable_sort(ready.begin(), ready.end(), [](Entry* a, Entry* b) {
          int pa = a->op->queuePriority(), pb = b->op->queuePriority();
          if (pa != pb) return pa > pb;
          return a->order < b->order;
        });
        for (Entry* e : ready) {
          if (maxConcurrent >= 0 && running >= static_cast<size_t>(maxConcurrent)) break;
          e->started = true;
          ++running;
          toStart.push_back(e->op);
        }
      }
    }
    changed.notify_all();
    for (auto& [w, id] : unwatch)
      if (auto op = w.lock()) op->removeObserver(id);
    reapWorkers();
    for (auto& op : toStart) {
      if (op->isConcurrent()) {
        op->start();
      } else {
        auto done = std::make_shared<std::atomic<bool>>(false);
        std::lock_guard lock(mutex);
        workers.push_back({std::thread([op, done] {
                             op->start();
                             *done = true;
                           }),
                           done});
      }
    }
  }

  // Plain operations run on short-lived threads; join the ones that are over.
  void reapWorkers() {
    std::vector<Worker> over;
    {
      std::lock_guard lock(mutex);
      for (auto it = workers.begin(); it != workers.end();) {
        if (*it->done) {
          over.push_back(std::move(*it));
          it = workers.erase(it);
        } else {
          ++it;
        }
      }
    }
    for (auto& w : over) w.thread.join();
  }
};

OperationQueue::OperationQueue() : state_(std::make_shared<State>()) {}

OperationQueue::~OperationQueue() {
  std::vector<State::Worker> workers;
  {
    std::lock_guard lock(state_->mutex);
    workers.swap(state_->workers);
  }
  // The last owner can let go on one of these threads; it cannot wait for itself.
  for (auto& w : workers)
    if (w.thread.get_id() == std::this_thread::get_id())
      w.thread.detach();
    else if (w.thread.joinable())
      w.thread.join();
}

void OperationQueue::addOperation(const std::shared_ptr<Operation>& op) {
  if (!op) return;
  std::weak_ptr<State> weak = state_;
  auto observer = [weak] {
    if (auto s = weak.lock()) s->poke();
  };
  State::Entry entry{op, 0, false, {}};
  entry.watches.emplace_back(op, op->addObserver(observer));
  for (auto& d : op->dependencies()) entry.watches.emplace_back(d, d->addObserver(observer));
  {
    std::lock_guard lock(state_->mutex);
    entry.order = state_->nextOrder++;
    state_->entries.push_back(std::move(entry));
  }
  state_->poke();
}

namespace {
class BlockOperation : public Operation {
 public:
  explicit BlockOperation(std::function<void()> work) : work_(std::move(work)) {}
  void main() override { work_(); }

 private:
  std::function<void()> work_;
};
}  // namespace

void OperationQueue::addOperation(std::function<void()> work) {
  addOperation(std::make_shared<BlockOperation>(std::move(work)));
}

int OperationQueue::maxConcurrentOperationCount() const {
  std::lock_guard lock(state_->mutex);
  return state_->maxConcurrent;
}

void OperationQueue::setMaxConcurrentOperationCount(int count) {
  {
    std::lock_guard lock(state_->mutex);
    state_->maxConcurrent = count;
  }
  state_->poke();
}

bool OperationQueue::isSuspended() const {
  std::lock_guard lock(state_->mutex);
  return state_->suspended;
}

void OperationQueue::setSuspended(bool suspended) {
  {
    std::lock_guard lock(state_->mutex);
    state_->suspended = suspended;
  }
  state_->poke();
}

void OperationQueue::cancelAllOperations() {
  for (auto& op : operations()) op->cancel();
}

std::vector<std::shared_ptr<Operation>> OperationQueue::operations() const {
  std::lock_guard lock(state_->mutex);
  std::vector<std::shared_ptr<Operation>> out;
  for (auto& e : state_->entries)
    if (!e.op->isFinished()) out.push_back(e.op);
  return out;
}

size_t OperationQueue::operationCount() const {
  return operations().size();
}

size_t OperationQueue::executingCount() const {
  std::lock_guard lock(state_->mutex);
  size_t n = 0;
  for (auto& e : state_->entries)
    if (e.started && !e.op->isFinished()) ++n;
  return n;
}

void OperationQueue::waitUntilAllOperationsAreFinished() {
  std::unique_lock lock(state_->mutex);
  state_->changed.wait(lock, [&] {
    return std::all_of(state_->entries.begin(), state_->entries.end(),
                       [](auto& e) { return e.op->isFinished(); });
  });
}

void OperationQueue::setDispatcher(Dispatcher dispatcher) {
  std::lock_guard lock(state_->mutex);
  state_->dispatcher = std::move(dispatcher);
}

}  // namespace est
