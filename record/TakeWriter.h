// The files of one take, per camera n = 1..4 in the take:
//   PCLn.dat  one record per cycle: int32 point count, then x, y, z float32
//             per point, little-endian, no header, no delimiter;
//   TSn.txt   one line per cycle, "%d %d %d \r\n": the take's frame number,
//             the high and the low 32 bits of the sensor's time stamp, each
//             printed as a signed 32-bit number.
//   DEPTHn.dat  only when depth frames are kept: the camera's raw depth
//             frames (see DepthFrameFile.h), one record per cycle.
// The names come from TakeLayout.h; the writer keeps any number of files
// per camera paired by cycle. Every cycle's line and records are flushed
// together; a write that fails
// (a full disk) cuts the camera's files back to the last complete cycle, so
// what is on disk always reads as whole lines and whole records.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <pcl/point_cloud.h>
#include <pcl/point_types.h>

#include "settings/Settings.h"
#include "record/DepthFrameFile.h"
#include "record/TakeLayout.h"
#include "record/TakeVersion.h"

namespace kestrova {

// One depth frame as the sensor delivered it, row after row.
struct DepthPixels {
  const std::uint16_t* values = nullptr;
  int width = 0;
  int height = 0;
};

// The size of every depth frame a take keeps.
constexpr int kKeptDepthWidth = 320;
constexpr int kKeptDepthHeight = 240;

class TakeWriter {
 public:
  using SnapshotWriter = std::function<bool(const std::string& path, std::string* error)>;

  TakeWriter() = default;
  ~TakeWriter();
  TakeWriter(const TakeWriter&) = delete;
  TakeWriter& operator=(const TakeWriter&) = delete;

  // Starts a take in `dir` for the cameras marked in `cameras`: opens every
  // camera file (an older take is not touched yet), writes the settings
  // snapshot "RECPARAM.txt" through `writeSnapshot` and "VERSION.txt", removes the snapshot's
  // temporaries that a take killed while starting left behind and every
  // file of an older take that this take does not write, then empties the
  // camera files. On failure nothing stays open, no file this call created is
  // left, and `error` names the path and the reason.
  bool Open(const std::string& dir, const std::array<bool, kCameraCount>& cameras,
            const SnapshotWriter& writeSnapshot, std::string* error);

  // Whether the next takes keep their depth frames (DEPTHn.dat per camera).
  // Read by Open.
  void SetKeepDepth(bool keep) { keepDepth_ = keep; }
  // The versions Open writes into VERSION.txt (see TakeVersion.h); by
  // default this program's, as the recorder.
  void SetVersion(const TakeVersion& version) { version_ = version; }

  // Appends one time-stamp line and one point record for camera `slot`, and,
  // when the take keeps depth frames, the record of `depth` (which must then
  // be given, kKeptDepthWidth x kKeptDepthHeight). Called by that camera's
  // grab alone. False once the camera's files failed.
  bool Append(int slot, int frameNumber, std::int64_t stamp,
              const pcl::PointCloud<pcl::PointXYZ>& cloud, const DepthPixels* depth = nullptr);

  // The first write failure of the take, if any (read between cycles).
  bool Failed() const;
  std::string FailureMessage() const;

  // Flushes, syncs and closes every file. False with the reason when a file
  // could not be completed.
  bool Close(std::string* error);

 private:
  // One file of a camera, written a whole cycle at a time.
  struct Stream {
    std::FILE* file = nullptr;
    std::string path;
    long complete = 0;        // bytes of whole cycles
    std::vector<char> cycle;  // this cycle's bytes; the buffer is reused
  };
  struct CameraFiles {
    std::array<Stream, kCameraFiles.size()> streams;  // by CameraFile; closed: not in the take
    std::unique_ptr<DepthFrameEncoder> encoder;
    std::string failure;
  };

  // Whether the next take has this file per camera.
  bool Wanted(CameraFile file) const;
  // Takes over `fd` (open on `path`), empties it and, for depth frames,
  // writes the header.
  bool StartFile(CameraFiles& files, CameraFile kind, const std::string& path, int fd,
                 std::string* error);
  bool Fail(CameraFiles& files, const std::string& path, int errorNumber);
  bool FailWith(CameraFiles& files, const std::string& reason);
  // The depth record of one cycle into its stream's cycle bytes.
  bool EncodeDepth(CameraFiles& files, int slot, int frameNumber, std::int64_t stamp,
                   const DepthPixels* depth);
  void RemoveOlderTakeFiles(const std::string& dir, const std::array<bool, kCameraCount>& cameras) const;

  bool keepDepth_ = false;
  TakeVersion version_ = RecordingVersion();
  std::array<CameraFiles, kCameraCount> files_;
};

// The time-stamp line of one cycle.
std::string TimeStampLine(int frameNumber, std::int64_t stamp);

// The point record of one cloud, appended to `out`.
void EncodePointRecord(const pcl::PointCloud<pcl::PointXYZ>& cloud, std::vector<char>& out);

}  // namespace kestrova
