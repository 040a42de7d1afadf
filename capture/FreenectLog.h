// libfreenect's messages as the terminal sees them. libfreenect reports
// much only through its log: a USB device that disappeared or was marked
// dead, transfers that could not be submitted (USB bandwidth), a camera
// interface that could not be claimed. Warnings and errors are passed on
// once per kind, since some repeat for every transfer or every event call.
#pragma once

#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace kestrova {

// A message with every run of digits replaced by '#', so that "transfer 3:
// -1" and "transfer 4: -1" are one kind; without its trailing line break.
std::string MessageKind(const std::string& message);

// Why a device could not be opened, from libfreenect's messages during the
// attempt ("busy (...)", "permission denied (...)", ...).
std::string OpenFailureReason(const std::vector<std::string>& messages);

class FreenectLog {
 public:
  // Prints "kestrova: libfreenect: MESSAGE" unless one of its kind was
  // printed already, and keeps it for TakeRecent. Any thread.
  void Report(const std::string& message);
  // The messages reported since the last call.
  std::vector<std::string> TakeRecent();

 private:
  static constexpr size_t kRecentLimit = 64;
  std::mutex mutex_;
  std::set<std::string> printedKinds_;
  std::vector<std::string> recent_;
};

}  // namespace kestrova
