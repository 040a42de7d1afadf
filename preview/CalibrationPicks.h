// The two calibration picks made in the preview: points picked there (on
// the preview's render thread) go here, and the window's "Set" reads them
// (on the UI thread).
#pragma once

#include <mutex>

namespace kestrova {

struct PickState {
  float points[2][3] = {{0, 0, 0}, {0, 0, 0}};
  int count = 0;  // 0, 1 or 2
};

class CalibrationPicks {
 public:
  // First pick: point 0; second: point 1; third: clears; and round again.
  void OnPointPicked(float x, float y, float z);
  PickState Picks() const;

 private:
  mutable std::mutex mutex_;
  PickState picks_;
};

}  // namespace kestrova
