#include "preview/PreviewMailbox.h"

#include <utility>

namespace kestrova {

void PreviewFrame::CopyFrom(const CycleFrame& cycle) {
  const FrameSettings& settings = *cycle.settings;
  for (int i = 0; i < kCameraCount; ++i) {
    const Cloud* cloud = cycle.final[i];
    active[i] = cycle.active[i];
    std::vector<float>& xyz = points[i];
    xyz.resize(active[i] && cloud ? 3 * cloud->size() : 0);  // keeps the capacity
    float* out = xyz.data();
    if (active[i] && cloud) {
      for (const pcl::PointXYZ& p : cloud->points) {
        *out++ = p.x;
        *out++ = p.y;
        *out++ = p.z;
      }
    }
    // A colour part stored beyond 0..255 shows by its low 8 bits, as the
    // operator window shows it.
    const CameraSetting& camera = settings.cameras[i];
    colours[i][0] = camera.r & 0xFF;
    colours[i][1] = camera.g & 0xFF;
    colours[i][2] = camera.b & 0xFF;
  }
  const CropBox crop = CropLimits(settings.operatorSettings);
  for (int axis = 0; axis < 3; ++axis) {
    box[2 * axis] = crop.min[axis];
    box[2 * axis + 1] = crop.max[axis];
  }
}

void PreviewMailbox::Put(const CycleFrame& cycle) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (fresh_) ++skipped_;
    newest_.CopyFrom(cycle);
    fresh_ = true;
  }
  put_.notify_one();
}

bool PreviewMailbox::Take(PreviewFrame* frame, std::chrono::milliseconds wait) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (!put_.wait_for(lock, wait, [this] { return fresh_; })) return false;
  std::swap(*frame, newest_);  // vectors swap their buffers: nothing is copied
  fresh_ = false;
  return true;
}

unsigned long PreviewMailbox::Skipped() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return skipped_;
}

}  // namespace kestrova
