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
    // Every loss and every return, each told once, also those that came and
    // went between two calls.
    std::vector<std::string> events;
    for (const LossSpan& span : engine_.Loss(i).All()) {
      events.push_back(CameraText(i) + " lost at frame " + std::to_string(span.lostAt) + " (" +
                       (span.deviceGone ? "device not connected" : "no frames from it") +
                       "); the take goes on without it");
      if (span.backAt >= 0)
        events.push_back(CameraText(i) + " back at frame " + std::to_string(span.backAt) +
                         "; recorded again from there on");
    }
    for (size_t e = told_[i]; e < events.size(); ++e) lines.push_back(events[e]);
    told_[i] = events.size();
  }
  return lines;
}

std::vector<std::string> LostCameraWatch::Summary() const {
  std::vector<std::string> lines;
  for (int i = 0; i < kCameraCount; ++i) {
    if (!cameras_[i]) continue;
    for (const LossSpan& span : engine_.Loss(i).All()) {
      const std::string from = std::to_string(span.lostAt);
      lines.push_back("recorded, but " + CameraText(i) + " was lost at frame " + from +
                      (span.backAt >= 0 ? " (back at frame " + std::to_string(span.backAt) +
                                              ": frames " + from + " to " +
                                              std::to_string(span.backAt - 1) + " missing)"
                                        : " (frames " + from + " to the end missing)"));
    }
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
