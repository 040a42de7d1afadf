#include "tools/StopSignals.h"

#include <csignal>

namespace kestrova {

namespace {
volatile std::sig_atomic_t stopSignal = 0;
void RequestStop(int signal) { stopSignal = signal; }
}  // namespace

void IgnoreOutputSignals() {
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);
}

void StopOnSignals() {
  std::signal(SIGINT, RequestStop);
  std::signal(SIGTERM, RequestStop);
  std::signal(SIGHUP, RequestStop);
}

int StopSignal() { return stopSignal; }

std::string StopSignalText(int signal) {
  switch (signal) {
    case SIGINT: return "Ctrl-C (SIGINT)";
    case SIGTERM: return "SIGTERM";
    case SIGHUP: return "SIGHUP (terminal closed)";
  }
  return "signal " + std::to_string(signal);
}

}  // namespace kestrova
