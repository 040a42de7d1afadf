#include "record/DepthFrameFile.h"

#include <zstd.h>

#include <algorithm>
#include <cstring>

namespace kestrova {

namespace {

constexpr char kMagic[8] = {'K', 'V', 'A', 'D', 'E', 'P', 'T', 'H'};

template <typename T>
void PutLittleEndian(T value, char* at) {
  auto bits = static_cast<std::uint64_t>(value);
  for (size_t i = 0; i < sizeof(T); ++i) at[i] = static_cast<char>((bits >> (8 * i)) & 0xFF);
}

template <typename T>
T GetLittleEndian(const unsigned char* at) {
  std::uint64_t bits = 0;
  for (size_t i = 0; i < sizeof(T); ++i) bits |= static_cast<std::uint64_t>(at[i]) << (8 * i);
  return static_cast<T>(bits);
}

ZSTD_CCtx* CompressionContext(void* context) { return static_cast<ZSTD_CCtx*>(context); }
ZSTD_DCtx* DecompressionContext(void* context) { return static_cast<ZSTD_DCtx*>(context); }

std::size_t FrameBytes(const DepthFileHeader& header) {
  return static_cast<std::size_t>(header.width) * header.height * 2;
}

}  // namespace

std::string DepthFileHeaderBytes(int width, int height) {
  char bytes[kDepthFileHeaderBytes];
  std::memcpy(bytes, kMagic, sizeof kMagic);
  PutLittleEndian<std::uint16_t>(kDepthFileVersion, bytes + 8);
  PutLittleEndian<std::uint16_t>(static_cast<std::uint16_t>(width), bytes + 10);
  PutLittleEndian<std::uint16_t>(static_cast<std::uint16_t>(height), bytes + 12);
  PutLittleEndian<std::uint16_t>(kDepthCodecRowDeltaZstd, bytes + 14);
  return std::string(bytes, sizeof bytes);
}

void UndoRowDeltas(std::uint16_t* values, int width, int height) {
  for (int row = 0; row < height; ++row) {
    std::uint16_t* line = values + static_cast<std::size_t>(row) * width;
    for (int column = 1; column < width; ++column)
      line[column] = static_cast<std::uint16_t>(line[column] + line[column - 1]);
  }
}

// --- writing

DepthFrameEncoder::DepthFrameEncoder(int level) : context_(ZSTD_createCCtx()), level_(level) {
  ZSTD_CCtx_setParameter(CompressionContext(context_), ZSTD_c_compressionLevel, level_);
  ZSTD_CCtx_setParameter(CompressionContext(context_), ZSTD_c_checksumFlag, 1);
}

DepthFrameEncoder::~DepthFrameEncoder() { ZSTD_freeCCtx(CompressionContext(context_)); }

bool DepthFrameEncoder::Encode(std::int32_t frame, std::int64_t stamp, const std::uint16_t* pixels,
                               int width, int height, std::vector<char>* out, std::string* error) {
  const std::size_t size = CompressAt(pixels, width, height, kDepthRecordHeaderBytes, out, error);
  if (size == 0) return false;
  PutLittleEndian<std::int32_t>(frame, out->data());
  PutLittleEndian<std::int64_t>(stamp, out->data() + 4);
  PutLittleEndian<std::uint32_t>(static_cast<std::uint32_t>(size), out->data() + 12);
  return true;
}

bool DepthFrameEncoder::CompressPixels(const std::uint16_t* pixels, int width, int height,
                                       std::vector<char>* out, std::string* error) {
  return CompressAt(pixels, width, height, 0, out, error) != 0;
}

std::size_t DepthFrameEncoder::CompressAt(const std::uint16_t* pixels, int width, int height,
                                          std::size_t offset, std::vector<char>* out,
                                          std::string* error) {
  const std::size_t count = static_cast<std::size_t>(width) * height;
  deltas_.resize(count);
  for (int row = 0; row < height; ++row) {
    const std::uint16_t* in = pixels + static_cast<std::size_t>(row) * width;
    std::uint16_t* delta = deltas_.data() + static_cast<std::size_t>(row) * width;
    delta[0] = in[0];
    for (int column = 1; column < width; ++column)
      delta[column] = static_cast<std::uint16_t>(in[column] - in[column - 1]);
  }
  // The values are stored little-endian, as they lie in memory here.
  static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "depth frames are stored little-endian");
  const std::size_t bound = ZSTD_compressBound(count * 2);
  out->resize(offset + bound);
  const std::size_t size = ZSTD_compress2(CompressionContext(context_), out->data() + offset, bound,
                                          deltas_.data(), count * 2);
  if (ZSTD_isError(size)) {
    if (error) *error = std::string("depth frame compression failed: ") + ZSTD_getErrorName(size);
    return 0;
  }
  out->resize(offset + size);
  return size;
}

// --- decoding

DepthPixelDecoder::DepthPixelDecoder() : context_(ZSTD_createDCtx()) {
  // A hostile frame may ask for a large window; one frame of the largest
  // size (614 400 bytes) needs 2^20 at most.
  ZSTD_DCtx_setParameter(DecompressionContext(context_), ZSTD_d_windowLogMax, 20);
}

DepthPixelDecoder::~DepthPixelDecoder() { ZSTD_freeDCtx(DecompressionContext(context_)); }

std::size_t DepthPixelDecoder::MaxCompressedBytes(std::size_t pixels) {
  return ZSTD_compressBound(pixels * 2);
}

DepthPixelDecoder::Result DepthPixelDecoder::Decode(const void* compressed, std::size_t bytes,
                                                    int width, int height, std::uint16_t* pixels,
                                                    std::string* reason) {
  const std::size_t expected = static_cast<std::size_t>(width) * height * 2;
  if (ZSTD_getFrameContentSize(compressed, bytes) != expected) return Result::WrongSize;
  const std::size_t size =
      ZSTD_decompressDCtx(DecompressionContext(context_), pixels, expected, compressed, bytes);
  if (ZSTD_isError(size) || size != expected) {
    if (reason) *reason = ZSTD_isError(size) ? ZSTD_getErrorName(size) : "short frame";
    return Result::Damaged;
  }
  UndoRowDeltas(pixels, width, height);
  return Result::Ok;
}

// --- reading

DepthFrameReader::DepthFrameReader() = default;
DepthFrameReader::~DepthFrameReader() = default;

bool DepthFrameReader::Open(const std::string& path, const std::string& fileName, ReadFault* fault) {
  name_ = fileName;
  offset_ = 0;
  index_ = -1;
  previousFrame_ = -1;
  return bytes_.Open(path, fileName, fault) && ReadHeader(fault);
}

bool DepthFrameReader::Adopt(int fd, const std::string& fileName, ReadFault* fault) {
  name_ = fileName;
  offset_ = 0;
  index_ = -1;
  previousFrame_ = -1;
  return bytes_.Adopt(fd, fileName, fault) && ReadHeader(fault);
}

bool DepthFrameReader::Fail(ReadFault* fault, const std::string& reason) {
  *fault = {true, name_, offset_, index_, reason};
  return false;
}

bool DepthFrameReader::CutShort(ReadFault* fault, const std::string& reason) {
  Fail(fault, reason);
  fault->cutShort = true;
  return false;
}

bool DepthFrameReader::Rewind(ReadFault* fault, const std::string& reason) {
  bytes_.SeekTo(offset_);
  return Fail(fault, reason);
}

bool DepthFrameReader::ReadHeader(ReadFault* fault) {
  unsigned char bytes[kDepthFileHeaderBytes];
  if (bytes_.Read(bytes, sizeof bytes) != sizeof bytes)
    return Fail(fault, "no depth-frame header: the file is shorter than 16 bytes");
  if (std::memcmp(bytes, kMagic, sizeof kMagic) != 0)
    return Fail(fault, "not a depth-frame file (no KVADEPTH at its start)");
  header_.version = GetLittleEndian<std::uint16_t>(bytes + 8);
  header_.width = GetLittleEndian<std::uint16_t>(bytes + 10);
  header_.height = GetLittleEndian<std::uint16_t>(bytes + 12);
  header_.codec = GetLittleEndian<std::uint16_t>(bytes + 14);
  if (header_.version != kDepthFileVersion)
    return Fail(fault, "depth-frame file version " + std::to_string(header_.version) +
                           " (this program reads version 1)");
  if (header_.codec != kDepthCodecRowDeltaZstd)
    return Fail(fault, "unknown depth-frame codec " + std::to_string(header_.codec));
  if (header_.width == 0 || header_.height == 0 || header_.width > kMaxDepthWidth ||
      header_.height > kMaxDepthHeight)
    return Fail(fault, "frame size " + std::to_string(header_.width) + " x " +
                           std::to_string(header_.height) + " is not one a sensor delivers");
  offset_ = kDepthFileHeaderBytes;
  index_ = 0;
  return true;
}

bool DepthFrameReader::ReadRecordHeader(DepthFrameRecord* record, ReadFault* fault) {
  if (!bytes_.IsOpen() || index_ < 0) return Fail(fault, "not open");
  if (offset_ == bytes_.Size()) return false;  // the end, exactly at a record boundary
  const std::uint64_t left = bytes_.Size() - offset_;
  if (left < kDepthRecordHeaderBytes)
    return CutShort(fault, "record cut short: " + std::to_string(left) + " bytes after the last whole record");
  unsigned char bytes[kDepthRecordHeaderBytes];
  if (bytes_.Read(bytes, sizeof bytes) != sizeof bytes) return Rewind(fault, "read error");
  if (std::all_of(bytes, bytes + sizeof bytes, [](unsigned char b) { return b == 0; })) {
    Rewind(fault, "zero bytes where a record should begin: the file's tail is zero-filled, as a crash can leave it");
    fault->cutShort = true;
    return false;
  }
  record->frame = GetLittleEndian<std::int32_t>(bytes);
  record->stamp = GetLittleEndian<std::int64_t>(bytes + 4);
  record->compressedBytes = GetLittleEndian<std::uint32_t>(bytes + 12);
  if (record->frame < 0)
    return Rewind(fault, "negative frame number " + std::to_string(record->frame));
  if (record->frame <= previousFrame_)
    return Rewind(fault, "frame number " + std::to_string(record->frame) + " does not rise after " +
                             std::to_string(previousFrame_));
  if (record->compressedBytes == 0) return Rewind(fault, "an empty record: no compressed pixels");
  if (record->compressedBytes > DepthPixelDecoder::MaxCompressedBytes(FrameBytes(header_) / 2))
    return Rewind(fault, "compressed size " + std::to_string(record->compressedBytes) +
                             " is more than a frame can take");
  if (record->compressedBytes > left - kDepthRecordHeaderBytes) {
    Rewind(fault, "record cut short: its pixels need " + std::to_string(record->compressedBytes) +
                      " bytes, " + std::to_string(left - kDepthRecordHeaderBytes) + " remain");
    fault->cutShort = true;
    return false;
  }
  return true;
}

bool DepthFrameReader::Next(DepthFrameRecord* record, ReadFault* fault) {
  if (!ReadRecordHeader(record, fault)) return false;
  compressed_.resize(record->compressedBytes);
  if (bytes_.Read(compressed_.data(), compressed_.size()) != compressed_.size())
    return Rewind(fault, "read error");
  const std::size_t expected = FrameBytes(header_);
  record->pixels.resize(expected / 2);
  std::string reason;
  switch (decoder_.Decode(compressed_.data(), compressed_.size(), header_.width, header_.height,
                          record->pixels.data(), &reason)) {
    case DepthPixelDecoder::Result::Ok:
      break;
    case DepthPixelDecoder::Result::WrongSize:
      return Rewind(fault, "the compressed pixels do not hold one " + std::to_string(header_.width) +
                               " x " + std::to_string(header_.height) + " frame");
    case DepthPixelDecoder::Result::Damaged:
      return Rewind(fault, "the compressed pixels are damaged: " + reason);
  }
  Advance(*record);
  return true;
}

void DepthFrameReader::Advance(const DepthFrameRecord& record) {
  offset_ += kDepthRecordHeaderBytes + record.compressedBytes;
  previousFrame_ = record.frame;
  ++index_;
}

bool DepthFrameReader::Skip(DepthFrameRecord* record, ReadFault* fault) {
  if (!ReadRecordHeader(record, fault)) return false;
  if (!bytes_.Skip(record->compressedBytes)) return Rewind(fault, "read error");
  Advance(*record);
  return true;
}

bool DepthFrameReader::Seek(std::uint64_t offset, long long recordIndex, std::int32_t previousFrame) {
  if (!bytes_.IsOpen() || offset > bytes_.Size() || offset < kDepthFileHeaderBytes) return false;
  if (!bytes_.SeekTo(offset)) return false;
  offset_ = offset;
  index_ = recordIndex;
  previousFrame_ = previousFrame;
  return true;
}

}  // namespace kestrova
