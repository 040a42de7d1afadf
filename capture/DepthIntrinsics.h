// A camera's intrinsics beside its depth images, for other tools and for
// replaying the images: `kestrova-take export --depth` writes both forms into
// each camN folder, and `replay:DIR` reads the plain one where it finds it.
//
// intrinsics.txt, the plain form: key-first lines, '#' starts a comment,
// keys a reader does not know are passed over:
//   # Kestrova depth intrinsics 1: ...
//   width 320
//   height 240
//   fx 285.63266694292446
//   fy 285.63266694292446
//   cx 160
//   cy 120
//   depth_scale 1000
// The lens is the pinhole of the depth images in pixels, as Open3D and
// OpenCV take it: the pixel at column u and row v, holding the depth Z,
// sees X = (u - cx) Z / fx, Y = (v - cy) Z / fy, with Y growing downwards.
// depth_scale is the image's depth units per metre (1000: millimetres).
//
// intrinsics.json, Open3D's pinhole-camera form (what
// open3d.io.read_pinhole_camera_intrinsic reads), with the depth scale
// beside it:
//   {"width": 320, "height": 240,
//    "intrinsic_matrix": [fx, 0, 0, 0, fy, 0, cx, cy, 1],   (column after column)
//    "depth_scale": 1000}
#pragma once

#include <string>

#include "settings/DepthFrameFormat.h"

namespace kestrova {

inline constexpr char kIntrinsicsTextFile[] = "intrinsics.txt";
inline constexpr char kIntrinsicsJsonFile[] = "intrinsics.json";
// The depth images hold millimetres: this many per metre.
constexpr double kImageDepthScale = 1000;

struct DepthIntrinsics {
  int width = 0, height = 0;
  DepthLens lens;
  double depthScale = kImageDepthScale;
};

std::string FormatIntrinsicsText(const DepthIntrinsics& intrinsics);
std::string FormatIntrinsicsJson(const DepthIntrinsics& intrinsics);

// Reads an intrinsics.txt: false with the reason (naming the path) when it
// is not a regular file of at most 64 KiB, lacks a key, or gives a size,
// lens or depth scale that is no number or none a sensor has.
bool ReadIntrinsicsText(const std::string& path, DepthIntrinsics* intrinsics, std::string* error);

}  // namespace kestrova
