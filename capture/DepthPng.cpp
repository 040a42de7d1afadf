#include "capture/DepthPng.h"

#include <png.h>

#include <cerrno>
#include <csetjmp>
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

// libpng reports errors by long jump; the message is kept for the caller.
void OnPngError(png_structp png, png_const_charp message) {
  auto* text = static_cast<std::string*>(png_get_error_ptr(png));
  *text = message;
  png_longjmp(png, 1);
}
void OnPngWarning(png_structp, png_const_charp) {}

}  // namespace

bool ReadDepthPng(const std::string& path, std::vector<std::uint16_t>& pixels, int* imageWidth,
                  int* imageHeight, std::string* error) {
  std::string reason;
  File file(OpenRegularStream(path, &reason));
  if (!file) {
    *error = path + ": " + reason;
    return false;
  }
  unsigned char signature[8];
  if (std::fread(signature, 1, 8, file.get()) != 8 || png_sig_cmp(signature, 0, 8) != 0) {
    *error = path + ": not a PNG file";
    return false;
  }
  std::string why;
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &why, OnPngError, OnPngWarning);
  png_infop info = png ? png_create_info_struct(png) : nullptr;
  if (!info) {
    png_destroy_read_struct(&png, nullptr, nullptr);
    *error = path + ": out of memory";
    return false;
  }
  std::vector<unsigned char> data;  // declared before the jump point: freed on every path
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_read_struct(&png, &info, nullptr);
    *error = path + ": damaged PNG: " + why;
    return false;
  }
  // Larger images than a frame are named by their size below; far larger ones are not read at all.
  png_set_user_limits(png, 4 * kMaxDepthWidth, 4 * kMaxDepthHeight);
  png_init_io(png, file.get());
  png_set_sig_bytes(png, 8);
  png_read_info(png, info);
  const png_uint_32 width = png_get_image_width(png, info), height = png_get_image_height(png, info);
  std::string problem;
  if (png_get_color_type(png, info) != PNG_COLOR_TYPE_GRAY || png_get_bit_depth(png, info) != 16)
    problem = "not a 16-bit greyscale PNG";
  else if (png_get_interlace_type(png, info) != PNG_INTERLACE_NONE)
    problem = "an interlaced PNG";
  else if (!IsDepthImageSize(static_cast<long>(width), static_cast<long>(height)))
    problem = DepthImageSizeProblem(static_cast<long>(width), static_cast<long>(height));
  if (!problem.empty()) {
    png_destroy_read_struct(&png, &info, nullptr);
    *error = path + ": " + problem;
    return false;
  }
  data.resize(static_cast<size_t>(width) * height * 2);
  for (png_uint_32 row = 0; row < height; ++row)
    png_read_row(png, data.data() + static_cast<size_t>(row) * width * 2, nullptr);
  png_destroy_read_struct(&png, &info, nullptr);
  DepthImageToPixels(static_cast<long>(width), static_cast<long>(height), [&](long row, long column) {
    const size_t at = static_cast<size_t>(row) * width + static_cast<size_t>(column);
    return (unsigned{data[2 * at]} << 8) | data[2 * at + 1];  // PNG samples are big-endian
  }, pixels);
  *imageWidth = static_cast<int>(width);
  *imageHeight = static_cast<int>(height);
  return true;
}

bool WriteDepthPng(const std::string& path, const std::vector<std::uint16_t>& depthMm, int width,
                   int height, std::string* error) {
  File file(std::fopen(path.c_str(), "wb"));
  if (!file) {
    *error = path + ": " + std::strerror(errno);
    return false;
  }
  std::string why;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &why, OnPngError, OnPngWarning);
  png_infop info = png ? png_create_info_struct(png) : nullptr;
  if (!info) {
    png_destroy_write_struct(&png, nullptr);
    *error = path + ": out of memory";
    return false;
  }
  std::vector<unsigned char> row(static_cast<size_t>(width) * 2);
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    *error = path + ": " + (errno ? std::strerror(errno) : why);
    return false;
  }
  png_init_io(png, file.get());
  png_set_IHDR(png, info, width, height, 16, PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_set_compression_level(png, 3);
  png_write_info(png, info);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const std::uint16_t depth = depthMm[static_cast<size_t>(y) * width + x];
      row[2 * x] = static_cast<unsigned char>(depth >> 8);
      row[2 * x + 1] = static_cast<unsigned char>(depth & 0xFF);
    }
    png_write_row(png, row.data());
  }
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  if (std::fflush(file.get()) != 0 || std::ferror(file.get())) {
    *error = path + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

}  // namespace kestrova
