// The two settings records: one CameraSetting per camera (held by the
// engine) and the OperatorSettings bound to the operator window.
#pragma once

#include <string>

namespace kestrova {

constexpr int kCameraCount = 4;

// One camera's pose, preview colour and depth limit.
struct CameraSetting {
  float x = 0, y = 0, z = 0;     // position in the common frame, cm
  float rx = 0, ry = 0, rz = 0;  // rotations about the fixed axes, degrees
  int r = 0, g = 0, b = 0;       // preview colour; the window uses the low 8 bits
  float maxDepth = 0;            // depth limit, percent of 8192 mm
};

// The per-camera defaults the engine starts with (slot 0..3 = camera 1..4).
CameraSetting DefaultCameraSetting(int slot);

// The values bound to the operator window's controls, in exchange order.
struct OperatorSettings {
  int cameraEnabled[kCameraCount] = {1, 0, 0, 0};
  int cameraIndex = 0;           // selected camera, 0..3
  float calibration = 0.0012f;   // PCL units per cm
  // Editing copy of cameras[cameraIndex].
  float maxDepth = 50;
  float rx = 0, ry = 0, rz = 0;
  float x = 0, y = 0, z = 0;
  float maxRecordingMinutes = 11;
  float resolution = 100;        // points per metre
  float xMax = 26, xMin = -29;
  float yMax = -4, yMin = -41;
  float zMax = 13, zMin = -22;
  std::string elapsedText = " 0 min  0 sec";
};

}  // namespace kestrova
