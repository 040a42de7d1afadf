// The clouds the alignment works on: a few cycles of depth frames of every
// enabled camera (live ones come through AlignmentCollector), converted to the camera's own coordinates within its depth
// limit (before thinning, posing and cropping), the cycles of one camera
// concatenated. The cameras' frames of one cycle are taken together, so what
// moves in the scene stands at about the same place in each camera's cloud.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include <pcl/point_cloud.h>
#include <pcl/point_types.h>

#include "align/CycleTiming.h"
#include "capture/NuiSensor.h"
#include "settings/DepthFrameFormat.h"
#include "settings/ParamsFile.h"

namespace kestrova {

struct AlignmentClouds {
  std::array<bool, kCameraCount> present{};  // a cloud was gathered for the camera
  std::array<pcl::PointCloud<pcl::PointXYZ>, kCameraCount> clouds;
  int cycles = 0;  // cycles the clouds hold
  int leftOut = 0;  // cycles gathered but not taken: out of step or missing a camera
};

// Cycles gathered unless asked otherwise, and the frames let pass between
// two of them (two thirds of a second at 30 frames a second), so that what
// moves in the scene adds shapes in other places.
constexpr int kDefaultAlignCycles = 6;
constexpr int kFramesBetweenAlignCycles = 20;
// Cycles gathered at most for each one asked, when some come out of step
// (CyclesInStep) or miss a camera.
constexpr int kGatheredPerWantedCycle = 3;

// One gathered cycle: each camera's depth frame (packed, of its format) and its time.
struct GatheredCycle {
  CycleStamps stamps;
  std::array<std::vector<std::uint16_t>, kCameraCount> pixels;
  std::array<DepthFrameFormat, kCameraCount> formats;
};

// Adds the `wanted` cameras' frames of the cycles in step among `gathered`
// (CyclesInStep), the first `cycles` of them, to `out`; counts in
// out->leftOut the cycles passed over.
void AddCyclesInStep(const std::vector<GatheredCycle>& gathered, const std::array<bool, kCameraCount>& wanted,
                     const CameraSettings& cameras, int cycles, AlignmentClouds* out);

// The cameras the settings enable.
std::array<bool, kCameraCount> EnabledCameraSlots(const OperatorSettings& settings);

// Adds one depth frame of a camera, converted to its own coordinates within
// its depth limit through its own lens, to `cloud`. The conversion is the pipeline's, but keeps
// the whole millimetres of the depth where the pipeline rounds it down to
// steps of 8 mm: a flat surface seen at a slant becomes stairs of 8 mm
// there, which would pull cameras that see it from different sides by up
// to a few millimetres.
constexpr float kMillimetresPerPclUnit = 8000;  // the pipeline's z: floor(mm / 8) / 1000
void AddDepthFrame(const DepthFrameView& frame, const CameraSetting& camera, pcl::PointCloud<pcl::PointXYZ>& cloud);

// `cycles` depth frames that a take kept in DIR/DEPTHn.dat, of the cameras
// `settings` enable: the first frame numbers among every twentieth (as
// spaced as live) that every such camera has, taken in step on the take's
// clock (CLOCK.txt), each through the lens of the take's LENS.txt. False with the reason when the take kept no depth
// frames of an enabled camera, or, for a take without a clock file, when a
// camera's stamps lie at more than one offset to the others' (which
// frames are of one moment cannot then be told).
bool GatherTakeClouds(const std::string& takeDir, const OperatorSettings& settings,
                      const CameraSettings& cameras, int cycles, AlignmentClouds* out,
                      std::string* error);

}  // namespace kestrova
