#include "preview/PclPreview.h"
#include "capture/ThreadName.h"

#include <algorithm>
#include <system_error>

namespace kestrova {

namespace {
// How long the render thread waits for a cycle before it looks at the
// window's events again.
constexpr std::chrono::milliseconds kEventSlice{20};

bool SamePicks(const PickState& a, const PickState& b) {
  return a.count == b.count && std::equal(&a.points[0][0], &a.points[0][0] + 6, &b.points[0][0]);
}
}  // namespace

PclPreview::PclPreview() = default;

PclPreview::~PclPreview() {
  running_ = false;
  if (renderThread_.joinable()) renderThread_.join();
}

void PclPreview::Begin(CRecorder&) {
  closedByOperator_ = false;
  raise_ = false;
  running_ = true;
  try {
    renderThread_ = std::thread(&PclPreview::Render, this);
  } catch (const std::system_error&) {
    closedByOperator_ = true;  // no window: the run ends at its first cycle
  }
}

bool PclPreview::OnCycle(const CycleFrame& cycle) {
  if (closedByOperator_) return false;
  mailbox_.Put(cycle);
  return true;
}

void PclPreview::End(CRecorder&) {
  running_ = false;
  if (renderThread_.joinable()) renderThread_.join();
}

void PclPreview::Render() {
  NameThisThread("kv-preview");
  PreviewWindow window(placement_, picks_, keptView_);
  PreviewFrame frame;
  bool haveFrame = false;
  PickState shownPicks;
  auto lastRender = std::chrono::steady_clock::now();
  while (running_ && !window.ClosedByOperator()) {
    const bool fresh = mailbox_.Take(&frame, kEventSlice);
    haveFrame = haveFrame || fresh;
    const PickState picks = picks_.Picks();
    const bool show = haveFrame && (fresh || !SamePicks(picks, shownPicks));
    if (show) {
      window.Show(frame, picks);
      shownPicks = picks;
      if (afterShow_) afterShow_(window);
    }
    window.HandleEvents();
    if (raise_.exchange(false)) window.Raise();
    // The viewer's X interactor draws nothing itself here: a new cycle is
    // drawn at once, the operator's moves at most every kViewRedrawInterval.
    const auto now = std::chrono::steady_clock::now();
    if (haveFrame && window.NeedsRender() && (show || now - lastRender >= kViewRedrawInterval)) {
      window.Render();
      lastRender = now;
      ++renders_;
      if (show) ++framesDrawn_;
    }
  }
  if (haveFrame) keptView_ = window.View();
  if (window.ClosedByOperator()) closedByOperator_ = true;
}

}  // namespace kestrova
