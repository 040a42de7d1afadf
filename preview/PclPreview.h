// The live "Preview" window: a PreviewWindow that lives on a render thread
// of its own for one run of the preview loop. The loop hands each cycle to
// the window through a mailbox and goes on at once; the render thread shows
// the newest cycle it finds, handles the window's pending events (turning,
// zooming, picking, the close box), then draws when something changed:
// every new cycle at once, the operator's turning and zooming at most every
// kViewRedrawInterval. A slow redraw therefore skips preview frames and
// never holds the cameras. Every VTK call happens on the render thread.
// Points picked in the window become the calibration picks. The window
// exists exactly as long as the run; the next run's window opens at the
// same placement and with the view the operator left.
//
// When the operator closes the window by hand, the preview run ends: the
// cameras are no longer grabbed for it and nothing else changes. Takes still
// work, and the window opens again when the next take ends or the preview
// is started again.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <thread>

#include "core/Recorder.h"
#include "preview/CalibrationPicks.h"
#include "preview/PreviewMailbox.h"
#include "preview/PreviewWindow.h"

namespace kestrova {

inline constexpr std::chrono::milliseconds kViewRedrawInterval{33};

// The preview loop's own consumer: Begin starts the render thread, which
// opens the window; every cycle goes to the mailbox; End ends the render
// thread, which takes the window away.
class PclPreview : public FrameConsumer {
 public:
  PclPreview();
  ~PclPreview() override;

  // Where the windows open; before the first run.
  void SetPlacement(const WindowPlacement& placement) { placement_ = placement; }

  void Begin(CRecorder& engine) override;
  // On the loop thread: puts the cycle in the mailbox. False once the
  // operator closed the window: the preview run ends.
  bool OnCycle(const CycleFrame& cycle) override;
  void End(CRecorder& engine) override;

  // From any thread: brings a running preview's window to the front.
  void Raise() { raise_ = true; }

  // The points picked in the window, for the calibration.
  CalibrationPicks& Picks() { return picks_; }

  // Called on the render thread after each new cycle is shown, before it is
  // drawn; for tests.
  void SetAfterShow(std::function<void(PreviewWindow&)> hook) { afterShow_ = std::move(hook); }
  // New cycles drawn so far, and cycles the render thread skipped for newer ones.
  std::uint64_t FramesDrawn() const { return framesDrawn_; }
  unsigned long FramesSkipped() const { return mailbox_.Skipped(); }
  // Every draw of the window so far (new cycles, the operator's moves, exposures).
  std::uint64_t Renders() const { return renders_; }

 private:
  void Render();

  WindowPlacement placement_;
  std::optional<PreviewCamera> keptView_;  // the render threads', one after the other
  CalibrationPicks picks_;
  PreviewMailbox mailbox_;
  std::thread renderThread_;
  std::atomic<bool> running_{false};
  std::atomic<bool> closedByOperator_{false};
  std::atomic<bool> raise_{false};
  std::atomic<std::uint64_t> framesDrawn_{0};
  std::atomic<std::uint64_t> renders_{0};
  std::function<void(PreviewWindow&)> afterShow_;
};

}  // namespace kestrova
