#include "capture/net/FrameSample.h"

#include <cstring>

namespace kestrova::net {

namespace {

template <std::size_t N>
bool Terminated(const char (&field)[N]) {
  return std::memchr(field, '\0', N) != nullptr;
}

}  // namespace

static_assert(kestrova_net_MAX_COMPRESSED_BYTES >= 616800,
              "a sample must hold zstd's worst case for one frame of the largest size");

bool FrameSampleEncoder::Fill(const std::string& station, std::uint64_t run, int camera,
                              const std::string& serial, const NuiImageFrame& frame,
                              const DepthFrameView& view, kestrova_net_DepthFrameSample* sample,
                              std::string* error) {
  const DepthFrameFormat& format = view.format;
  const std::string problem = DepthFormatProblem(format);
  if (!problem.empty()) {
    *error = "cannot send " + problem;
    return false;
  }
  const std::uint16_t* pixels = view.pixels;
  if (format.rowStride != format.width) {
    packed_.resize(static_cast<std::size_t>(format.Pixels()));
    for (int row = 0; row < format.height; ++row)
      std::memcpy(packed_.data() + static_cast<std::size_t>(row) * format.width,
                  view.pixels + static_cast<std::size_t>(row) * format.rowStride,
                  static_cast<std::size_t>(format.width) * 2);
    pixels = packed_.data();
  }
  if (!encoder_.CompressPixels(pixels, format.width, format.height, &compressed_, error)) return false;
  SetSampleText(station, sample->station);
  SetSampleText(serial, sample->serial);
  sample->run = run;
  sample->camera = static_cast<std::uint16_t>(camera);
  sample->frame_number = frame.dwFrameNumber;
  sample->time_stamp = frame.liTimeStamp.QuadPart;
  sample->width = static_cast<std::uint16_t>(format.width);
  sample->height = static_cast<std::uint16_t>(format.height);
  sample->fx = format.lens.fx;
  sample->fy = format.lens.fy;
  sample->cx = format.lens.cx;
  sample->cy = format.lens.cy;
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
    case SampleFault::BadSize: return "a frame larger than 640 x 480, or empty";
    case SampleFault::BadLens: return "a lens without finite, positive focal lengths";
    case SampleFault::OtherFrames: return "a frame of another size or lens than its station announced";
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
  if (sample.width < 1 || sample.width > kMaxDepthWidth || sample.height < 1 || sample.height > kMaxDepthHeight)
    return SampleFault::BadSize;
  if (!DepthFormatProblem(SampleFormat(sample)).empty()) return SampleFault::BadLens;
  if (sample.codec != kSampleCodec) return SampleFault::BadCodec;
  if (sample.pixels._length > DepthPixelDecoder::MaxCompressedBytes(static_cast<std::size_t>(sample.width) * sample.height))
    return SampleFault::TooLarge;
  if (sample.pixels._length > 0 && sample.pixels._buffer == nullptr) return SampleFault::WrongPixels;
  return SampleFault::None;
}

DepthFrameFormat SampleFormat(const kestrova_net_DepthFrameSample& sample) {
  return PackedFormat(sample.width, sample.height, {sample.fx, sample.fy, sample.cx, sample.cy});
}

SampleFault DecodeFrameSample(const kestrova_net_DepthFrameSample& sample, const DepthFrameFormat& expected,
                              DepthPixelDecoder& decoder, std::uint16_t* pixels) {
  SampleFault fault = CheckFrameSample(sample);
  if (fault != SampleFault::None) return fault;
  if (!SameFrames(SampleFormat(sample), expected)) return SampleFault::OtherFrames;
  switch (decoder.Decode(sample.pixels._buffer, sample.pixels._length, sample.width, sample.height, pixels,
                         nullptr)) {
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
