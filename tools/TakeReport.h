// What kestrova-record says about a take besides its progress: cameras lost
// and taken back while it runs, what the take holds when it ends, and the
// signal that stopped it.
#pragma once

#include <string>
#include <vector>

#include "core/Recorder.h"

namespace kestrova {

// The exit statuses of kestrova-record.
constexpr int kExitRecorded = 0;
constexpr int kExitFailed = 1;
constexpr int kExitBadOption = 2;
constexpr int kExitCameraLost = 3;  // recorded, but a camera was lost during the take

// Watches the take's cameras for losses while the take runs.
class LostCameraWatch {
 public:
  LostCameraWatch(const CRecorder& engine, const std::array<bool, kCameraCount>& cameras);
  // One line for every loss and every return since the last call.
  std::vector<std::string> Changes();
  // After the take: "recorded, but camera N was lost at frame F", with the
  // frames its files miss, for every loss of every camera during it.
  std::vector<std::string> Summary() const;

 private:
  const CRecorder& engine_;
  bool cameras_[kCameraCount];
  size_t told_[kCameraCount] = {};  // the camera's losses and returns told so far
};

// How a take ended, for the line that ends the run: the engine's own reason
// when it gave one, else the kind of end.
std::string TakeEndText(const TakeOutcome& outcome);

// The exit status for a take that ended as `outcome`.
int TakeExitStatus(const TakeOutcome& outcome, bool cameraLost);

}  // namespace kestrova
