#include "platform/log.h"

#include <cstdarg>
#include <cstdio>
#include <memory>
#include <mutex>

#include "platform/format.h"

namespace est {
namespace {

std::mutex& sinkMutex() {
  static std::mutex m;
  return m;
}

void writeStderr(std::string_view line) {
  std::fprintf(stderr, "%.*s\n", static_cast<int>(line.size()), line.data());
}

LogSink& sink() {
  static LogSink s = writeStderr;
  return s;
}

}  // namespace

void logLine(std::string_view line) {
  LogSink s;
  {
    std::lock_guard lock(sinkMutex());
    s = sink();
  }
  if (s) s(line);
}

void logf(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  std::string line = vstrprintf(fmt, args);
  va_end(args);
  logLine(line);
}

LogSink setLogSink(LogSink s) {
  std::lock_guard lock(sinkMutex());
  LogSink previous = std::move(sink());
  sink() = std::move(s);
  return previous;
}

void resetLogSink() {
  setLogSink(writeStderr);
}

struct LogCapture::State {
  mutable std::mutex mutex;
  std::vector<std::string> lines;
};

LogCapture::LogCapture() : state_(std::make_shared<State>()) {
  previous_ = setLogSink([state = state_](std::string_view line) {
    std::lock_guard lock(state->mutex);
    state->lines.emplace_back(line);
  });
}

LogCapture::~LogCapture() {
  setLogSink(std::move(previous_));
}

std::vector<std::string> LogCapture::lines() const {
  std::lock_guard lock(state_->mutex);
  return state_->lines;
}

bool LogCapture::contains(std::string_view fragment) const {
  std::lock_guard lock(state_->mutex);
  for (const auto& l : state_->lines)
    if (l.find(fragment) != std::string::npos) return true;
  return false;
}

void LogCapture::clear() {
  std::lock_guard lock(state_->mutex);
  state_->lines.clear();
}

}  // namespace est
