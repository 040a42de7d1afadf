// Refines the cameras' poses from the overlap of their own clouds, without
// any target: each camera but the reference is registered against the
// others, starting from the typed poses.
//
//   CameraAlignment alignment;
//   alignment.setCalibration(0.00125);
//   alignment.setInputCloud(0, cloud1, cameras[0]);   // camera coordinates,
//   alignment.setInputCloud(1, cloud2, cameras[1]);   // PCL units, before the crop
//   AlignmentReport report = alignment.align();
//
// How. The work is done in centimetres (clouds divided by the
// calibration), so the thresholds below mean the same at any calibration.
// A floor seen by every camera fixes three of the six degrees of freedom
// exactly (two tilts and the height) but lets plain ICP slide a camera
// along it; so each camera is registered in three steps:
//   1. level: its floor plane (the largest plane it sees) is made to
//      coincide with the reference camera's;
//   2. place: the tops of what stands on the floor (points facing up,
//      which every camera above the scene sees alike, from whatever side)
//      are registered in the floor's plane only (turn about the vertical,
//      shift along the floor);
//   3. refine: point-to-plane ICP on all points, in all six degrees of
//      freedom, at short correspondence distances.
// Both registrations pair only points whose normals agree: the two sides
// of a thin object, seen by cameras facing each other, are never pulled
// together. Cameras are placed one after another, growing from the
// reference, each against the cameras already placed (the one looking most
// nearly the way of a placed one first); further rounds refine every camera
// against all others, so cameras on opposite sides, which overlap little
// // with the reference, come right through their neighbours. Without a floor
// (none found, or not roughly level), only step 3 runs, over the whole
// distance schedule.
// A camera whose overlap is too small or whose correction is implausibly
// large is reported and left as typed.
#pragma once

#include <array>
#include <string>
#include <vector>

#include <Eigen/Geometry>
#include <pcl/point_cloud.h>
#include <pcl/point_types.h>

#include "settings/Settings.h"

namespace kestrova {

// Of the refining step. Point-to-plane is the default: on the simulated
// scene it recovers moved rigs as closely as generalized ICP (within half a
// centimetre) while moving right poses less and taking less time;
// point-to-point ends centimetres off.
enum class RegistrationMethod { PointToPlane, Generalized, PointToPoint };

struct AlignmentOptions {
  RegistrationMethod method = RegistrationMethod::PointToPlane;  // of the refining step
  double leafCm = 1.0;  // the clouds are thinned to this voxel before registering
  double floorLeafCm = 4.0;  // the floor's points more coarsely still
  // Points on edges and corners have no one surface normal: paired with
  // another camera's points along a wrong plane they pull the pose off by
  // millimetres. Those whose neighbours spread off a plane by more than
  // this (PCL's surface variation: 0 for a plane, 1/3 at most) are left out.
  double maxCurvature = 0.05;
  double floorToleranceCm = 1.0;   // a point within this of the floor plane is floor
  double standingMinCm = 1.5;      // points this far above the floor stand on it
  // Starting turns of the placing step, degrees either way, and its step;
  // the best overlap is kept. The tops need none on the simulated scene.
  double turnRangeDegrees = 0, turnStepDegrees = 5;
  std::vector<double> placeScheduleCm{12, 6, 3, 2};
  // The last stages, at 1 and 0.6 cm, take what is left out of poses that
  // are already right: up to 0.2 cm of it after 1.5 cm.
  std::vector<double> refineScheduleCm{3, 1.5, 1.0, 0.6};
  std::vector<double> fallbackScheduleCm{12, 6, 3, 1.5};  // refining without a floor
  int iterationsPerStage = 25;
  int rounds = 6;  // the placing round and the refining rounds
  double overlapDistanceCm = 1.5;  // a point overlaps when another camera's point is this near
  double minOverlapShare = 0.05;   // less overlap than this: the camera is not aligned
  double maxCorrectionCm = 40;     // larger corrections are implausible
  double maxCorrectionDegrees = 35;
  // The residual a trusted fit leaves at most: the RMS distance of a
  // camera's overlapping points to the others' (about 0.7 cm with the
  // simulated cameras' noise, right poses or found ones).
  double maxResidualCm = 1.0;
};

struct CameraFitness {
  double rmsCm = 0;         // RMS distance of the overlapping points
  double overlapShare = 0;  // share of the camera's points that overlap the others
};

struct CameraAlignmentResult {
  int slot = -1;
  bool reference = false;
  bool aligned = false;  // moved to the found pose
  std::string problem;   // why not, when not
  CameraSetting before, after;
  double correctionCm = 0, correctionDegrees = 0;
  CameraFitness fitnessBefore, fitnessAfter;
};

struct AlignmentReport {
  std::vector<CameraAlignmentResult> cameras;  // in slot order
  bool AllAligned() const;
  bool AnyAligned() const;  // some camera has a found pose to apply
};

class CameraAlignment {
 public:
  using Cloud = pcl::PointCloud<pcl::PointXYZ>;
  using CloudN = pcl::PointCloud<pcl::PointNormal>;

  void setCalibration(double calibration) { calibration_ = calibration; }
  void setOptions(const AlignmentOptions& options) { options_ = options; }
  // The camera that stays where it is; -1 (default): the first with a cloud.
  void setReference(int slot) { reference_ = slot; }
  // Camera `slot`'s cloud in its own coordinates (PCL units, as AddDepthFrame
  // converts whole millimetres; points without
  // a reading, at the origin, are left out) and its typed pose. Several
  // frames of a still scene may be concatenated into one cloud. Set the
  // calibration and options first.
  void setInputCloud(int slot, const Cloud& cloud, const CameraSetting& typed);

  AlignmentReport align();

 private:
  using Selection = std::array<bool, kCameraCount>;

  struct Camera {
    bool present = false;
    CameraSetting typed;
    CloudN points;     // thinned, cm, camera coordinates, with normals
    bool hasFloor = false;
    Eigen::Vector4d floor = Eigen::Vector4d::Zero();  // n.p + d = 0, n towards the camera
    CloudN standing;   // the points above the floor
    CloudN tops;       // those of them facing up
    Eigen::Isometry3d pose = Eigen::Isometry3d::Identity();  // cm
  };

  void Prepare(Camera& camera, const Cloud& cloud) const;
  Eigen::Isometry3d Place(int slot, const Selection& targets) const;
  Eigen::Isometry3d Level(const Camera& camera, const Eigen::Vector4d& floor) const;
  Eigen::Isometry3d PlaceOnFloor(const Camera& camera, const Eigen::Isometry3d& pose,
                                 const Eigen::Vector4d& floor, const Selection& targets) const;
  Eigen::Isometry3d Refine(const Camera& camera, const Eigen::Isometry3d& pose,
                           const Selection& targets, const std::vector<double>& scheduleCm) const;
  CameraFitness Fitness(int slot, const Selection& others, double distanceCm) const;
  CloudN InCommonFrame(const Selection& cameras, bool standingOnly) const;
  Selection AllBut(int slot) const;
  bool FloorUsable(const Camera& camera, const Eigen::Vector4d& floor) const;

  double calibration_ = 0.0012;
  int reference_ = -1;
  AlignmentOptions options_;
  std::array<Camera, kCameraCount> cameras_;
  Eigen::Vector4d floor_ = Eigen::Vector4d::Zero();  // the reference's floor, common frame
  bool haveFloor_ = false;
};

}  // namespace kestrova
