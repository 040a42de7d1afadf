// DEPTHn.dat: a camera's raw depth frames, kept losslessly beside a take's
// point stream so the take can be processed again with other settings.
//
// Little-endian throughout. A 16-byte header:
//   bytes 0-7    "KVADEPTH"
//   bytes 8-9    version, uint16 (1)
//   bytes 10-11  width in pixels, uint16 (the camera's, as LENS.txt gives it)
//   bytes 12-13  height in pixels, uint16
//   bytes 14-15  codec, uint16 (1: see below)
// then one record per frame the camera's grab took, each self-delimiting:
//   int32   the take's frame number (the first column of TSn.txt)
//   int64   the sensor's time stamp, ms
//   uint32  n, the bytes of the compressed pixels that follow
//   n bytes one zstd frame (with its content checksum) holding width x height
//           uint16 values, row after row: per row the first pixel as it is,
//           then each pixel minus its left neighbour, modulo 2^16.
// The pixels are the sensor's own 16 bits (depth in bits 3 to 15 and the
// low bits), so the conversion can be run again exactly.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "record/TakeReader.h"
#include "settings/DepthFrameFormat.h"

namespace kestrova {

constexpr std::uint16_t kDepthFileVersion = 1;
constexpr std::uint16_t kDepthCodecRowDeltaZstd = 1;
constexpr std::size_t kDepthFileHeaderBytes = 16;
constexpr std::size_t kDepthRecordHeaderBytes = 16;
struct DepthFileHeader {
  std::uint16_t version = kDepthFileVersion;
  std::uint16_t width = 0;
  std::uint16_t height = 0;
  std::uint16_t codec = kDepthCodecRowDeltaZstd;
};

// The 16 header bytes of a file of `width` x `height` frames.
std::string DepthFileHeaderBytes(int width, int height);

// One decoded record.
struct DepthFrameRecord {
  std::int32_t frame = 0;
  std::int64_t stamp = 0;
  std::uint32_t compressedBytes = 0;
  std::vector<std::uint16_t> pixels;  // width x height, row after row
};

// Encodes records; keeps its compression context and buffers between
// frames, so one encoder per camera does no allocation per frame.
class DepthFrameEncoder {
 public:
  explicit DepthFrameEncoder(int level = 1);
  ~DepthFrameEncoder();
  DepthFrameEncoder(const DepthFrameEncoder&) = delete;
  DepthFrameEncoder& operator=(const DepthFrameEncoder&) = delete;

  // The whole record (header and compressed pixels) into `out`, replacing
  // its content. False with the reason if compression failed.
  bool Encode(std::int32_t frame, std::int64_t stamp, const std::uint16_t* pixels, int width,
              int height, std::vector<char>* out, std::string* error);
  // The compressed pixels alone (one zstd frame, as in a record) into `out`.
  bool CompressPixels(const std::uint16_t* pixels, int width, int height, std::vector<char>* out,
                      std::string* error);

 private:
  // Compresses into `out` after its first `offset` bytes; returns the
  // compressed size, 0 on failure.
  std::size_t CompressAt(const std::uint16_t* pixels, int width, int height, std::size_t offset,
                         std::vector<char>* out, std::string* error);

  void* context_;
  int level_;
  std::vector<std::uint16_t> deltas_;
};

// Decodes compressed pixels of codec 1 from an untrusted source: the zstd
// frame must declare exactly width x height values, and the decoder's
// window is limited to what the largest frame needs.
class DepthPixelDecoder {
 public:
  DepthPixelDecoder();
  ~DepthPixelDecoder();
  DepthPixelDecoder(const DepthPixelDecoder&) = delete;
  DepthPixelDecoder& operator=(const DepthPixelDecoder&) = delete;

  // The most compressed bytes a frame of `pixels` values may take.
  static std::size_t MaxCompressedBytes(std::size_t pixels);

  enum class Result { Ok, WrongSize, Damaged };
  // Decodes into `pixels` (width x height values); on Damaged `reason` says why.
  Result Decode(const void* compressed, std::size_t bytes, int width, int height,
                std::uint16_t* pixels, std::string* reason);

 private:
  void* context_;
};

// Reads the records of a DEPTHn.dat one after another, as the other take
// readers do: regular files only, forward through a buffer. Every file is
// untrusted: a record's sizes are checked against the header and the bytes
// left before anything is allocated, so memory stays within one frame. A
// record must hold compressed pixels and a frame number above the one
// before; a record of zero bytes is the zero-filled tail a crash can leave,
// a fault that ends the file (cut short) like a record cut off.
class DepthFrameReader {
 public:
  DepthFrameReader();
  ~DepthFrameReader();
  DepthFrameReader(const DepthFrameReader&) = delete;
  DepthFrameReader& operator=(const DepthFrameReader&) = delete;

  // Opens the file and checks its header.
  bool Open(const std::string& path, const std::string& fileName, ReadFault* fault);
  // Takes over an open descriptor of a regular file, and checks its header.
  bool Adopt(int fd, const std::string& fileName, ReadFault* fault);

  const DepthFileHeader& Header() const { return header_; }

  // The next record, pixels decoded. False at the end of the file, and on a
  // fault (then `fault->any` is set and the reader stays at that record).
  bool Next(DepthFrameRecord* record, ReadFault* fault);
  // The next record's frame, stamp and size, its pixels skipped unread.
  bool Skip(DepthFrameRecord* record, ReadFault* fault);
  // Moves to a record start found before (from Offset()); `previousFrame`
  // is the frame number of the record before it (-1 for the first).
  bool Seek(std::uint64_t offset, long long recordIndex, std::int32_t previousFrame);

  std::uint64_t Offset() const { return offset_; }
  long long RecordIndex() const { return index_; }

 private:
  bool ReadHeader(ReadFault* fault);
  bool ReadRecordHeader(DepthFrameRecord* record, ReadFault* fault);
  bool Fail(ReadFault* fault, const std::string& reason);
  bool CutShort(ReadFault* fault, const std::string& reason);
  bool Rewind(ReadFault* fault, const std::string& reason);
  void Advance(const DepthFrameRecord& record);

  FileBytes bytes_;
  std::string name_;
  std::uint64_t offset_ = 0;  // where the current record starts
  long long index_ = 0;
  std::int64_t previousFrame_ = -1;
  DepthFileHeader header_;
  std::vector<char> compressed_;
  DepthPixelDecoder decoder_;
};

// Undoes the row differences of codec 1 in place.
void UndoRowDeltas(std::uint16_t* values, int width, int height);

}  // namespace kestrova
