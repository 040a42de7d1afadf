// Each camera's cloud made ready for registration: in centimetres, thinned,
// with normals, its floor found and what stands on it.
#include <cmath>

#include <pcl/features/normal_3d.h>
#include <pcl/filters/voxel_grid.h>
#include <pcl/segmentation/sac_segmentation.h>

#include "align/AlignmentGeometry.h"
#include "align/CameraAlignment.h"

namespace kestrova {

namespace {
using CloudN = CameraAlignment::CloudN;
using Cloud = CameraAlignment::Cloud;

constexpr int kNormalNeighbours = 12;
constexpr double kTopCosine = 0.9;  // within about 25 degrees of up
constexpr double kFloorShareMin = 0.15;       // a floor holds at least this share of the points
}  // namespace

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

}  // namespace kestrova
