// Runs a command line through the shell, or a program as a child process
// to signal, for tests of the programs.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

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

// A program as a child process, its standard output and error on `outputFd`;
// killed when the object goes before it ended.
class Child {
 public:
  Child(const std::string& program, const std::vector<std::string>& arguments, int outputFd);
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  bool Spawned() const { return spawned_; }
  void Signal(int signal);
  // Waits at most `limit` for the end; false (and the child killed) if it did not end.
  bool Ends(std::chrono::milliseconds limit = std::chrono::seconds(60));
  // The exit status, or 128 + the signal that killed it.
  int Status() const;

 private:
  pid_t pid_ = -1;
  int status_ = 0;
  bool spawned_ = false;
  bool ended_ = false;
};

// Reads `fd` until `text` has come (true) or the writer closed it or
// `limit` passed (false); what was read is appended to `seen`.
bool ReadUntil(int fd, const std::string& text, std::string* seen,
               std::chrono::milliseconds limit = std::chrono::seconds(60));

}  // namespace kestrova::testing
