#include "align/CameraAlignment.h"

#include <cmath>
#include <cstdio>

#include <pcl/common/centroid.h>
#include <pcl/common/transforms.h>
#include <pcl/kdtree/kdtree_flann.h>

#include "align/AlignmentGeometry.h"
#include "align/PoseAngles.h"

namespace kestrova {

namespace {

using CloudN = CameraAlignment::CloudN;
using Cloud = CameraAlignment::Cloud;

constexpr double kFloorTiltMaxDegrees = 30;   // between a camera's floor and the reference's, as typed

// Share of `source`'s points (moved by `pose`) within `distance` of `tree`'s
// points, and the RMS distance of those.
CameraFitness Overlap(const CloudN& source, const Eigen::Isometry3d& pose,
                      const pcl::KdTreeFLANN<pcl::PointNormal>& tree, double distance) {
  CameraFitness fitness;
  if (source.empty()) return fitness;
  CloudN moved;
  pcl::transformPointCloud(source, moved, pose.matrix().cast<float>());
  std::vector<int> index(1);
  std::vector<float> squared(1);
  double sum = 0;
  size_t overlapping = 0;
  for (const pcl::PointNormal& p : moved) {
    if (tree.nearestKSearch(p, 1, index, squared) < 1 || squared[0] > distance * distance) continue;
    sum += squared[0];
    ++overlapping;
  }
  fitness.overlapShare = static_cast<double>(overlapping) / static_cast<double>(moved.size());
  fitness.rmsCm = overlapping ? std::sqrt(sum / static_cast<double>(overlapping)) : 0;
  return fitness;
}

}  // namespace

bool AlignmentReport::AllAligned() const {
  for (const CameraAlignmentResult& c : cameras)
    if (!c.reference && !c.aligned) return false;
  return true;
}

bool AlignmentReport::AnyAligned() const {
  for (const CameraAlignmentResult& c : cameras)
    if (c.aligned) return true;
  return false;
}

void CameraAlignment::setInputCloud(int slot, const Cloud& cloud, const CameraSetting& typed) {
  Camera& camera = cameras_[slot];
  camera = Camera();
  camera.present = true;
  camera.typed = typed;
  Prepare(camera, cloud);
}

CameraAlignment::Selection CameraAlignment::AllBut(int slot) const {
  Selection all{};
  for (int i = 0; i < kCameraCount; ++i) all[i] = cameras_[i].present && i != slot;
  return all;
}

CloudN CameraAlignment::InCommonFrame(const Selection& chosen, bool standingOnly) const {
  CloudN all, moved;
  for (int i = 0; i < kCameraCount; ++i) {
    const Camera& camera = cameras_[i];
    if (!chosen[i] || !camera.present) continue;
    pcl::transformPointCloudWithNormals(standingOnly ? camera.tops : camera.points, moved,
                                        camera.pose.matrix().cast<float>());
    all += moved;
  }
  return all;
}

bool CameraAlignment::FloorUsable(const Camera& camera, const Eigen::Vector4d& floor) const {
  if (!haveFloor_ || !camera.hasFloor) return false;
  const Eigen::Vector3d n = PlaneInCommonFrame(camera.floor, camera.pose).head<3>();
  return std::acos(std::clamp(n.dot(floor.head<3>()), -1.0, 1.0)) * 180.0 / EIGEN_PI <=
         kFloorTiltMaxDegrees;
}

Eigen::Isometry3d CameraAlignment::Level(const Camera& camera, const Eigen::Vector4d& floor) const {
  const Eigen::Vector4d own = PlaneInCommonFrame(camera.floor, camera.pose);
  const Eigen::Vector3d n = own.head<3>(), target = floor.head<3>();
  // Turn about the camera's points' centre on its own floor, so that what it
  // sees moves least, then lift or lower it onto the reference's floor.
  Eigen::Vector4f centroid;
  pcl::compute3DCentroid(camera.points, centroid);
  Eigen::Vector3d pivot = camera.pose * centroid.head<3>().cast<double>();
  pivot -= (n.dot(pivot) + own.w()) * n;
  Eigen::Isometry3d turn = Eigen::Translation3d(pivot) *
                           Eigen::Quaterniond::FromTwoVectors(n, target) *
                           Eigen::Translation3d(-pivot);
  const double gap = target.dot(pivot) + floor.w();
  return Eigen::Translation3d(-gap * target) * turn * camera.pose;
}

Eigen::Isometry3d CameraAlignment::Place(int slot, const Selection& targets) const {
  Camera camera = cameras_[slot];
  if (!FloorUsable(camera, floor_)) return Refine(camera, camera.pose, targets, options_.fallbackScheduleCm);
  camera.pose = Level(camera, floor_);
  camera.pose = PlaceOnFloor(camera, camera.pose, floor_, targets);
  return Refine(camera, camera.pose, targets, options_.refineScheduleCm);
}

CameraFitness CameraAlignment::Fitness(int slot, const Selection& chosen, double distanceCm) const {
  CloudN::Ptr others(new CloudN(InCommonFrame(chosen, false)));
  if (others->empty()) return {};
  pcl::KdTreeFLANN<pcl::PointNormal> tree;
  tree.setInputCloud(others);
  return Overlap(cameras_[slot].points, cameras_[slot].pose, tree, distanceCm);
}

namespace {
std::string ResidualProblem(double rmsCm, double maxCm) {
  char text[200];
  std::snprintf(text, sizeof text,
                "its points lie %.2f cm (RMS) from the others' after the fit, more than %.2f cm: the fit "
                "cannot be trusted (the scene moved between the cameras' frames, or the clouds do not "
                "overlap as they seem to)",
                rmsCm, maxCm);
  return text;
}
}  // namespace

AlignmentReport CameraAlignment::align() {
  int reference = reference_;
  if (reference < 0 || reference >= kCameraCount || !cameras_[reference].present) {
    reference = -1;
    for (int i = 0; i < kCameraCount && reference < 0; ++i)
      if (cameras_[i].present) reference = i;
  }
  AlignmentReport report;
  if (reference < 0) return report;
  std::array<CameraAlignmentResult, kCameraCount> results;
  for (int i = 0; i < kCameraCount; ++i) {
    Camera& camera = cameras_[i];
    if (!camera.present) continue;
    camera.pose = PoseMatrix(camera.typed, 1.0);  // centimetres
    results[i].slot = i;
    results[i].reference = i == reference;
    results[i].before = results[i].after = camera.typed;
  }
  const Camera& base = cameras_[reference];
  haveFloor_ = base.hasFloor;
  if (haveFloor_) floor_ = PlaneInCommonFrame(base.floor, base.pose);
  for (int i = 0; i < kCameraCount; ++i)
    if (cameras_[i].present) results[i].fitnessBefore = Fitness(i, AllBut(i), options_.overlapDistanceCm);

  // Grow from the reference: each time the camera looking most nearly the
  // way of a placed one (as typed) is placed against the placed ones.
  // Cameras looking alike see the same faces of things; a camera opposite
  // the reference is placed through its neighbours.
  Selection placed{};
  placed[reference] = true;
  for (;;) {
    int next = -1;
    double best = 1e9;
    for (int i = 0; i < kCameraCount; ++i) {
      if (!cameras_[i].present || placed[i]) continue;
      for (int j = 0; j < kCameraCount; ++j) {
        if (!placed[j]) continue;
        const double apart = RotationAngleDegrees(Eigen::Matrix3d::Identity(),
            Eigen::Quaterniond::FromTwoVectors(cameras_[i].pose.linear().col(2),
                                               cameras_[j].pose.linear().col(2)).toRotationMatrix());
        if (apart < best) best = apart, next = i;
      }
    }
    if (next < 0) break;
    cameras_[next].pose = Place(next, placed);
    placed[next] = true;
  }
  for (int round = 1; round < options_.rounds; ++round)
    for (int i = 0; i < kCameraCount; ++i)
      if (cameras_[i].present && i != reference)
        cameras_[i].pose = Refine(cameras_[i], cameras_[i].pose, AllBut(i), options_.refineScheduleCm);

  for (int i = 0; i < kCameraCount; ++i) {
    Camera& camera = cameras_[i];
    if (!camera.present) continue;
    CameraAlignmentResult& r = results[i];
    r.fitnessAfter = Fitness(i, AllBut(i), options_.overlapDistanceCm);
    const Eigen::Isometry3d typed = PoseMatrix(camera.typed, 1.0);
    r.correctionCm = (camera.pose.translation() - typed.translation()).norm();
    r.correctionDegrees = RotationAngleDegrees(typed.linear(), camera.pose.linear());
    if (r.reference) continue;
    if (camera.points.empty())
      r.problem = "no points to align";
    else if (r.fitnessAfter.overlapShare < options_.minOverlapShare)
      r.problem = "too little overlap with the other cameras";
    else if (r.correctionCm > options_.maxCorrectionCm || r.correctionDegrees > options_.maxCorrectionDegrees)
      r.problem = "the correction is implausibly large";
    else if (r.fitnessAfter.rmsCm > options_.maxResidualCm)
      r.problem = ResidualProblem(r.fitnessAfter.rmsCm, options_.maxResidualCm);
    r.aligned = r.problem.empty();
    if (r.aligned) r.after = PoseFromMatrix(camera.pose, 1.0, camera.typed);
  }
  for (int i = 0; i < kCameraCount; ++i)
    if (cameras_[i].present) report.cameras.push_back(results[i]);
  return report;
}

}  // namespace kestrova
