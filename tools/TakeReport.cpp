#include "tools/TakeReport.h"

namespace kestrova {

namespace {

std::string CameraText(int slot) { return "camera " + std::to_string(slot + 1); }

const char* EndKindText(TakeEnd end) {
  switch (end) {
    case TakeEnd::CycleLimit: return "all frames recorded";
    case TakeEnd::TimeLimit: return "time limit reached";
    case TakeEnd::Stopped: return "stopped";
    case TakeEnd::Closed: return "closed";
    case TakeEnd::InputEnded: return "replay finished";
    case TakeEnd::InputFailed: return "a replayed frame could not be read";
    case TakeEnd::SensorStalled: return "a sensor stopped delivering frames";
    case TakeEnd::WriteFailed: return "a take file could not be written";
    case TakeEnd::None: break;
  }
  return "unknown";
}

}  // namespace

LostCameraWatch::LostCameraWatch(const CRecorder& engine, const std::array<bool, kCameraCount>& cameras)
    : engine_(engine) {
  for (int i = 0; i < kCameraCount; ++i) cameras_[i] = cameras[i];
}

std::vector<std::string> LostCameraWatch::Changes() {
  std::vector<std::string> lines;
  for (int i = 0; i < kCameraCount; ++i) {
    if (!cameras_[i]) continue;
    const CameraLoss now = engine_.Loss(i);
    const CameraLoss before = seen_[i];
    seen_[i] = now;
    if (now.LostNow() && (!before.LostNow() || before.lostAt != now.lostAt)) {
      lines.push_back(CameraText(i) + " lost at frame " + std::to_string(now.lostAt) + " (" +
                      (now.deviceGone ? "device not connected" : "no frames from it") +
                      "); the take goes on without it");
    } else if (before.LostNow() && !now.LostNow() && now.backAt >= 0) {
      lines.push_back(CameraText(i) + " back at frame " + std::to_string(now.backAt) +
                      "; recorded again from there on");
    }
  }
  return lines;
}

std::vector<std::string> LostCameraWatch::Summary() const {
  std::vector<std::string> lines;
  for (int i = 0; i < kCameraCount; ++i) {
    const CameraLoss loss = engine_.Loss(i);
    if (!cameras_[i] || !loss.Lost()) continue;
    std::string line = "recorded, but " + CameraText(i) + " was lost at frame " +
                       std::to_string(loss.lostAt);
    if (loss.backAt >= 0) line += " (back at frame " + std::to_string(loss.backAt) + ")";
    lines.push_back(line);
  }
  return lines;
}

std::string TakeEndText(const TakeOutcome& outcome) {
  return outcome.message.empty() ? EndKindText(outcome.end) : outcome.message;
}

int TakeExitStatus(const TakeOutcome& outcome, bool cameraLost) {
  switch (outcome.end) {
    case TakeEnd::CycleLimit:
    case TakeEnd::TimeLimit:
    case TakeEnd::Stopped:
    case TakeEnd::InputEnded:
      return cameraLost ? kExitCameraLost : kExitRecorded;
    default:
      return kExitFailed;
  }
}

}  // namespace kestrova
