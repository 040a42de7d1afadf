// LENS.txt: each camera's frame size and lens, as the take's depth frames
// were made. Text, CR LF line ends, written when the take starts (with its
// other files, before it counts as started):
//   # Kestrova lens 1: camera N width W height H fx FX fy FY cx CX cy CY (pixels)
//   camera 1 width 320 height 240 fx 285.63266694292446 fy 285.63266694292446 cx 160 cy 120
//   camera 2 width 640 height 480 fx 571.2653338858489 fy 571.2653338858489 cx 320 cy 240
// Every line starts with its key. A line starting with '#' is a comment (the
// first names the format). A `camera` line gives one camera of the take: its
// number (1 to 4), then names and values: the frame's width and height in
// pixels and its lens (focal lengths fx, fy and optical axis cx, cy, in
// pixels; see DepthFrameFormat.h), each number written so that it reads
// back exactly. Readers ignore lines of keys they do not know (a later
// `version` line, say) and names they do not know on a camera line, so
// later takes can add to the file and older readers still read it.
//
// The file is optional: takes made before it existed have none, and every
// camera of such a take reads as the default 320 x 240 frame and its lens.
#pragma once

#include <array>
#include <string>

#include "record/TakeReader.h"
#include "settings/DepthFrameFormat.h"
#include "settings/Settings.h"

namespace kestrova {

using CameraFormats = std::array<DepthFrameFormat, kCameraCount>;

inline constexpr char kTakeLensHeader[] =
    "# Kestrova lens 1: camera N width W height H fx FX fy FY cx CX cy CY (pixels)\r\n";
// A lens file is a few short lines; a reader refuses more.
constexpr std::size_t kMaxLensFileBytes = 64 * 1024;

// The file's text for the cameras marked in `cameras`.
std::string FormatTakeLens(const std::array<bool, kCameraCount>& cameras, const CameraFormats& formats);

// A number as the file writes it: the shortest text that reads back exactly.
std::string ExactNumberText(double value);

struct TakeLens {
  bool present = false;                    // the take has a LENS.txt
  std::array<bool, kCameraCount> listed{};  // a camera line names the camera
  CameraFormats formats;                   // the default format where none is listed
};

// Parses the text of a lens file; false with `fault` (file, line, offset,
// reason) on a line that is not what its key says, a camera given twice,
// or a size or lens no sensor has.
bool ParseTakeLens(const std::string& text, TakeLens* lens, ReadFault* fault);
// Reads DIR/LENS.txt, a regular file of at most kMaxLensFileBytes. A take
// without one reads as every camera at the default format (true, `present`
// false).
bool ReadTakeLens(const std::string& dir, TakeLens* lens, ReadFault* fault);

}  // namespace kestrova
