// For tests of the depth-frame network: DDS kept on the loopback, a domain
// of the test run's own, and programs run in the background.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace kestrova::testing {

// Points Cyclone DDS at the loopback interface only, unicast, for this
// process and the programs it starts. Call before the first participant.
void UseLoopbackDds();

// Calls UseLoopbackDds before the tests of a program run.
class LoopbackDdsEnvironment : public ::testing::Environment {
 public:
  void SetUp() override { UseLoopbackDds(); }
};

// The README's configuration for networks without multicast, as a user
// pastes it, bound to `interface` and listing `first` and `second` in place
// of its example's interface and two addresses; "" when the README has no
// such configuration.
std::string ReadmeUnicastConfig(const std::string& interface, const std::string& first,
                                const std::string& second);

// A DDS domain derived from the process id, so parallel runs never meet.
int TestDomain();

// A program running in the background, its output going to a file. The
// destructor kills it if it still runs.
class BackgroundProgram {
 public:
  BackgroundProgram(const std::vector<std::string>& args, const std::string& outputFile);
  ~BackgroundProgram();
  BackgroundProgram(const BackgroundProgram&) = delete;
  BackgroundProgram& operator=(const BackgroundProgram&) = delete;

  bool Started() const { return pid_ > 0; }
  // True once the output holds `text`, waiting at most `limit`.
  bool WaitForOutput(const std::string& text, std::chrono::milliseconds limit) const;
  std::string Output() const;
  void Signal(int signal);
  // The exit status (128 + signal if killed), or -1 if it still runs after `limit`.
  int Wait(std::chrono::milliseconds limit);

 private:
  pid_t pid_ = -1;
  std::string outputFile_;
  int status_ = -1;
};

}  // namespace kestrova::testing
