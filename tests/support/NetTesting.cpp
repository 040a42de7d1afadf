#include "tests/support/NetTesting.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fcntl.h>
#include <thread>

#include "tests/support/TempDir.h"

extern char** environ;

namespace kestrova::testing {

void UseLoopbackDds() {
  // The loopback carries no multicast, so discovery goes to the peers'
  // unicast ports on 127.0.0.1 (one per participant index).
  setenv("CYCLONEDDS_URI",
         "<CycloneDDS><Domain><General><Interfaces><NetworkInterface name=\"lo\"/></Interfaces>"
         "<AllowMulticast>false</AllowMulticast></General>"
         "<Discovery><ParticipantIndex>auto</ParticipantIndex>"
         "<MaxAutoParticipantIndex>30</MaxAutoParticipantIndex>"
         "<Peers><Peer address=\"127.0.0.1\"/></Peers></Discovery></Domain></CycloneDDS>",
         1);
}

std::string ReadmeUnicastConfig(const std::string& interface, const std::string& first,
                                const std::string& second) {
  const std::string readme = ReadFile(KESTROVA_SOURCE_DIR "/README.md");
  const std::string start = "CYCLONEDDS_URI='";
  for (size_t at = readme.find(start); at != std::string::npos; at = readme.find(start, at + 1)) {
    const size_t begin = at + start.size();
    const size_t end = readme.find('\'', begin);
    if (end == std::string::npos) break;
    std::string config = readme.substr(begin, end - begin);
    if (config.find("<AllowMulticast>false</AllowMulticast>") == std::string::npos) continue;
    for (const auto& [example, actual] : {std::make_pair(std::string("\"eth1\""), '"' + interface + '"'),
                                          std::make_pair(std::string("\"192.168.50.2\""), '"' + first + '"'),
                                          std::make_pair(std::string("\"192.168.50.3\""), '"' + second + '"')}) {
      const size_t found = config.find(example);
      if (found == std::string::npos) return "";
      config.replace(found, example.size(), actual);
    }
    return config;
  }
  return "";
}

int TestDomain() { return 1 + static_cast<int>(getpid() % 200); }

BackgroundProgram::BackgroundProgram(const std::vector<std::string>& args,
                                     const std::string& outputFile)
    : outputFile_(outputFile) {
  std::vector<std::string> copy = args;
  std::vector<char*> argv;
  for (auto& arg : copy) argv.push_back(arg.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outputFile.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
  pid_t pid = -1;
  if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) == 0) pid_ = pid;
  posix_spawn_file_actions_destroy(&actions);
}

BackgroundProgram::~BackgroundProgram() {
  if (pid_ > 0 && status_ < 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
}

std::string BackgroundProgram::Output() const { return ReadFile(outputFile_); }

bool BackgroundProgram::WaitForOutput(const std::string& text,
                                      std::chrono::milliseconds limit) const {
  const auto until = std::chrono::steady_clock::now() + limit;
  while (Output().find(text) == std::string::npos) {
    if (std::chrono::steady_clock::now() >= until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

void BackgroundProgram::Signal(int signal) {
  if (pid_ > 0 && status_ < 0) kill(pid_, signal);
}

int BackgroundProgram::Wait(std::chrono::milliseconds limit) {
  if (pid_ <= 0 || status_ >= 0) return status_;
  const auto until = std::chrono::steady_clock::now() + limit;
  int status = 0;
  while (waitpid(pid_, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() >= until) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return status_;
}

}  // namespace kestrova::testing
