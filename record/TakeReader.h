// Reading a take back. Every take file is untrusted input: the readers
// allocate by the format, not by the file (one line of a few dozen bytes,
// one record of at most a frame's pixels), open only regular files, read
// forward through a buffer (a scan costs one system call per buffer, not
// per record), never crash on a cut or garbled file, and report the first
// fault with the file, the line or record, and the byte offset where it
// starts.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "settings/DepthFrameFormat.h"

namespace kestrova {

// A record never holds more points than the largest depth frame has pixels.
constexpr std::uint32_t kMaxRecordPoints = kMaxDepthPixels;
// "%d %d %d \r\n" is at most 37 bytes; anything much longer is no time-stamp line.
constexpr size_t kMaxTimeStampLineBytes = 64;

struct ReadFault {
  bool any = false;
  std::string file;          // the file's name within the take
  std::uint64_t offset = 0;  // byte offset where the faulty line or record starts
  long long item = -1;       // line or record number, from 0
  std::string reason;
  // The file's whole lines or records end here and nothing sound follows:
  // its tail was cut short or zero-filled, as a crash leaves a file.
  bool cutShort = false;
  // "PCL2.dat: record 57 at byte 688212: <reason>"
  std::string Text() const;
};

// Opens `path` for reading if it is a regular file, without blocking on a
// FIFO or a device in its place: the descriptor (blocking, close-on-exec),
// or -1 with the reason ("not a regular file", or the system's).
int OpenRegularFile(const std::string& path, std::string* reason);
// The same as a stdio stream for binary reading, or nullptr with the reason.
std::FILE* OpenRegularStream(const std::string& path, std::string* reason);

// One line of TSn.txt: the take's frame number and the sensor's time stamp.
struct TimeStampLine {
  std::int64_t frame = 0;
  std::int32_t high = 0;
  std::uint32_t low = 0;
  std::uint64_t offset = 0;  // where the line starts in the file
  std::int64_t Stamp() const { return static_cast<std::int64_t>(high) * 4294967296LL + low; }
};

// Buffered forward reading of one regular file.
class FileBytes {
 public:
  FileBytes() = default;
  ~FileBytes();
  FileBytes(const FileBytes&) = delete;
  FileBytes& operator=(const FileBytes&) = delete;

  // Refuses anything but a regular file, without blocking on a FIFO.
  bool Open(const std::string& path, const std::string& fileName, ReadFault* fault);
  // Takes over an open descriptor of a regular file.
  bool Adopt(int fd, const std::string& fileName, ReadFault* fault);

  // Up to `count` bytes; fewer only at the end of the file or on an error.
  size_t Read(void* out, size_t count);
  // The next byte, or -1 at the end (or on an error).
  int Get();
  bool Skip(std::uint64_t count);
  bool SeekTo(std::uint64_t offset);

  std::uint64_t Offset() const { return offset_; }
  std::uint64_t Size() const { return size_; }
  bool Failed() const { return failed_; }
  bool IsOpen() const { return fd_ >= 0; }

 private:
  bool Refill();

  int fd_ = -1;
  std::uint64_t size_ = 0;
  std::uint64_t offset_ = 0;  // of the next byte handed out
  std::vector<unsigned char> buffer_;
  size_t begin_ = 0, end_ = 0;  // unread bytes in buffer_
  bool failed_ = false;
};

// The next line of a small text file of a take (CLOCK.txt, VERSION.txt),
// into `line` without its CR LF or LF: Line, or End after the last one.
// A line over `maxBytes` (its CR counted), one the file ends in before its
// line end, or a read error stop the reading.
enum class TextLine { Line, End, TooLong, CutShort, Unreadable };
TextLine ReadTextLine(FileBytes& bytes, size_t maxBytes, std::string* line);
// Why reading stopped: "a line longer than <longest>", "a line cut short",
// "cannot be read".
std::string TextLineFault(TextLine read, const std::string& longest);

// Reads a TSn.txt line by line: three integers ("%d %d %d "), CR LF or LF,
// frame numbers rising.
class TimeStampReader {
 public:
  bool Open(const std::string& path, const std::string& fileName, ReadFault* fault);
  bool Adopt(int fd, const std::string& fileName, ReadFault* fault);

  // The next line. False at the end of the file, and on a line that is not
  // one (cut short, text, too long, numbers out of range or not rising):
  // then `fault->any` is set.
  bool Next(TimeStampLine* line, ReadFault* fault);
  // Moves to a line start found before; `previousFrame` is the frame number
  // of the line before it (-1 for the first).
  bool Seek(std::uint64_t offset, long long lineIndex, std::int64_t previousFrame);

  long long LineIndex() const { return index_; }

 private:
  FileBytes bytes_;
  std::string name_;
  long long index_ = 0;
  std::int64_t previousFrame_ = -1;
};

// Reads the records of a PCLn.dat one after another: an int32 point count,
// then x, y, z as float32 per point, little-endian.
class PointStreamReader {
 public:
  bool Open(const std::string& path, const std::string& fileName, ReadFault* fault);
  bool Adopt(int fd, const std::string& fileName, ReadFault* fault);

  // The next record's coordinates (x, y, z per point) into `xyz`. False at
  // the end of the file, and on a fault (then `fault->any` is set and the
  // reader stays at the faulty record).
  bool Next(std::vector<float>* xyz, ReadFault* fault);
  // Skips the next record's points; false as Next.
  bool Skip(std::uint32_t* count, ReadFault* fault);
  // Moves to a record start found before (from Offset()).
  bool Seek(std::uint64_t offset, long long recordIndex);

  std::uint64_t Offset() const { return bytes_.Offset(); }
  long long RecordIndex() const { return index_; }

 private:
  bool ReadCount(std::uint32_t* count, ReadFault* fault);
  bool Fail(ReadFault* fault, std::uint64_t start, const std::string& reason);

  FileBytes bytes_;
  std::string name_;
  long long index_ = 0;
  std::vector<unsigned char> buffer_;
};

}  // namespace kestrova
