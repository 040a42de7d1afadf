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

class PclPreview : public PreviewSink {
 public:
  PclPreview();
  ~PclPreview() override;

  void Open(CRecorder& engine) override;
  bool Draw(CRecorder& engine, const FrameSettings& settings) override;
  void Close(CRecorder& engine) override;

  // Called on the preview thread after each redraw, with the viewer; for tests.
  void SetAfterDraw(std::function<void(pcl::visualization::PCLVisualizer&)> hook) {
    afterDraw_ = std::move(hook);
  }

 private:
  PreviewViewer viewer_;
  std::function<void(pcl::visualization::PCLVisualizer&)> afterDraw_;
};

}  // namespace kestrova
