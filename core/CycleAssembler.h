// Puts a loop's cycles together from its cameras' acquisitions, so that the
// frames of one cycle show one moment and no camera waits for another.
//
// Each cycle has a moment: the next frame of the pacing camera, the first of
// the loop's cameras that is not lost. Every other camera contributes its
// buffered frame nearest that moment if one lies within half the pacing
// camera's frame period (the lower edge moved to where the previous cycle's
// share of time ended, when the moments jitter, so that no frame falls
// between two cycles), and otherwise has no frame in that cycle (no frame
// is made up, none is used twice). Frames older than the cycle are
// discarded and counted by their acquisition. So a camera that dropped a
// frame, stalled or came in a burst is back in step at the next cycle.
//
// Waiting is bounded. A camera whose frame for the moment has not come is
// waited for until the latency budget has passed since the moment (less at
// frame rates so high that the buffers would not hold that long), then
// the cycle goes on without it; a lost camera is not waited for at all. As
// the budget counts from the moment, not from when the cycle began to
// wait, cycles that fell behind catch up without waiting again, and the
// cameras that deliver lose nothing while a silent one is found out (their
// buffers hold more than the budget). When the pacing camera's next frame
// is later than its period plus the budget, the earliest frame of another
// camera sets the moment instead.
//
// Time line. Live cameras' frames are placed by their stamps mapped onto
// the host clock (ms). Cameras that keep every frame (replays, free-running
// simulations) are matched by their sensors' frame numbers instead: a
// replayed take is its own clock, its frames are played in order, and the
// moment is the lowest next frame number of the cameras, so every frame
// of such a take is played. Their waits are bounded by the frame wait.
//
// A loop starts at the first moment every camera has a frame of (waiting
// at most the frame wait for a camera's first frame), so cameras switched
// on a frame apart all give the loop's first cycle. With none of the loop's
// cameras present, the other sensors' frames pace it (and are dropped);
// with no sensor at all, a timer at the nominal rate.
//
// Thread contract: one loop thread calls everything here; the
// acquisitions fill their buffers on their own threads meanwhile.
#pragma once

#include <array>
#include <atomic>
#include <chrono>

#include "capture/CameraAcquisition.h"
#include "capture/Event.h"
#include "core/LostCameras.h"
#include "settings/Settings.h"

namespace kestrova {

struct AssemblerTiming {
  std::chrono::milliseconds latencyBudget{200};  // a late camera is waited for this long past the moment
  std::chrono::milliseconds frameWait{500};      // the same for cameras that keep every frame
  std::chrono::milliseconds stallLimit{2000};    // no camera delivered: the loop is told
  std::chrono::milliseconds nominalPeriod{33};   // pacing without any sensor
};

// One cycle as it was put together. Its frames' buffers are reused from
// cycle to cycle: they are valid until the next Next().
struct AssembledCycle {
  int pacingSlot = -1;      // whose frame set the moment; -1: the timer
  double momentMs = 0;      // the moment on the host clock
  double spreadMs = 0;      // the largest difference of two of its frames' mapped times
  bool matchedByNumber = false;  // frames of cameras that keep every frame, matched by frame number
  std::array<GrabResult, kCameraCount> results{};  // NotRun for cameras not in the loop
  std::array<AcquiredFrame, kCameraCount> frames;   // those Delivered
};

class CycleAssembler {
 public:
  enum class Wait { Cycle, Stopped, Stalled, Ended };
  using Acquisitions = std::array<CameraAcquisition*, kCameraCount>;

  // `acquisitions[slot]` is null for a camera without a sensor. Registers
  // an event with each of them; the destructor withdraws it.
  CycleAssembler(const Acquisitions& acquisitions, const AssemblerTiming& timing);
  ~CycleAssembler();
  CycleAssembler(const CycleAssembler&) = delete;
  CycleAssembler& operator=(const CycleAssembler&) = delete;

  // The cameras of the next cycles (those without a sensor are left out).
  void SetCameras(const std::array<bool, kCameraCount>& cameras);
  // A lost camera is not waited for and paces no cycle; it still gives its
  // frame to any cycle it has one for.
  void SetLost(int slot, bool lost) { lost_[slot] = lost; }
  // The loop starts: live cameras' frames buffered meanwhile are stale.
  void DiscardStale();

  // Waits for the next cycle and fills `cycle`: Cycle; Stopped as soon as
  // `keepGoing` is clear; Stalled when no camera gave a frame within the
  // stall limit; Ended when a camera's recording has played all it had
  // (EndedSlot() says which).
  Wait Next(const std::atomic<bool>& keepGoing, AssembledCycle* cycle);
  int EndedSlot() const { return endedSlot_; }

 private:
  using States = std::array<CameraAcquisition::State, kCameraCount>;
  struct Moment {
    bool found = false;
    int slot = -1;
    std::uint64_t serial = 0;
    double key = 0;
  };
  // The share of time whose frames belong to a cycle: after `after`, until `until`.
  struct Window {
    double after, until;
  };

  // The cameras whose frames count: the loop's, or, with none of them,
  // every present one (pacing only).
  std::array<bool, kCameraCount> Participants() const;
  bool PacingOnly() const;
  bool Lockstep(const std::array<bool, kCameraCount>& participants) const;
  double HalfPeriod(const CameraAcquisition::State& state) const;
  // Half a period either side of the moment; the lower edge where the
  // previous cycle's share ended, so that shares of cycles whose moments
  // jitter leave no gap between them.
  Window WindowOf(const States& states, bool lockstep, const Moment& moment) const;
  // The latency budget, but no longer than the time the pacing camera's
  // buffer holds less a few frames, so that none of its frames is dropped
  // while others are waited for.
  double BudgetMs(const CameraAcquisition::State& pacing) const;
  // The first of the loop's cameras that is not lost (with all lost, the first).
  int PacingSlot(const std::array<bool, kCameraCount>& participants) const;
  // Whether some camera that may still deliver lacks what `hasWhatIsWanted`
  // looks for, and its wait since the cycle began waiting is not over
  // (`wakeMs`: until when): the frame wait, or for a lost camera (with
  // `waitForLost`) the latency budget.
  bool Awaiting(const States& states, const std::array<bool, kCameraCount>& participants, bool allLost,
                bool waitForLost, bool (*hasWhatIsWanted)(int, const CycleAssembler&, const CameraAcquisition::State&),
                double nowMs, double waitStartMs, double* wakeMs) const;
  // The earliest next frame among the `eligible` cameras.
  Moment EarliestNextFrame(const States& states, const std::array<bool, kCameraCount>& eligible) const;
  // At a loop's start: the pacing camera's frame of the first moment every
  // camera has; -1 if it has none yet.
  int FirstPacingFrame(const States& states, const std::array<bool, kCameraCount>& participants,
                       bool allLost, int pacing) const;
  // The pacing camera's next frame, or another camera's when it is overdue.
  Moment FindMoment(const States& states, const std::array<bool, kCameraCount>& participants,
                    bool lockstep, double nowMs, double waitStartMs, double* wakeMs) const;
  // The previous cycle's moment, on the time line as it stands now (a live
  // camera's mapping moves as it learns).
  double PreviousMoment() const;
  // The oldest frame of camera `slot` after the previous moment: any frame
  // left of the camera that paced it (older ones went with its frame),
  // else one more than half a period later. -1 if none.
  int NextFrameAfterMoment(int slot, const CameraAcquisition::State& state) const;
  // Fills `cycle` as far as decided; false while some camera is still awaited (`wakeMs`: until when).
  bool Decide(const States& states, const std::array<bool, kCameraCount>& participants, bool lockstep,
              const Moment& moment, double nowMs, double waitStartMs, double* wakeMs,
              std::array<std::uint64_t, kCameraCount>* chosen, AssembledCycle* cycle) const;
  void Fill(const States& states, const std::array<bool, kCameraCount>& participants, bool lockstep,
            const Moment& moment, const std::array<std::uint64_t, kCameraCount>& chosen,
            AssembledCycle* cycle);
  Wait NextTick(const std::atomic<bool>& keepGoing, AssembledCycle* cycle);

  Acquisitions acquisitions_;
  const AssemblerTiming timing_;
  ManualResetEvent frameEvent_;
  std::array<bool, kCameraCount> cameras_{};
  std::array<bool, kCameraCount> lost_{};
  bool haveMoment_ = false;
  // The previous cycle's pacing frame: its camera, its key when it was
  // taken, and its stamp (to place it again on a mapping that moved).
  int lastPacingSlot_ = -1;
  double lastKey_ = 0;
  std::int64_t lastPacingStamp_ = 0;
  int endedSlot_ = -1;
  std::chrono::steady_clock::time_point nextTick_;
};

}  // namespace kestrova
