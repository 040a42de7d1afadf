// The two calibration picks made in the preview.
#pragma once

namespace kestrova {

struct PickState {
  float points[2][3] = {{0, 0, 0}, {0, 0, 0}};
  int count = 0;  // 0, 1 or 2
};

}  // namespace kestrova
