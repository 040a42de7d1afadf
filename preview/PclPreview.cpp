#include "preview/PclPreview.h"

#include <algorithm>
#include <system_error>

#include <vtkRenderWindow.h>

#include "preview/X11Events.h"

namespace kestrova {

namespace {
// How long the render thread waits for a cycle before it looks at the
// window's events again.
constexpr std::chrono::milliseconds kEventSlice{20};
}  // namespace

PclPreview::PclPreview() = default;

PclPreview::~PclPreview() {
  running_ = false;
  if (renderThread_.joinable()) renderThread_.join();
}

void PclPreview::Begin(CRecorder&) {
  closedByOperator_ = false;
  running_ = true;
  try {
    renderThread_ = std::thread(&PclPreview::Render, this);
  } catch (const std::system_error&) {
    closedByOperator_ = true;  // no window: the run ends at its first cycle
  }
}

bool PclPreview::OnCycle(const CycleFrame& cycle) {
  if (closedByOperator_) return false;
  mailbox_.Put(SceneOfFrame(cycle, PickState()));
  return true;
}

void PclPreview::End(CRecorder&) {
  running_ = false;
  if (renderThread_.joinable()) renderThread_.join();
}

void PclPreview::Render() {
  PreviewViewer viewer = MakePreviewViewer();
  viewer->registerPointPickingCallback([this](const pcl::visualization::PointPickingEvent& event) {
    float x, y, z;
    event.getPoint(x, y, z);
    picks_.OnPointPicked(x, y, z);
  });
  vtkRenderWindow* window = viewer->getRenderWindow();
  PreviewFrame frame;
  bool haveFrame = false;
  PickState drawnPicks;
  while (running_ && !viewer->wasStopped()) {
    const bool fresh = mailbox_.Take(&frame, kEventSlice);
    haveFrame = haveFrame || fresh;
    const PickState picks = picks_.Picks();
    const bool picksChanged = picks.count != drawnPicks.count ||
                              !std::equal(&picks.points[0][0], &picks.points[0][0] + 6, &drawnPicks.points[0][0]);
    if (haveFrame && (fresh || picksChanged)) {
      // The viewer's X interactor repaints only on X events, and its own
      // event loop blocks for up to a second when none comes: render each
      // new cycle here, once.
      DrawScene(*viewer, frame.Scene(picks));
      if (afterDraw_) afterDraw_(*viewer);
      window->Render();
      drawnPicks = picks;
      ++framesDrawn_;
    }
    HandlePendingEvents(*window);
  }
  if (viewer->wasStopped()) closedByOperator_ = true;
  viewer.reset();  // takes the window away
}

}  // namespace kestrova
