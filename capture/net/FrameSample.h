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
  // Fills `sample` with one 320 x 240 frame of camera `camera` (1 to 4) of
  // station run `run`. The sample's strings are copied; its pixels point
  // into this encoder, valid until the next call.
  bool Fill(const std::string& station, std::uint64_t run, int camera, const std::string& serial,
            const NuiImageFrame& frame, const std::uint16_t* pixels,
            kestrova_net_DepthFrameSample* sample, std::string* error);

 private:
  DepthFrameEncoder encoder_;
  std::vector<char> compressed_;
};

enum class SampleFault {
  None,
  BadName,       // station or serial without its end within bounds
  BadCamera,     // camera number not 1 to 4
  BadSize,       // not 320 x 240
  BadCodec,      // an unknown codec
  TooLarge,      // more compressed bytes than a frame can take
  WrongPixels,   // the compressed pixels do not declare one frame
  Damaged,       // zstd failed (a checksum, a truncation)
};
const char* SampleFaultText(SampleFault fault);

// Checks the sample's fields (names, camera, size, codec).
SampleFault CheckFrameSample(const kestrova_net_DepthFrameSample& sample);

// Checks `sample` and decodes its pixels into `pixels` (kDepthPixels values).
SampleFault DecodeFrameSample(const kestrova_net_DepthFrameSample& sample,
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
