#include "capture/net/FrameSample.h"

#include <cstring>

namespace kestrova::net {

namespace {

template <std::size_t N>
bool Terminated(const char (&field)[N]) {
  return std::memchr(field, '\0', N) != nullptr;
}

}  // namespace

static_assert(kestrova_net_MAX_COMPRESSED_BYTES >= 154200,
              "a sample must hold zstd's worst case for one 320 x 240 frame");

bool FrameSampleEncoder::Fill(const std::string& station, std::uint64_t run, int camera,
                              const std::string& serial,
                              const NuiImageFrame& frame, const std::uint16_t* pixels,
                              kestrova_net_DepthFrameSample* sample, std::string* error) {
  if (!encoder_.CompressPixels(pixels, kDepthWidth, kDepthHeight, &compressed_, error)) return false;
  SetSampleText(station, sample->station);
  SetSampleText(serial, sample->serial);
  sample->run = run;
  sample->camera = static_cast<std::uint16_t>(camera);
  sample->frame_number = frame.dwFrameNumber;
  sample->time_stamp = frame.liTimeStamp.QuadPart;
  sample->width = kDepthWidth;
  sample->height = kDepthHeight;
  sample->codec = kSampleCodec;
  sample->pixels._buffer = reinterpret_cast<std::uint8_t*>(compressed_.data());
  sample->pixels._length = static_cast<std::uint32_t>(compressed_.size());
  sample->pixels._maximum = sample->pixels._length;
  sample->pixels._release = false;
  return true;
}

const char* SampleFaultText(SampleFault fault) {
  switch (fault) {
    case SampleFault::None: return "no fault";
    case SampleFault::BadName: return "a name without its end";
    case SampleFault::BadCamera: return "a camera number outside 1 to 4";
    case SampleFault::BadSize: return "not a 320 x 240 frame";
    case SampleFault::BadCodec: return "an unknown codec";
    case SampleFault::TooLarge: return "more bytes than a frame can take";
    case SampleFault::WrongPixels: return "compressed pixels that do not hold one frame";
    case SampleFault::Damaged: return "damaged compressed pixels";
  }
  return "unknown fault";
}

SampleFault CheckFrameSample(const kestrova_net_DepthFrameSample& sample) {
  if (!Terminated(sample.station) || !Terminated(sample.serial)) return SampleFault::BadName;
  if (sample.camera < 1 || sample.camera > 4) return SampleFault::BadCamera;
  if (sample.width != kDepthWidth || sample.height != kDepthHeight) return SampleFault::BadSize;
  if (sample.codec != kSampleCodec) return SampleFault::BadCodec;
  if (sample.pixels._length > DepthPixelDecoder::MaxCompressedBytes(kDepthPixels))
    return SampleFault::TooLarge;
  if (sample.pixels._length > 0 && sample.pixels._buffer == nullptr) return SampleFault::WrongPixels;
  return SampleFault::None;
}

SampleFault DecodeFrameSample(const kestrova_net_DepthFrameSample& sample,
                              DepthPixelDecoder& decoder, std::uint16_t* pixels) {
  SampleFault fault = CheckFrameSample(sample);
  if (fault != SampleFault::None) return fault;
  switch (decoder.Decode(sample.pixels._buffer, sample.pixels._length, kDepthWidth, kDepthHeight,
                         pixels, nullptr)) {
    case DepthPixelDecoder::Result::Ok: return SampleFault::None;
    case DepthPixelDecoder::Result::WrongSize: return SampleFault::WrongPixels;
    case DepthPixelDecoder::Result::Damaged: return SampleFault::Damaged;
  }
  return SampleFault::Damaged;
}

std::string SampleText(const char* text, std::size_t capacity) {
  const void* end = std::memchr(text, '\0', capacity);
  return end ? std::string(text, static_cast<const char*>(end)) : std::string();
}

}  // namespace kestrova::net
