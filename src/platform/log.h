#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace est {

// Free-form diagnostic log. Lines go to standard error unless a sink is installed.
using LogSink = std::function<void(std::string_view line)>;

void logLine(std::string_view line);
void logf(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// Replaces the sink for the whole process; returns the previous one. An empty sink silences.
LogSink setLogSink(LogSink sink);
void resetLogSink();  // back to standard error

// Collects every line logged while alive (tests); restores the previous sink on destruction.
class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::vector<std::string> lines() const;
  bool contains(std::string_view fragment) const;
  void clear();

 private:
  struct State;
  std::shared_ptr<State> state_;
  LogSink previous_;
};

}  // namespace est
