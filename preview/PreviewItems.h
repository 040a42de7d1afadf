// What the "Preview" window shows, as VTK items made once per window and
// updated in place at every frame: each active camera's final cloud in the
// camera's colour with point size 2, the region of interest as a grey
// wireframe box, and the calibration marker: one red point of size 8 after
// the first pick, a red line of width 5 after the second, nothing after the
// third; the marker is drawn over the clouds. A frame's points are copied into buffers the items keep, which
// grow to the largest cloud seen and are not given back: no cloud, actor
// or array is made per frame. Colours are exact (no lighting).
//
// Every call on the render thread that owns the renderer.
#pragma once

#include <memory>

#include "preview/CalibrationPicks.h"
#include "preview/PreviewMailbox.h"

class vtkActor;
class vtkRenderer;

namespace kestrova {

class PreviewItems {
 public:
  // Adds the items to `renderer`, all hidden, and the marker's layer to its window.
  explicit PreviewItems(vtkRenderer& renderer);
  ~PreviewItems();
  PreviewItems(const PreviewItems&) = delete;
  PreviewItems& operator=(const PreviewItems&) = delete;

  void Show(const PreviewFrame& frame, const PickState& picks);

  // The items, for tests.
  vtkActor* CloudActor(int slot) const;
  vtkActor* BoxActor() const;
  vtkActor* PickPointActor() const;
  vtkActor* PickLineActor() const;

 private:
  struct Items;
  std::unique_ptr<Items> items_;
};

}  // namespace kestrova
