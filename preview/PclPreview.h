// The live "Preview" window: a PCLVisualizer that lives on the preview
// thread for one run of the preview loop, rendered once after every frame,
// after which it handles the window's pending events. Points picked in it go
// to the engine's calibration picks. Its window exists exactly as long as the
// run.
//
// When the operator closes the window by hand, the preview run ends: the
// cameras are no longer grabbed for it and nothing else changes. Takes still
// work, and the window opens again when the next take ends.
#pragma once

#include <functional>
#include <memory>

#include "core/Recorder.h"
#include "preview/PreviewScene.h"

namespace kestrova {

// The preview loop's own consumer: Begin opens the window, every cycle
// draws the frame, End takes the window away.
class PclPreview : public FrameConsumer {
 public:
  PclPreview();
  ~PclPreview() override;

  void Begin(CRecorder& engine) override;
  // False once the operator closed the window: the preview run ends.
  bool OnCycle(const CycleFrame& cycle) override;
  void End(CRecorder& engine) override;

  // Called on the preview thread after each redraw, with the viewer; for tests.
  void SetAfterDraw(std::function<void(pcl::visualization::PCLVisualizer&)> hook) {
    afterDraw_ = std::move(hook);
  }

 private:
  CRecorder* engine_ = nullptr;  // for its picks, from Begin to End
  PreviewViewer viewer_;
  std::function<void(pcl::visualization::PCLVisualizer&)> afterDraw_;
};

}  // namespace kestrova
