// Runs a command line through the shell, for tests of the programs.
#pragma once

#include <string>

namespace kestrova::testing {

struct CommandRun {
  int status = -1;     // the exit status, or 128 + the signal that ended it
  std::string output;  // standard output and error together
};

CommandRun RunCommand(const std::string& command);

// Runs the program at `path` (quoted) with `arguments`; its standard error
// joins the output.
inline CommandRun RunTool(const char* path, const std::string& arguments) {
  return RunCommand("'" + std::string(path) + "' " + arguments + " 2>&1");
}

}  // namespace kestrova::testing
