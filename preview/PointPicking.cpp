#include "preview/PointPicking.h"

#include <cmath>
#include <limits>

namespace kestrova {

namespace {

struct Candidate {
  int camera;
  std::size_t index;
  double screenDistance;  // pixels
  double depth;           // along the view
};

}  // namespace

PickedPoint PickCloudPoint(const std::array<const std::vector<float>*, kCameraCount>& clouds,
                           const ScreenProjection& view, double clickX, double clickY) {
  std::vector<Candidate> near;
  for (int camera = 0; camera < kCameraCount; ++camera) {
    if (clouds[camera] == nullptr) continue;
    const std::vector<float>& xyz = *clouds[camera];
    for (std::size_t i = 0; i + 2 < xyz.size(); i += 3) {
      const Eigen::Vector4d world(xyz[i], xyz[i + 1], xyz[i + 2], 1.0);
      const Eigen::Vector4d clip = view.worldToClip * world;
      if (!(clip.w() > 0)) continue;  // behind the viewer
      const double ndcZ = clip.z() / clip.w();
      if (ndcZ < -1 || ndcZ > 1) continue;  // clipped away: not drawn
      const double x = (clip.x() / clip.w() + 1) * view.width / 2;
      const double y = (clip.y() / clip.w() + 1) * view.height / 2;
      const double distance = std::hypot(x - clickX, y - clickY);
      if (!(distance <= kPickRadius)) continue;
      const double depth = (world.head<3>() - view.eye).dot(view.forward);
      near.push_back({camera, i / 3, distance, depth});
    }
  }
  PickedPoint picked;
  if (near.empty()) return picked;

  double front = std::numeric_limits<double>::infinity();
  for (const Candidate& c : near) front = std::min(front, c.depth);
  const double pixel = view.parallel ? view.pixelSize : view.pixelSize * std::max(front, 0.0);
  const double hiddenBeyond = front + 2 * 2 * kPickRadius * pixel;

  const Candidate* best = nullptr;
  for (const Candidate& c : near) {
    if (c.depth > hiddenBeyond) continue;
    if (best == nullptr || c.screenDistance < best->screenDistance ||
        (c.screenDistance == best->screenDistance && c.depth < best->depth))
      best = &c;
  }
  const std::vector<float>& xyz = *clouds[best->camera];
  picked.found = true;
  picked.camera = best->camera;
  picked.index = best->index;
  picked.point = Eigen::Vector3f(xyz[3 * best->index], xyz[3 * best->index + 1], xyz[3 * best->index + 2]);
  return picked;
}

}  // namespace kestrova
