#include "preview/PclPreview.h"

#include "preview/PreviewScene.h"

namespace kestrova {

PclPreview::PclPreview() = default;
PclPreview::~PclPreview() = default;

void PclPreview::Open(CRecorder& engine) {
  viewer_ = MakePreviewViewer();
  viewer_->registerPointPickingCallback([&engine](const pcl::visualization::PointPickingEvent& event) {
    float x, y, z;
    event.getPoint(x, y, z);
    engine.OnPointPicked(x, y, z);
  });
}

bool PclPreview::Draw(CRecorder& engine, const FrameSettings& settings) {
  if (!viewer_ || viewer_->wasStopped()) return false;  // closed by the operator
  DrawScene(*viewer_, SceneOfFrame(engine, settings));
  if (afterDraw_) afterDraw_(*viewer_);
  viewer_->spinOnce(20, false);
  return !viewer_->wasStopped();
}

void PclPreview::Close(CRecorder&) {
  // Destroying the viewer takes its window away. (Its close() asks the X
  // interactor to end an event loop this thread never ran, and crashes.)
  viewer_.reset();
}

}  // namespace kestrova
