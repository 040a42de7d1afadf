// The names of a take's files, in one place: the settings snapshot
// "RECPARAM.txt", the cameras' clock mapping "CLOCK.txt" (see
// TakeClock.h), their frame sizes and lenses "LENS.txt" (see TakeLens.h) and, per camera n = 1..4, "PCLn.dat" (points), "TSn.txt"
// (time stamps) and, when depth frames are kept, "DEPTHn.dat". The writer,
// the readers, the checks and the tools all name files through here.
#pragma once

#include <array>
#include <string>

namespace kestrova {

inline constexpr char kTakeSettingsFile[] = "RECPARAM.txt";
inline constexpr char kTakeClockFile[] = "CLOCK.txt";
inline constexpr char kTakeLensFile[] = "LENS.txt";

// The files a take has per camera, in the order the writer opens them.
enum class CameraFile { Points, TimeStamps, Depth };
inline constexpr std::array<CameraFile, 3> kCameraFiles = {CameraFile::Points, CameraFile::TimeStamps,
                                                          CameraFile::Depth};

// "PCL1.dat" for camera slot 0, and so on.
std::string CameraFileName(CameraFile file, int slot);

}  // namespace kestrova
