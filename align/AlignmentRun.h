// One alignment of a rig from start to end, as the tools and the window run
// it: the gathered clouds and the typed settings in, the report out, and the
// found poses put back into the settings.
#pragma once

#include <string>
#include <vector>

#include "align/AlignmentFrames.h"
#include "align/CameraAlignment.h"

namespace kestrova {

// Aligns the cameras of `clouds` at the settings' calibration. `reference`
// is the slot that stays where it is; -1 chooses the first camera with a
// cloud.
AlignmentReport AlignCameras(const OperatorSettings& settings, const CameraSettings& cameras,
                             const AlignmentClouds& clouds, int reference = -1);

// Stores the found pose of every aligned camera in `cameras`; the others
// stay as they are.
void ApplyAlignment(const AlignmentReport& report, CameraSettings& cameras);

// The report as a table: its column titles, and a row per camera (the
// result, the correction, RMS distance and overlap before and after, the
// pose it keeps). The window's result dialog and the tools show the same.
std::vector<std::string> AlignmentTableHeader();
std::vector<std::vector<std::string>> AlignmentTableRows(const AlignmentReport& report);

// The table as text in aligned columns, then a line per camera that was not
// aligned, naming it and why.
std::string AlignmentReportText(const AlignmentReport& report);

}  // namespace kestrova
