// The synthetic scene the simulated sensors look at, in centimetres of the
// common frame (the frame the camera poses are given in):
//   - a floor at y = -42, just below the default region of interest;
//   - a rod of 2 x 2 x 30 cm lying on two blocks, its ends at x = -17 and
//     x = 13, for trying the scale calibration;
//   - a ball of radius 7 cm that circles the middle of the region, bobbing;
//   - a box of 10 x 16 x 10 cm that turns about its vertical axis.
// A sensor renders the static part once and overlays the moving objects per
// frame, inside the screen rectangle they can cover, through the lens and at
// the size of its frames (DepthFrameFormat, rows packed).
#pragma once

#include <cstdint>
#include <vector>

#include <Eigen/Core>

#include "settings/DepthFrameFormat.h"
#include "settings/Settings.h"

namespace kestrova {

// Where a depth camera stands: camera point p (cm) goes to R * p + t.
struct SimCameraPose {
  Eigen::Matrix3d rotation;
  Eigen::Vector3d position;
};

// The pose of a camera at the given pose setting, taken as real centimetres.
SimCameraPose PoseFromSetting(const CameraSetting& setting);

class SimulatedScene {
 public:
  static constexpr float kRodLengthCm = 30.0f;

  // Clean depth in millimetres per pixel (0 where nothing is hit, the
  // surface is too steep, or it lies outside the sensor's range).
  std::vector<std::uint16_t> RenderStatic(const SimCameraPose& pose,
                                          const DepthFrameFormat& format = DepthFrameFormat()) const;

  // Overwrites `depthMm` where a moving object at time `seconds` lies in
  // front of what is there; marks those pixels in `label` (1 ball, 2 box).
  void RenderMoving(const SimCameraPose& pose, double seconds, std::uint16_t* depthMm, std::uint8_t* label,
                    const DepthFrameFormat& format = DepthFrameFormat()) const;
};

// One whole frame as a sensor at `pose` delivers it at `seconds`: the static
// part, the moving objects, then encoded as EncodeDepthPixels does. For tests
// and benchmarks; the sensors keep their static part from frame to frame.
std::vector<std::uint16_t> RenderSensorFrame(const SimulatedScene& scene, const SimCameraPose& pose,
                                             double seconds, std::uint32_t noiseOffset,
                                             const DepthFrameFormat& format = DepthFrameFormat());

// Turns `count` pixels of clean depth into sensor pixels: depth
// quantisation that coarsens with distance, a little noise (seeded, from
// `noiseOffset` into a fixed table), the depth in bits 3 to 15 and the
// label in the low bits.
void EncodeDepthPixels(const std::uint16_t* depthMm, const std::uint8_t* label, int count,
                       std::uint32_t noiseOffset, std::uint16_t* pixels);

}  // namespace kestrova
