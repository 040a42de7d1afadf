#include "capture/DepthPgm.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "capture/DepthImage.h"
#include "record/TakeReader.h"

namespace kestrova {

namespace {

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// Reads one header number, skipping white space and comments.
bool HeaderNumber(std::FILE* file, long* value) {
  int c = std::fgetc(file);
  for (;;) {
    if (c == '#') {
      while (c != EOF && c != '\n') c = std::fgetc(file);
    } else if (c != EOF && std::isspace(c)) {
      c = std::fgetc(file);
    } else {
      break;
    }
  }
  if (c == EOF || !std::isdigit(c)) return false;
  long number = 0;
  while (c != EOF && std::isdigit(c)) {
    number = number * 10 + (c - '0');
    if (number > 100000) return false;
    c = std::fgetc(file);
  }
  // One white-space character ends the number (and, after maxval, the header).
  if (c == EOF || !std::isspace(c)) return false;
  *value = number;
  return true;
}

}  // namespace

bool ReadDepthPgm(const std::string& path, std::vector<std::uint16_t>& pixels, int* imageWidth,
                  int* imageHeight, std::string* error) {
  std::string reason;
  File file(OpenRegularStream(path, &reason));
  if (!file) {
    *error = path + ": " + reason;
    return false;
  }
  char magic[2];
  long width, height, maxval;
  if (std::fread(magic, 1, 2, file.get()) != 2 || magic[0] != 'P' || magic[1] != '5' ||
      !HeaderNumber(file.get(), &width) || !HeaderNumber(file.get(), &height) ||
      !HeaderNumber(file.get(), &maxval) || maxval < 1 || maxval > 65535) {
    *error = path + ": not a binary PGM (P5) file";
    return false;
  }
  // Millimetres need 16 bits: an 8-bit image holds no depth frame.
  if (maxval <= 255) {
    *error = path + ": an 8-bit PGM (maxval " + std::to_string(maxval) + "); depth frames are 16-bit";
    return false;
  }
  if (!IsDepthImageSize(width, height)) {
    *error = path + ": " + DepthImageSizeProblem(width, height);
    return false;
  }
  std::vector<unsigned char> data(static_cast<size_t>(width * height * 2));
  if (std::fread(data.data(), 1, data.size(), file.get()) != data.size()) {
    *error = path + ": file ends inside the pixel data";
    return false;
  }
  DepthImageToPixels(width, height, [&](long row, long column) {
    const size_t at = static_cast<size_t>(row) * width + static_cast<size_t>(column);
    return (unsigned{data[2 * at]} << 8) | data[2 * at + 1];  // big-endian samples
  }, pixels);
  *imageWidth = static_cast<int>(width);
  *imageHeight = static_cast<int>(height);
  return true;
}

bool WriteDepthPgm(const std::string& path, const std::vector<std::uint16_t>& depthMm, int width,
                   int height, std::string* error) {
  File file(std::fopen(path.c_str(), "wb"));
  if (!file) {
    *error = path + ": " + std::strerror(errno);
    return false;
  }
  std::fprintf(file.get(), "P5\n%d %d\n65535\n", width, height);
  std::vector<unsigned char> data(depthMm.size() * 2);
  for (size_t i = 0; i < depthMm.size(); ++i) {
    data[2 * i] = static_cast<unsigned char>(depthMm[i] >> 8);
    data[2 * i + 1] = static_cast<unsigned char>(depthMm[i] & 0xFF);
  }
  if (std::fwrite(data.data(), 1, data.size(), file.get()) != data.size() ||
      std::fflush(file.get()) != 0) {
    *error = path + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

}  // namespace kestrova
