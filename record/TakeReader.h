// Reading a take back. Every take file is untrusted input: a reader never
// allocates more than the file can hold, never crashes on a cut or garbled
// file, and reports the first fault with the file, the line or record, and
// the byte offset where it starts.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace kestrova {

struct ReadFault {
  bool any = false;
  std::string file;          // the file's name within the take
  std::uint64_t offset = 0;  // byte offset where the faulty line or record starts
  long long item = -1;       // line or record number, from 0
  std::string reason;
  // "PCL2.dat: record 57 at byte 688212: <reason>"
  std::string Text() const;
};

// One line of TSn.txt: the take's frame number and the sensor's time stamp.
struct TimeStampLine {
  std::int64_t frame = 0;
  std::int32_t high = 0;
  std::uint32_t low = 0;
  std::uint64_t offset = 0;  // where the line starts in the file
  std::int64_t Stamp() const { return static_cast<std::int64_t>(high) * 4294967296LL + low; }
};

// Parses the text of a TSn.txt: lines of three integers ("%d %d %d "), CR LF
// or LF. Stops at the first line that is not one (a line cut short, text,
// numbers out of range) and says why in `fault`; `lines` keeps the lines
// before it.
bool ParseTimeStamps(const std::string& text, const std::string& fileName,
                     std::vector<TimeStampLine>* lines, ReadFault* fault);

// Reads and parses a TSn.txt.
bool ReadTimeStamps(const std::string& path, const std::string& fileName,
                    std::vector<TimeStampLine>* lines, ReadFault* fault);

// Reads the records of a PCLn.dat one after another: an int32 point count,
// then x, y, z as float32 per point, little-endian.
class PointStreamReader {
 public:
  PointStreamReader() = default;
  ~PointStreamReader();
  PointStreamReader(const PointStreamReader&) = delete;
  PointStreamReader& operator=(const PointStreamReader&) = delete;

  bool Open(const std::string& path, const std::string& fileName, ReadFault* fault);
  // Reads from an open stream of `size` bytes (the reader closes it).
  bool Open(std::FILE* file, std::uint64_t size, const std::string& fileName);

  // The next record's coordinates (x, y, z per point) into `xyz`. False at
  // the end of the file, and on a fault (then `fault->any` is set and the
  // reader stays at the faulty record).
  bool Next(std::vector<float>* xyz, ReadFault* fault);
  // Skips the next record's points; false as Next.
  bool Skip(std::uint32_t* count, ReadFault* fault);
  // Moves to a record start found before (from Offset()).
  bool Seek(std::uint64_t offset, long long recordIndex);

  std::uint64_t Offset() const { return offset_; }
  long long RecordIndex() const { return index_; }
  std::uint64_t Size() const { return size_; }

 private:
  bool ReadCount(std::uint32_t* count, ReadFault* fault);
  bool Fail(ReadFault* fault, const std::string& reason);

  std::FILE* file_ = nullptr;
  std::string name_;
  std::uint64_t size_ = 0;
  std::uint64_t offset_ = 0;
  long long index_ = 0;
  std::vector<unsigned char> buffer_;
};

}  // namespace kestrova
