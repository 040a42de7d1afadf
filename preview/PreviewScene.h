// What the "Preview" window shows after a frame, and how it is drawn into a
// PCLVisualizer: each active camera's final cloud as "cloud%d" (camera slot
// 0..3) in the camera's colour with point size 2, the region of interest as
// the grey wireframe box "roi", and the calibration marker "pick": one red
// point of size 8 after the first pick, a red line of width 5 after the
// second, nothing after the third.
#pragma once

#include <pcl/point_cloud.h>
#include <pcl/point_types.h>
#include <pcl/visualization/pcl_visualizer.h>

#include "core/FrameConsumer.h"
#include "preview/CalibrationPicks.h"

namespace kestrova {

struct PreviewScene {
  bool active[kCameraCount] = {false, false, false, false};
  const pcl::PointCloud<pcl::PointXYZ>* clouds[kCameraCount] = {nullptr, nullptr, nullptr, nullptr};
  int colours[kCameraCount][3] = {};  // 0..255
  float box[6] = {};                  // xMin, xMax, yMin, yMax, zMin, zMax in PCL units
  PickState picks;
};

// The scene of one joined cycle, with the calibration picks.
PreviewScene SceneOfFrame(const CycleFrame& cycle, const PickState& picks);

// Rebuilds the viewer's items from scratch: removes every cloud and shape,
// then adds the scene.
void DrawScene(pcl::visualization::PCLVisualizer& viewer, const PreviewScene& scene);

// The operator's hint in a corner of the preview.
inline constexpr char kPreviewHint[] = "Shift + left click: pick a point   Wheel: zoom";

// Destroys a viewer so that its window leaves the screen at once and nothing
// of it takes part in a later viewer's event loop.
struct ViewerDestroyer {
  void operator()(pcl::visualization::PCLVisualizer* viewer) const;
};
using PreviewViewer = std::unique_ptr<pcl::visualization::PCLVisualizer, ViewerDestroyer>;

// A new viewer set up as the preview starts: titled "Preview", 800 x 600 at
// (30, 50), looking from (0, 0, -1), with axes of scale 0.01 and the hint.
PreviewViewer MakePreviewViewer();

}  // namespace kestrova
