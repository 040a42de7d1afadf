#include "align/CameraAlignment.h"

#include <cmath>
#include <cstdio>

#include <pcl/common/centroid.h>
#include <pcl/common/transforms.h>
#include <pcl/features/normal_3d.h>
#include <pcl/filters/voxel_grid.h>
#include <pcl/kdtree/kdtree_flann.h>
#include <pcl/registration/gicp.h>
#include <pcl/registration/icp.h>
#include <pcl/registration/correspondence_rejection_surface_normal.h>
#include <pcl/registration/transformation_estimation_2D.h>
#include <pcl/segmentation/sac_segmentation.h>

#include "align/PoseAngles.h"

namespace kestrova {

namespace {

using CloudN = CameraAlignment::CloudN;
using Cloud = CameraAlignment::Cloud;

constexpr int kNormalNeighbours = 12;
constexpr double kTopCosine = 0.9;  // within about 25 degrees of up
constexpr double kFloorShareMin = 0.15;       // a floor holds at least this share of the points
constexpr double kFloorTiltMaxDegrees = 30;   // between a camera's floor and the reference's, as typed

bool HasReading(const pcl::PointXYZ& p) {
  return std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z) && p.z > 0;
}

Eigen::Isometry3d Isometry(const Eigen::Matrix4f& m) {
  Eigen::Isometry3d out;
  out.matrix() = m.cast<double>();
  // Float products drift from a pure rotation; take the nearest one.
  Eigen::JacobiSVD<Eigen::Matrix3d> svd(out.linear(), Eigen::ComputeFullU | Eigen::ComputeFullV);
  out.linear() = svd.matrixU() * svd.matrixV().transpose();
  return out;
}

// Runs `registration` over the distance schedule, each stage starting from
// where the last one ended.
template <typename Registration>
Eigen::Isometry3d RunSchedule(Registration& registration, const Eigen::Isometry3d& start,
                              const std::vector<double>& scheduleCm, int iterations) {
  typename Registration::PointCloudSource moved;
  Eigen::Matrix4f guess = start.matrix().cast<float>();
  registration.setMaximumIterations(iterations);
  registration.setTransformationEpsilon(1e-8);
  registration.setEuclideanFitnessEpsilon(1e-8);
  for (double distance : scheduleCm) {
    registration.setMaxCorrespondenceDistance(distance);
    registration.align(moved, guess);
    guess = registration.getFinalTransformation();
  }
  const Eigen::Isometry3d out = Isometry(guess);
  return out.linear().determinant() > 0 ? out : start;
}

// Pairs of points whose normals differ much are not one surface seen twice
// but, most often, the two sides of a thin object seen by cameras facing
// each other; pairing them would pull those cameras together.
pcl::registration::CorrespondenceRejector::Ptr SameSideRejector() {
  auto rejector = std::make_shared<pcl::registration::CorrespondenceRejectorSurfaceNormal>();
  rejector->setThreshold(std::cos(45.0 * EIGEN_PI / 180.0));
  return rejector;
}

Cloud Positions(const CloudN& cloud) {
  Cloud out;
  pcl::copyPointCloud(cloud, out);
  return out;
}

// The plane n.p + d = 0 of a camera, seen in the common frame through `pose`.
Eigen::Vector4d PlaneInCommonFrame(const Eigen::Vector4d& plane, const Eigen::Isometry3d& pose) {
  const Eigen::Vector3d n = pose.linear() * plane.head<3>();
  return Eigen::Vector4d(n.x(), n.y(), n.z(), plane.w() - n.dot(pose.translation()));
}

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

void CameraAlignment::Prepare(Camera& camera, const Cloud& cloud) const {
  Cloud::Ptr centimetres(new Cloud);
  centimetres->reserve(cloud.size());
  for (const pcl::PointXYZ& p : cloud) {
    if (!HasReading(p)) continue;
    const double scale = 1.0 / calibration_;
    centimetres->push_back(pcl::PointXYZ(static_cast<float>(p.x * scale), static_cast<float>(p.y * scale),
                                         static_cast<float>(p.z * scale)));
  }

  Cloud::Ptr thinned(new Cloud);
  pcl::VoxelGrid<pcl::PointXYZ> grid;
  const float leaf = static_cast<float>(options_.leafCm);
  grid.setLeafSize(leaf, leaf, leaf);
  grid.setInputCloud(centimetres);
  grid.filter(*thinned);
  if (thinned->size() < static_cast<size_t>(kNormalNeighbours)) return;

  // Normals in the camera's own coordinates, turned towards the camera.
  pcl::PointCloud<pcl::Normal> normals;
  pcl::NormalEstimation<pcl::PointXYZ, pcl::Normal> estimation;
  estimation.setInputCloud(thinned);
  estimation.setKSearch(kNormalNeighbours);
  estimation.setViewPoint(0, 0, 0);
  estimation.compute(normals);
  for (size_t i = 0; i < thinned->size(); ++i) {
    const pcl::Normal& n = normals[i];
    if (!std::isfinite(n.normal_x) || !std::isfinite(n.normal_y) || !std::isfinite(n.normal_z)) continue;
    if (n.curvature > options_.maxCurvature) continue;
    pcl::PointNormal p;
    p.x = (*thinned)[i].x, p.y = (*thinned)[i].y, p.z = (*thinned)[i].z;
    p.normal_x = n.normal_x, p.normal_y = n.normal_y, p.normal_z = n.normal_z;
    p.curvature = n.curvature;
    camera.points.push_back(p);
  }

  // The largest plane, taken for the floor when it holds enough of the points.
  pcl::SACSegmentation<pcl::PointXYZ> segmentation;
  segmentation.setModelType(pcl::SACMODEL_PLANE);
  segmentation.setMethodType(pcl::SAC_RANSAC);
  segmentation.setDistanceThreshold(options_.floorToleranceCm);
  segmentation.setMaxIterations(200);
  Cloud::Ptr positions(new Cloud(Positions(camera.points)));
  segmentation.setInputCloud(positions);
  pcl::PointIndices inliers;
  pcl::ModelCoefficients plane;
  segmentation.segment(inliers, plane);
  if (plane.values.size() != 4 ||
      inliers.indices.size() < kFloorShareMin * static_cast<double>(positions->size()))
    return;
  Eigen::Vector4d floor(plane.values[0], plane.values[1], plane.values[2], plane.values[3]);
  floor /= floor.head<3>().norm();
  if (floor.w() < 0) floor = -floor;  // the camera (the origin) on the positive side
  camera.hasFloor = true;
  camera.floor = floor;
  CloudN::Ptr lying(new CloudN);
  for (const pcl::PointNormal& p : camera.points)
    (floor.head<3>().dot(p.getVector3fMap().cast<double>()) + floor.w() > options_.standingMinCm ? camera.standing
                                                                                             : *lying)
        .push_back(p);
  // The floor holds most of the points but fixes only its three degrees of
  // freedom: a coarser grid keeps it from outweighing what stands on it and
  // saves most of the registration's time.
  pcl::VoxelGrid<pcl::PointNormal> floorGrid;
  const float floorLeaf = static_cast<float>(options_.floorLeafCm);
  floorGrid.setLeafSize(floorLeaf, floorLeaf, floorLeaf);
  floorGrid.setInputCloud(lying);
  floorGrid.filter(camera.points);
  camera.points += camera.standing;
  // Tops: what stands on the floor and faces up. Every camera above the
  // scene sees the same tops, whichever side it looks from.
  for (const pcl::PointNormal& p : camera.standing)
    if (std::abs(floor.head<3>().dot(p.getNormalVector3fMap().cast<double>())) >= kTopCosine)
      camera.tops.push_back(p);
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

Eigen::Isometry3d CameraAlignment::PlaceOnFloor(const Camera& camera, const Eigen::Isometry3d& pose,
                                                const Eigen::Vector4d& floor,
                                                const Selection& targets) const {
  // The floor's frame: the floor is z = 0, up is +z.
  const Eigen::Vector3d up = floor.head<3>();
  const Eigen::Isometry3d toFloor = Eigen::Isometry3d(Eigen::Quaterniond::FromTwoVectors(up, Eigen::Vector3d::UnitZ())) *
                                    Eigen::Translation3d(floor.w() * up);
  CloudN::Ptr target(new CloudN), source(new CloudN);
  pcl::transformPointCloudWithNormals(InCommonFrame(targets, true), *target, toFloor.matrix().cast<float>());
  pcl::transformPointCloudWithNormals(camera.tops, *source, (toFloor * pose).matrix().cast<float>());
  if (target->size() < 10 || source->size() < 10) return pose;

  pcl::IterativeClosestPoint<pcl::PointNormal, pcl::PointNormal> icp;
  icp.setTransformationEstimation(
      pcl::registration::TransformationEstimation2D<pcl::PointNormal, pcl::PointNormal>::Ptr(
          new pcl::registration::TransformationEstimation2D<pcl::PointNormal, pcl::PointNormal>));
  icp.addCorrespondenceRejector(SameSideRejector());
  icp.setInputTarget(target);
  icp.setInputSource(source);
  pcl::KdTreeFLANN<pcl::PointNormal> tree;
  tree.setInputCloud(target);

  Eigen::Vector4f centre;
  pcl::compute3DCentroid(*source, centre);
  const Eigen::Vector3d pivot(centre.x(), centre.y(), 0);
  const double last = options_.placeScheduleCm.back();
  Eigen::Isometry3d best = Eigen::Isometry3d::Identity();
  double bestShare = -1;
  for (double turn = -options_.turnRangeDegrees; turn <= options_.turnRangeDegrees + 1e-9;
       turn += options_.turnStepDegrees) {
    const Eigen::Isometry3d start = Eigen::Translation3d(pivot) *
                                    Eigen::AngleAxisd(turn * EIGEN_PI / 180.0, Eigen::Vector3d::UnitZ()) *
                                    Eigen::Translation3d(-pivot);
    Eigen::Isometry3d found = RunSchedule(icp, start, options_.placeScheduleCm, options_.iterationsPerStage);
    found.translation().z() = 0;  // the floors already coincide
    // The share of the standing points that found a partner.
    CloudN moved;
    pcl::transformPointCloud(*source, moved, found.matrix().cast<float>());
    std::vector<int> index(1);
    std::vector<float> squared(1);
    size_t near = 0;
    for (const pcl::PointNormal& p : moved)
      if (tree.nearestKSearch(p, 1, index, squared) == 1 && squared[0] <= last * last) ++near;
    const double share = static_cast<double>(near) / static_cast<double>(moved.size());
    if (share > bestShare) bestShare = share, best = found;
  }
  return toFloor.inverse() * best * toFloor * pose;
}

Eigen::Isometry3d CameraAlignment::Refine(const Camera& camera, const Eigen::Isometry3d& pose,
                                          const Selection& targets,
                                          const std::vector<double>& scheduleCm) const {
  CloudN::Ptr target(new CloudN(InCommonFrame(targets, false)));
  if (target->empty() || camera.points.empty()) return pose;
  CloudN::Ptr source(new CloudN(camera.points));
  const int iterations = options_.iterationsPerStage;
  switch (options_.method) {
    case RegistrationMethod::PointToPlane: {
      pcl::IterativeClosestPointWithNormals<pcl::PointNormal, pcl::PointNormal> icp;
      icp.addCorrespondenceRejector(SameSideRejector());
      icp.setInputSource(source);
      icp.setInputTarget(target);
      return RunSchedule(icp, pose, scheduleCm, iterations);
    }
    case RegistrationMethod::Generalized: {
      pcl::GeneralizedIterativeClosestPoint<pcl::PointXYZ, pcl::PointXYZ> gicp;
      gicp.setInputSource(Cloud::Ptr(new Cloud(Positions(*source))));
      gicp.setInputTarget(Cloud::Ptr(new Cloud(Positions(*target))));
      return RunSchedule(gicp, pose, scheduleCm, iterations);
    }
    case RegistrationMethod::PointToPoint: {
      pcl::IterativeClosestPoint<pcl::PointNormal, pcl::PointNormal> icp;
      icp.setInputSource(source);
      icp.setInputTarget(target);
      return RunSchedule(icp, pose, scheduleCm, iterations);
    }
  }
  return pose;
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
