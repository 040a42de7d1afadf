#include "preview/PreviewMailbox.h"

#include <utility>

namespace kestrova {

void PreviewFrame::CopyFrom(const PreviewScene& scene) {
  for (int i = 0; i < kCameraCount; ++i) {
    active[i] = scene.active[i] && scene.clouds[i] != nullptr;
    if (active[i]) {
      clouds[i].points.assign(scene.clouds[i]->points.begin(), scene.clouds[i]->points.end());
      clouds[i].width = static_cast<std::uint32_t>(clouds[i].points.size());
      clouds[i].height = 1;
    } else {
      clouds[i].clear();
    }
    for (int c = 0; c < 3; ++c) colours[i][c] = scene.colours[i][c];
  }
  for (int k = 0; k < 6; ++k) box[k] = scene.box[k];
}

PreviewScene PreviewFrame::Scene(const PickState& picks) const {
  PreviewScene scene;
  for (int i = 0; i < kCameraCount; ++i) {
    scene.active[i] = active[i];
    scene.clouds[i] = active[i] ? &clouds[i] : nullptr;
    for (int c = 0; c < 3; ++c) scene.colours[i][c] = colours[i][c];
  }
  for (int k = 0; k < 6; ++k) scene.box[k] = box[k];
  scene.picks = picks;
  return scene;
}

void PreviewMailbox::Put(const PreviewScene& scene) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (fresh_) ++skipped_;
    newest_.CopyFrom(scene);
    fresh_ = true;
  }
  put_.notify_one();
}

bool PreviewMailbox::Take(PreviewFrame* frame, std::chrono::milliseconds wait) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (!put_.wait_for(lock, wait, [this] { return fresh_; })) return false;
  for (int i = 0; i < kCameraCount; ++i) {
    std::swap(frame->active[i], newest_.active[i]);
    std::swap(frame->clouds[i].points, newest_.clouds[i].points);
    std::swap(frame->clouds[i].width, newest_.clouds[i].width);
    std::swap(frame->clouds[i].height, newest_.clouds[i].height);
    for (int c = 0; c < 3; ++c) frame->colours[i][c] = newest_.colours[i][c];
  }
  for (int k = 0; k < 6; ++k) frame->box[k] = newest_.box[k];
  fresh_ = false;
  return true;
}

unsigned long PreviewMailbox::Skipped() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return skipped_;
}

}  // namespace kestrova
