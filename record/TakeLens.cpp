#include "record/TakeLens.h"

#include <sys/stat.h>

#include <charconv>
#include <cmath>
#include <map>
#include <sstream>
#include <vector>

#include "record/TakeLayout.h"
#include "record/TakePaths.h"

namespace kestrova {

namespace {

constexpr std::size_t kMaxLensLineBytes = 1024;
const char* const kLensNames[] = {"width", "height", "fx", "fy", "cx", "cy"};

std::vector<std::string> Words(const std::string& line) {
  std::vector<std::string> words;
  std::istringstream in(line);
  std::string word;
  while (in >> word) words.push_back(word);
  return words;
}

bool ParseNumber(const std::string& text, double* value) {
  const char* end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, *value);
  return error == std::errc() && stop == end && std::isfinite(*value);
}

// The camera line's words after "camera": its number, then names and values.
std::string ParseCameraLine(const std::vector<std::string>& words, int* slot, DepthFrameFormat* format) {
  double number = 0;
  if (words.size() < 2 || !ParseNumber(words[1], &number) || number < 1 || number > kCameraCount ||
      number != std::floor(number))
    return "a camera line must name a camera 1 to 4";
  if (words.size() % 2 != 0) return "a name without its value";
  std::map<std::string, double> values;
  std::map<std::string, std::string> texts;  // as written, for messages
  for (std::size_t i = 2; i + 1 < words.size(); i += 2) {
    double value = 0;
    if (!ParseNumber(words[i + 1], &value)) return words[i] + " is not a number: '" + words[i + 1] + "'";
    if (!values.emplace(words[i], value).second) return words[i] + " is given twice";
    texts[words[i]] = words[i + 1];
  }
  for (const char* name : kLensNames)
    if (!values.count(name)) return "camera " + words[1] + " has no " + name;
  const double width = values["width"], height = values["height"];
  if (width != std::floor(width) || height != std::floor(height) || width < 1 || height < 1 ||
      width > kMaxDepthWidth || height > kMaxDepthHeight)
    return "camera " + words[1] + ": frames of " + texts["width"] + " x " + texts["height"] +
           " pixels are not ones a sensor delivers";
  *format = PackedFormat(static_cast<int>(width), static_cast<int>(height),
                         {values["fx"], values["fy"], values["cx"], values["cy"]});
  const std::string problem = DepthFormatProblem(*format);
  if (!problem.empty()) return "camera " + words[1] + ": " + problem;
  *slot = static_cast<int>(number) - 1;
  return std::string();
}

}  // namespace

std::string ExactNumberText(double value) {
  char text[64];
  const auto [end, error] = std::to_chars(text, text + sizeof text, value);
  return error == std::errc() ? std::string(text, end) : std::string("nan");
}

std::string FormatTakeLens(const std::array<bool, kCameraCount>& cameras, const CameraFormats& formats) {
  std::string text = kTakeLensHeader;
  for (int slot = 0; slot < kCameraCount; ++slot) {
    if (!cameras[slot]) continue;
    const DepthFrameFormat& f = formats[slot];
    text += "camera " + std::to_string(slot + 1) + " width " + std::to_string(f.width) + " height " +
            std::to_string(f.height) + " fx " + ExactNumberText(f.lens.fx) + " fy " + ExactNumberText(f.lens.fy) +
            " cx " + ExactNumberText(f.lens.cx) + " cy " + ExactNumberText(f.lens.cy) + "\r\n";
  }
  return text;
}

bool ParseTakeLens(const std::string& text, TakeLens* lens, ReadFault* fault) {
  *lens = TakeLens();
  lens->present = true;
  std::size_t start = 0;
  for (long long index = 0; start < text.size(); ++index) {
    std::size_t end = text.find('\n', start);
    auto fail = [&](const std::string& reason) {
      *fault = {true, kTakeLensFile, start, index, reason};
      return false;
    };
    if (end == std::string::npos) return fail("the last line is cut short (no line end)");
    std::string line = text.substr(start, end - start);
    if (line.size() > kMaxLensLineBytes) return fail("a line longer than a lens file has");
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const std::vector<std::string> words = Words(line);
    if (!words.empty() && words[0] == "camera") {
      int slot = 0;
      DepthFrameFormat format;
      const std::string problem = ParseCameraLine(words, &slot, &format);
      if (!problem.empty()) return fail(problem);
      if (lens->listed[slot]) return fail("camera " + std::to_string(slot + 1) + " is given twice");
      lens->listed[slot] = true;
      lens->formats[slot] = format;
    }
    // Comments, blank lines and keys of later versions are passed over.
    start = end + 1;
  }
  return true;
}

bool ReadTakeLens(const std::string& dir, TakeLens* lens, ReadFault* fault) {
  *lens = TakeLens();
  *fault = ReadFault();
  std::string path, error;
  if (!ComposeTakePath(dir, kTakeLensFile, &path, &error)) {
    *fault = {true, kTakeLensFile, 0, -1, error};
    return false;
  }
  struct stat info;
  if (::lstat(path.c_str(), &info) != 0) return true;  // an older take: the default frames
  FileBytes bytes;
  if (!bytes.Open(path, kTakeLensFile, fault)) return false;
  if (bytes.Size() > kMaxLensFileBytes) {
    *fault = {true, kTakeLensFile, 0, -1, "larger than a lens file (64 KiB)"};
    return false;
  }
  std::string text(static_cast<std::size_t>(bytes.Size()), '\0');
  if (bytes.Read(text.data(), text.size()) != text.size()) {
    *fault = {true, kTakeLensFile, 0, -1, "cannot be read"};
    return false;
  }
  return ParseTakeLens(text, lens, fault);
}

}  // namespace kestrova
