#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace est {

class OperationQueue;

// A unit of work for an OperationQueue. A plain operation runs main() on a worker thread of
// the queue. A concurrent one (isConcurrent() true) only gets start() called and reports its
// own progress through isExecuting()/isFinished(), calling stateDidChange() whenever either
// changes.
class Operation : public std::enable_shared_from_this<Operation> {
 public:
  enum QueuePriority : int {
    VeryLow = -8,
    Low = -4,
    Normal = 0,
    High = 4,
    VeryHigh = 8,
  };

  Operation();
  virtual ~Operation();
  Operation(const Operation&) = delete;
  Operation& operator=(const Operation&) = delete;

  virtual void start();
  virtual void main() {}
  virtual void cancel();

  virtual bool isConcurrent() const { return false; }
  virtual bool isExecuting() const;
  virtual bool isFinished() const;
  virtual bool isCancelled() const;
  // Ready once every dependency has finished (or once cancelled).
  bool isReady() const;

  void addDependency(const std::shared_ptr<Operation>& op);
  void removeDependency(const std::shared_ptr<Operation>& op);
  std::vector<std::shared_ptr<Operation>> dependencies() const;

  int queuePriority() const { return priority_.load(); }
  void setQueuePriority(int p) { priority_.store(p); }

  // Called once on the thread that finishes the operation.
  void setFinishedHandler(std::function<void()> handler);

  // Observers are told of every state change (queues and dependents use this).
  using ObserverId = std::uint64_t;
  ObserverId addObserver(std::function<void()> observer);
  void removeObserver(ObserverId id);

 protected:
  // Concurrent operations call this after changing what isExecuting/isFinished/isCancelled
  // report. Must not be called with locks held that observers might need.
  void stateDidChange();

 private:
  mutable std::mutex mutex_;
  std::vector<std::weak_ptr<Operation>> dependencies_;
  std::vector<std::pair<ObserverId, std::shared_ptr<std::function<void()>>>> observers_;
  ObserverId nextObserver_ = 1;
  std::function<void()> finishedHandler_;
  bool finishedHandled_ = false;
  std::atomic<int> priority_{Normal};
  std::atomic<bool> executing_{false};
  std::atomic<bool> finished_{false};
  std::atomic<bool> cancelled_{false};
};

// Runs operations with a limit on how many run at once, highest priority first among the
// ready ones, in the order added otherwise. A suspended queue starts nothing new.
class OperationQueue {
 public:
  using Dispatcher = std::function<void(std::function<void()>)>;

  OperationQueue();
  ~OperationQueue();  // waits for running plain operations
  OperationQueue(const OperationQueue&) = delete;
  OperationQueue& operator=(const OperationQueue&) = delete;

  void addOperation(const std::shared_ptr<Operation>& op);
  void addOperation(std::function<void()> work);

  int maxConcurrentOperationCount() const;
  void setMaxConcurrentOperationCount(int count);
  bool isSuspended() const;
  void setSuspended(bool suspended);
  void cancelAllOperations();

  // Operations added and not yet finished.
  std::vector<std::shared_ptr<Operation>> operations() const;
  size_t operationCount() const;
  size_t executingCount() const;
  // Blocks until every operation has finished (not from a thread an operation needs).
  void waitUntilAllOperationsAreFinished();

  // Where the queue starts its operations after a state change; inline when unset. The HTTP
  // client points this at its network thread so that starts never nest in a request's locks.
  void setDispatcher(Dispatcher dispatcher);

 private:
  struct State;
  std::shared_ptr<State> state_;
};

}  // namespace est
