// The clouds the alignment works on: a few cycles of depth frames of every
// enabled camera, converted to the camera's own coordinates within its depth
// limit (before thinning, posing and cropping), the cycles of one camera
// concatenated. The cameras' frames of one cycle are taken together, so what
// moves in the scene stands at about the same place in each camera's cloud.
#pragma once

#include <array>
#include <string>

#include <pcl/point_cloud.h>
#include <pcl/point_types.h>

#include "capture/NuiSensor.h"
#include "settings/ParamsFile.h"

namespace kestrova {

struct AlignmentClouds {
  std::array<bool, kCameraCount> present{};  // a cloud was gathered for the camera
  std::array<pcl::PointCloud<pcl::PointXYZ>, kCameraCount> clouds;
  int cycles = 0;  // cycles gathered
};

// The cameras the settings enable.
std::array<bool, kCameraCount> EnabledCameraSlots(const OperatorSettings& settings);

// `cycles` frames of each enabled camera of `backend`, one per camera per
// cycle, twenty frames apart; a fetch waits at most `frameWaitMs`. False with the reason when an
// enabled camera has no sensor or delivered no frame at all.
bool GatherLiveClouds(SensorBackend& backend, const OperatorSettings& settings,
                      const CameraSettings& cameras, int cycles, int frameWaitMs,
                      AlignmentClouds* out, std::string* error);

// `cycles` depth frames that a take kept in DIR/DEPTHn.dat, of the cameras
// `settings` enable: the first frame numbers that every such camera has
// among every twentieth (as spaced as live). False with the reason
// when the take kept no depth frames of an enabled camera.
bool GatherTakeClouds(const std::string& takeDir, const OperatorSettings& settings,
                      const CameraSettings& cameras, int cycles, AlignmentClouds* out,
                      std::string* error);

}  // namespace kestrova
