// The live "Preview" window: a PCLVisualizer that lives on a render thread
// of its own for one run of the preview loop. The loop hands each cycle to
// the window through a mailbox and goes on at once; the render thread draws
// the newest cycle it finds, then handles the window's pending events
// (turning, zooming, picking, the close box). A slow redraw therefore skips
// preview frames and never holds the cameras. Every VTK call happens on the
// render thread. Points picked in the window become the calibration picks.
// The window exists exactly as long as the run.
//
// When the operator closes the window by hand, the preview run ends: the
// cameras are no longer grabbed for it and nothing else changes. Takes still
// work, and the window opens again when the next take ends.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <thread>

#include "core/Recorder.h"
#include "preview/CalibrationPicks.h"
#include "preview/PreviewMailbox.h"
#include "preview/PreviewScene.h"

namespace kestrova {

// The preview loop's own consumer: Begin starts the render thread, which
// opens the window; every cycle goes to the mailbox; End ends the render
// thread, which takes the window away.
class PclPreview : public FrameConsumer {
 public:
  PclPreview();
  ~PclPreview() override;

  void Begin(CRecorder& engine) override;
  // On the loop thread: puts the cycle in the mailbox. False once the
  // operator closed the window: the preview run ends.
  bool OnCycle(const CycleFrame& cycle) override;
  void End(CRecorder& engine) override;

  // The points picked in the window, for the calibration.
  CalibrationPicks& Picks() { return picks_; }

  // Called on the render thread after each redraw, with the viewer; for tests.
  void SetAfterDraw(std::function<void(pcl::visualization::PCLVisualizer&)> hook) {
    afterDraw_ = std::move(hook);
  }
  // Redraws so far, and cycles the render thread skipped for newer ones.
  std::uint64_t FramesDrawn() const { return framesDrawn_; }
  unsigned long FramesSkipped() const { return mailbox_.Skipped(); }

 private:
  void Render();

  CalibrationPicks picks_;
  PreviewMailbox mailbox_;
  std::thread renderThread_;
  std::atomic<bool> running_{false};
  std::atomic<bool> closedByOperator_{false};
  std::atomic<std::uint64_t> framesDrawn_{0};
  std::function<void(pcl::visualization::PCLVisualizer&)> afterDraw_;
};

}  // namespace kestrova
