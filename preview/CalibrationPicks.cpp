#include "preview/CalibrationPicks.h"

namespace kestrova {

void CalibrationPicks::OnPointPicked(float x, float y, float z) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (picks_.count < 2) {
    float* point = picks_.points[picks_.count];
    point[0] = x;
    point[1] = y;
    point[2] = z;
  }
  picks_.count = (picks_.count + 1) % 3;
}

PickState CalibrationPicks::Picks() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return picks_;
}

}  // namespace kestrova
