#include "tests/support/Commands.h"

#include <sys/wait.h>

#include <cstdio>

namespace kestrova::testing {

CommandRun RunCommand(const std::string& command) {
  CommandRun run;
  std::FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  if (!pipe) return run;
  char buffer[4096];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) run.output.append(buffer, n);
  const int status = pclose(pipe);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return run;
}

}  // namespace kestrova::testing
