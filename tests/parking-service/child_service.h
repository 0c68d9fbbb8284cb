#pragma once

// Runs the parking-service program as a child process with its output on pipes.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

extern char** environ;

namespace est::testing {

class ChildService {
 public:
  ChildService() = default;
  ~ChildService() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    if (out_ >= 0) ::close(out_);
    if (err_ >= 0) ::close(err_);
  }
  ChildService(const ChildService&) = delete;
  ChildService& operator=(const ChildService&) = delete;

  bool spawn(const std::string& program, const std::vector<std::string>& arguments) {
    int out[2], err[2];
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) return false;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    int rc = posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    ::close(err[1]);
    out_ = out[0];
    err_ = err[0];
    if (rc != 0) pid_ = -1;
    return rc == 0;
  }

  // Waits until standard output or standard error holds `fragment`; gives that stream's text.
  std::optional<std::string> waitForOutput(
      const std::string& fragment, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    return waitFor(out_, stdout_, fragment, timeout);
  }
  std::optional<std::string> waitForError(
      const std::string& fragment, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    return waitFor(err_, stderr_, fragment, timeout);
  }

  // "listening on http://127.0.0.1:PORT": the port, once the child is ready.
  std::optional<std::uint16_t> waitUntilListening() {
    std::optional<std::string> text = waitForOutput("\n");
    if (!text) return std::nullopt;
    std::size_t colon = text->rfind(':');
    if (text->rfind("listening on http://", 0) != 0 || colon == std::string::npos)
      return std::nullopt;
    return static_cast<std::uint16_t>(std::stoi(text->substr(colon + 1)));
  }

  // Sends `signal` and gives the exit code (or 128 + signal), waiting at most `timeout`.
  std::optional<int> stop(int signal = SIGTERM,
                          std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    if (pid_ > 0 && signal) ::kill(pid_, signal);
    return wait(timeout);
  }
  std::optional<int> wait(std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (pid_ > 0) {
      int status = 0;
      pid_t done = ::waitpid(pid_, &status, WNOHANG);
      if (done == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      if (std::chrono::steady_clock::now() > deadline) return std::nullopt;
      ::usleep(10000);
    }
    return std::nullopt;
  }

  pid_t pid() const { return pid_; }

  const std::string& standardError() {
    drain(err_, stderr_);
    return stderr_;
  }
  const std::string& standardOutput() {
    drain(out_, stdout_);
    return stdout_;
  }

 private:
  static void drain(int fd, std::string& into) {
    pollfd p{fd, POLLIN, 0};
    char buffer[4096];
    while (fd >= 0 && ::poll(&p, 1, 0) > 0) {
      ssize_t n = ::read(fd, buffer, sizeof buffer);
      if (n <= 0) break;
      into.append(buffer, static_cast<std::size_t>(n));
    }
  }

  static std::optional<std::string> waitFor(int fd, std::string& text, const std::string& fragment,
                                            std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (text.find(fragment) == std::string::npos) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0 || fd < 0) return std::nullopt;
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) return std::nullopt;
      char buffer[4096];
      ssize_t n = ::read(fd, buffer, sizeof buffer);
      if (n <= 0) return std::nullopt;
      text.append(buffer, static_cast<std::size_t>(n));
    }
    return text;
  }

  pid_t pid_ = -1;
  int out_ = -1;
  int err_ = -1;
  std::string stdout_;
  std::string stderr_;
};

}  // namespace est::testing
