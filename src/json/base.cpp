#include <algorithm>

#include "json/codec.h"
#include "platform/format.h"

namespace est {
namespace {

// Trace errors chain through `underlying`, and an input nested a million deep without a limit
// leaves a million-long chain. Releasing it node by node from a work list keeps the release of
// any error of the chain, wherever it is held, from recursing down the whole chain.
struct ChainedErrorDeleter {
  void operator()(const Error* error) const {
    thread_local bool draining = false;
    thread_local std::vector<std::shared_ptr<const Error>> pending;
    auto* owned = const_cast<Error*>(error);  // made non-const by addErrorWithCode
    if (owned->underlying) pending.push_back(std::move(owned->underlying));
    delete owned;
    if (draining) return;
    draining = true;
    while (!pending.empty()) {
      std::shared_ptr<const Error> next = std::move(pending.back());
      pending.pop_back();
    }
    draining = false;
  }
};

}  // namespace

std::vector<Error> LxJsonBase::errorTrace() const {
  std::lock_guard lock(traceMutex_);
  std::vector<Error> out;
  out.reserve(trace_.size());
  for (const auto& e : trace_) out.push_back(*e);
  return out;
}

bool LxJsonBase::hasErrorTrace() const {
  std::lock_guard lock(traceMutex_);
  return hasTrace_;
}

std::optional<Error> LxJsonBase::lastError() const {
  std::lock_guard lock(traceMutex_);
  if (trace_.empty()) return std::nullopt;
  return *trace_.back();
}

void LxJsonBase::addErrorWithCode(int code, std::string description) {
  notify(TraceChange::WillChange);
  {
    std::lock_guard lock(traceMutex_);
    std::shared_ptr<const Error> previous = trace_.empty() ? nullptr : trace_.back();
    trace_.push_back(std::shared_ptr<const Error>(
        new Error(LxJSONErrorDomain, code, std::move(description), std::move(previous)),
        ChainedErrorDeleter()));
    hasTrace_ = true;
  }
  notify(TraceChange::DidChange);
}

void LxJsonBase::clearErrorTrace() {
  // Only the owning thread writes the flag, so it may read it without the lock.
  if (!hasTrace_) return;
  notify(TraceChange::WillChange);
  {
    std::lock_guard lock(traceMutex_);
    trace_.clear();
    hasTrace_ = false;
  }
  notify(TraceChange::DidChange);
}

void LxJsonBase::replaceErrorTrace(const LxJsonBase& source) {
  std::vector<std::shared_ptr<const Error>> copy;
  bool present;
  {
    std::lock_guard lock(source.traceMutex_);
    copy = source.trace_;
    present = source.hasTrace_;
  }
  notify(TraceChange::WillChange);
  {
    std::lock_guard lock(traceMutex_);
    trace_ = std::move(copy);
    hasTrace_ = present;
  }
  notify(TraceChange::DidChange);
}

int LxJsonBase::addErrorTraceObserver(ErrorTraceObserver observer) {
  int token = nextObserverToken_++;
  observers_.emplace_back(token, std::move(observer));
  return token;
}

void LxJsonBase::removeErrorTraceObserver(int token) {
  std::erase_if(observers_, [token](const auto& entry) { return entry.first == token; });
}

void LxJsonBase::notify(TraceChange change) const {
  if (observers_.empty()) return;
  auto observers = observers_;  // an observer may remove itself
  for (const auto& [token, observer] : observers)
    if (observer) observer(*this, change);
}

namespace {

// Messages can carry key text from the input; keep each error on one line.
std::string oneLine(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (unsigned char c : text) {
    if (c < 0x20 || c == 0x7F)
      out += strprintf("\\u%04x", c);
    else
      out += static_cast<char>(c);
  }
  return out;
}

}  // namespace

std::string formatErrorTraceLines(const std::vector<Error>& trace) {
  std::string out;
  for (const Error& e : trace)
    out += strprintf("code %d: ", e.code) + oneLine(e.description) + "\n";
  return out;
}

std::string describeErrorTrace(const std::vector<Error>& trace) {
  std::string out = "(";
  for (std::size_t i = 0; i < trace.size(); ++i) {
    if (i) out += ", ";
    out += strprintf("Error Domain=%s Code=%d \"", trace[i].domain.c_str(), trace[i].code);
    out += oneLine(trace[i].description);
    out += '"';
  }
  out += ')';
  return out;
}

}  // namespace est
