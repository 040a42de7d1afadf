// The files of one take, per camera n = 1..4 in the take:
//   PCLn.dat  one record per cycle: int32 point count, then x, y, z float32
//             per point, little-endian, no header, no delimiter;
//   TSn.txt   one line per cycle, "%d %d %d \r\n": the take's frame number,
//             the high and the low 32 bits of the sensor's time stamp, each
//             printed as a signed 32-bit number.
//   DEPTHn.dat  only when depth frames are kept: the camera's raw depth
//             frames (see DepthFrameFile.h), one record per cycle.
// and, for the take as a whole, the settings snapshot RECPARAM.txt and
// LENS.txt, every camera's frame size and lens (see TakeLens.h).
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
#include "record/TakeLens.h"
#include "settings/DepthFrameFormat.h"
#include "record/TakeVersion.h"

namespace kestrova {

class TakeWriter {
 public:
  using SnapshotWriter = std::function<bool(const std::string& path, std::string* error)>;

  TakeWriter() = default;
  ~TakeWriter();
  TakeWriter(const TakeWriter&) = delete;
  TakeWriter& operator=(const TakeWriter&) = delete;

  // Starts a take in `dir` for the cameras marked in `cameras`: opens every
  // camera file and, with any camera, LENS.txt (an older take is not touched
  // yet), writes the settings snapshot "RECPARAM.txt" through
  // `writeSnapshot` and "VERSION.txt", then the cameras' frame sizes and lenses, removes the snapshot's
  // temporaries that a take killed while starting left behind and every
  // file of an older take that this take does not write, then empties the
  // camera files. On failure nothing stays open, no file this call created is
  // left, and `error` names the path and the reason.
  bool Open(const std::string& dir, const std::array<bool, kCameraCount>& cameras,
            const SnapshotWriter& writeSnapshot, std::string* error);

  // Whether the next takes keep their depth frames (DEPTHn.dat per camera).
  // Read by Open.
  void SetKeepDepth(bool keep) { keepDepth_ = keep; }
  // The frames each camera of the next takes delivers (the default frame
  // unless set): LENS.txt says so, and depth frames of any other size or
  // lens are refused. Read by Open.
  void SetFrameFormats(const CameraFormats& formats) { formats_ = formats; }
  // The versions Open writes into VERSION.txt (see TakeVersion.h); by
  // default this program's, as the recorder.
  void SetVersion(const TakeVersion& version) { version_ = version; }

  // Appends one time-stamp line and one point record for camera `slot`, and,
  // when the take keeps depth frames, the record of `depth` (which must then
  // be given, of the camera's size and lens). Called by that camera's grab
  // alone. False once the camera's files failed.
  bool Append(int slot, int frameNumber, std::int64_t stamp,
              const pcl::PointCloud<pcl::PointXYZ>& cloud, const DepthFrameView* depth = nullptr);

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
  bool StartFile(CameraFiles& files, int slot, CameraFile kind, const std::string& path, int fd,
                 std::string* error);
  bool Fail(CameraFiles& files, const std::string& path, int errorNumber);
  bool FailWith(CameraFiles& files, const std::string& reason);
  // The depth record of one cycle into its stream's cycle bytes.
  bool EncodeDepth(CameraFiles& files, int slot, int frameNumber, std::int64_t stamp,
                   const DepthFrameView* depth);
  void RemoveOlderTakeFiles(const std::string& dir, const std::array<bool, kCameraCount>& cameras) const;

  bool keepDepth_ = false;
  CameraFormats formats_;
  TakeVersion version_ = RecordingVersion();
  std::array<CameraFiles, kCameraCount> files_;
};

// The time-stamp line of one cycle.
std::string TimeStampLine(int frameNumber, std::int64_t stamp);

// The point record of one cloud, appended to `out`.
void EncodePointRecord(const pcl::PointCloud<pcl::PointXYZ>& cloud, std::vector<char>& out);

}  // namespace kestrova
