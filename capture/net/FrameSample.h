// Depth frames as DDS samples: filling one from a sensor frame, and
// checking and decoding one that came from the network. A received sample
// is untrusted: every size is checked before its pixels are touched, and
// decoding writes only into the caller's one-frame buffer.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "DepthFrames.h"
#include "capture/NuiSensor.h"
#include "record/DepthFrameFile.h"

namespace kestrova::net {

// Row differences, then zstd: the codec of the take's depth files.
constexpr std::uint16_t kSampleCodec = kDepthCodecRowDeltaZstd;

class FrameSampleEncoder {
 public:
  // Fills `sample` with one frame of camera `camera` (1 to 4) of station
  // run `run`: its pixels, size and lens. The sample's strings are copied;
  // its pixels point into this encoder, valid until the next call.
  bool Fill(const std::string& station, std::uint64_t run, int camera, const std::string& serial,
            const NuiImageFrame& frame, const DepthFrameView& pixels,
            kestrova_net_DepthFrameSample* sample, std::string* error);

 private:
  DepthFrameEncoder encoder_;
  std::vector<std::uint16_t> packed_;  // a frame whose rows are padded, without the padding
  std::vector<char> compressed_;
};

enum class SampleFault {
  None,
  BadName,       // station or serial without its end within bounds
  BadCamera,     // camera number not 1 to 4
  BadSize,       // not 1 to 640 x 1 to 480
  BadLens,       // focal lengths not finite and positive, an axis not finite
  OtherFrames,   // of another size or lens than the station announced for the camera
  BadCodec,      // an unknown codec
  TooLarge,      // more compressed bytes than a frame can take
  WrongPixels,   // the compressed pixels do not declare one frame
  Damaged,       // zstd failed (a checksum, a truncation)
};
const char* SampleFaultText(SampleFault fault);

// Checks the sample's fields (names, camera, size, lens, codec).
SampleFault CheckFrameSample(const kestrova_net_DepthFrameSample& sample);

// The frames a sample says it holds (rows packed).
DepthFrameFormat SampleFormat(const kestrova_net_DepthFrameSample& sample);

// Checks `sample`, that it holds frames of `expected` (the camera's, as its
// station announced them), and decodes its pixels into `pixels` (room for
// expected.Pixels() values).
SampleFault DecodeFrameSample(const kestrova_net_DepthFrameSample& sample, const DepthFrameFormat& expected,
                              DepthPixelDecoder& decoder, std::uint16_t* pixels);

// Copies `text` into a bounded name field of a sample, cut at its capacity.
template <std::size_t N>
void SetSampleText(const std::string& text, char (&field)[N]) {
  const std::size_t length = text.size() < N - 1 ? text.size() : N - 1;
  text.copy(field, length);
  field[length] = '\0';
}

// A bounded C string of a sample as text ("" if it lacks its end).
std::string SampleText(const char* text, std::size_t capacity);

}  // namespace kestrova::net
