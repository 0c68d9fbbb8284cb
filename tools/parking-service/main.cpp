#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "command_line.h"
#include "parking_service.h"
#include "platform/log.h"

int main(int argc, char** argv) {
  std::vector<std::string> arguments(argv + 1, argv + argc);
  est::Error error;
  std::optional<est::ParkingServiceCommandLine> line =
      est::parseParkingServiceCommandLine(arguments, &error);
  if (!line) {
    std::fprintf(stderr, "parking-service: %s\nTry 'parking-service --help'.\n",
                 error.description.c_str());
    return 2;
  }
  if (line->help) {
    std::fputs(est::parkingServiceUsage().c_str(), stdout);
    return 0;
  }

  // Signals are taken by sigwait below; the service thread inherits the blocked mask.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  std::signal(SIGPIPE, SIG_IGN);

  est::ParkingService service(line->options);
  if (!service.start(line->host, line->port, &error)) {
    std::fprintf(stderr, "parking-service: %s\n", error.description.c_str());
    return 1;
  }
  std::printf("listening on %s\n", service.baseAddress().c_str());
  std::fflush(stdout);

  int received = 0;
  sigwait(&signals, &received);
  if (!line->options.quiet) est::logf("parking-service: stopping on signal %d", received);
  service.stop();
  return 0;
}
