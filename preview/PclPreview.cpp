#include "preview/PclPreview.h"

#include <vtkRenderWindow.h>

#include "preview/PreviewScene.h"
#include "preview/X11Events.h"

namespace kestrova {

PclPreview::PclPreview() = default;
PclPreview::~PclPreview() = default;

void PclPreview::Begin(CRecorder& engine) {
  engine_ = &engine;
  viewer_ = MakePreviewViewer();
  viewer_->registerPointPickingCallback([&engine](const pcl::visualization::PointPickingEvent& event) {
    float x, y, z;
    event.getPoint(x, y, z);
    engine.OnPointPicked(x, y, z);
  });
}

bool PclPreview::OnCycle(const CycleFrame& cycle) {
  if (!viewer_ || viewer_->wasStopped()) return false;  // closed by the operator
  DrawScene(*viewer_, SceneOfFrame(cycle, engine_->Picks()));
  if (afterDraw_) afterDraw_(*viewer_);
  // The viewer's X interactor repaints only on X events (expose, mouse), and
  // its event loop (spinOnce) blocks for up to a second when no event comes:
  // render the new frame here, once, then handle the events that have come
  // in (turning, zooming, picking, the close box). The loop's frame pacing
  // gives the thread its rest.
  vtkRenderWindow* window = viewer_->getRenderWindow();
  window->Render();
  HandlePendingEvents(*window);
  return !viewer_->wasStopped();
}

void PclPreview::End(CRecorder&) {
  viewer_.reset();  // takes the window away
  engine_ = nullptr;
}

}  // namespace kestrova
