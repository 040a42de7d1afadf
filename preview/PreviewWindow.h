// One "Preview" window: PCL's viewer with the preview's items, its hint
// line and the operator's ways through the scene, made and used on the
// render thread alone. It opens at its placement and, unless a view is
// handed over from the window before it, looking at the whole region box of
// its first frame (PreviewView.h). The operator
//   - turns the view with the left button and pans it with the middle one
//     (the viewer's own handling);
//   - zooms with the wheel towards the point under the pointer;
//   - resets the view to the opening one with R;
//   - picks a cloud point with shift + left click (PointPicking.h): it goes
//     to the calibration picks, or the hint line says nothing was picked.
// The window draws only when asked (Render); turning and zooming mark it
// for a redraw instead of drawing at every mouse event.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include <pcl/visualization/pcl_visualizer.h>

#include "preview/CalibrationPicks.h"
#include "preview/PreviewItems.h"
#include "preview/PreviewMailbox.h"
#include "preview/PreviewView.h"

class vtkTextActor;

namespace kestrova {

// Where the window opens: its drawing area, in screen pixels (the window
// manager's frame comes around it).
struct WindowPlacement {
  int x = 30, y = 50;
  int width = 800, height = 600;
};

// The hint line in the window's top left corner.
inline constexpr char kPreviewHint[] =
    "Shift + left click: pick a point    Left drag: turn\n"
    "Wheel: zoom at the pointer    Middle drag: pan    R: reset the view";
inline constexpr char kNothingPicked[] = "Nothing picked: no cloud point within 6 pixels of the click";

class PreviewWindow {
 public:
  // Opens the window; `view` is the view a window before this one had.
  PreviewWindow(const WindowPlacement& placement, CalibrationPicks& picks,
                const std::optional<PreviewCamera>& view);
  // Takes the window away at once.
  ~PreviewWindow();
  PreviewWindow(const PreviewWindow&) = delete;
  PreviewWindow& operator=(const PreviewWindow&) = delete;

  // Shows `frame` (kept until the next call: picks are taken from it) with
  // the picks; the first frame also sets the opening view if none was handed over.
  void Show(const PreviewFrame& frame, const PickState& picks);
  // Handles the window's pending events without waiting.
  void HandleEvents();
  // Whether something changed since the last Render: the view, the items,
  // the hint line, or the window was exposed or resized.
  bool NeedsRender() const;
  void Render();
  bool ClosedByOperator() const;
  // Brings the window to the front.
  void Raise();

  PreviewCamera View() const;
  pcl::visualization::PCLVisualizer& Viewer() { return *viewer_; }
  const PreviewItems& Items() const { return *items_; }

 private:
  static void OnInteraction(vtkObject* caller, unsigned long event, void* self, void* data);
  void Pick(int x, int y);
  void Zoom(int x, int y, double factor);
  void ResetView();
  void SetView(const PreviewCamera& view);
  void SetStatus(const std::string& text);

  struct Parts;
  std::unique_ptr<Parts> parts_;
  pcl::visualization::PCLVisualizer* viewer_;
  std::unique_ptr<PreviewItems> items_;
  CalibrationPicks& picks_;
  const PreviewFrame* frame_ = nullptr;
  bool viewSet_ = false;
  bool clippingFitted_ = false;  // the near and far planes fitted to a frame
  bool dirty_ = true;
  unsigned long renderedViewTime_ = 0;
  std::chrono::steady_clock::time_point statusUntil_{};
  bool statusShown_ = false;
};

}  // namespace kestrova
