#include "record/TakeReader.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

namespace kestrova {

namespace {

std::uint32_t LittleEndian32(const unsigned char* bytes) {
  return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
         static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

// Reads one decimal integer at `at`, skipping blanks before it.
bool ReadInteger(const std::string& text, size_t end, size_t* at, long long* value) {
  while (*at < end && (text[*at] == ' ' || text[*at] == '\t')) ++*at;
  bool negative = false;
  if (*at < end && (text[*at] == '-' || text[*at] == '+')) negative = text[(*at)++] == '-';
  size_t digits = 0;
  long long number = 0;
  while (*at < end && text[*at] >= '0' && text[*at] <= '9') {
    if (++digits > 12) return false;
    number = number * 10 + (text[(*at)++] - '0');
  }
  if (digits == 0) return false;
  *value = negative ? -number : number;
  return true;
}

}  // namespace

std::string ReadFault::Text() const {
  std::ostringstream text;
  text << file << ": ";
  if (item >= 0) text << (file.find(".txt") != std::string::npos ? "line " : "record ") << item << " at ";
  text << "byte " << offset << ": " << reason;
  return text.str();
}

bool ParseTimeStamps(const std::string& text, const std::string& fileName,
                     std::vector<TimeStampLine>* lines, ReadFault* fault) {
  size_t start = 0;
  while (start < text.size()) {
    const size_t newline = text.find('\n', start);
    auto fail = [&](const std::string& reason) {
      *fault = {true, fileName, start, static_cast<long long>(lines->size()), reason};
      return false;
    };
    if (newline == std::string::npos) return fail("the last line is cut short (no line end)");
    size_t end = newline;
    if (end > start && text[end - 1] == '\r') --end;
    size_t at = start;
    long long frame, high, low;
    if (!ReadInteger(text, end, &at, &frame) || !ReadInteger(text, end, &at, &high) ||
        !ReadInteger(text, end, &at, &low))
      return fail("not a line of three whole numbers");
    while (at < end && (text[at] == ' ' || text[at] == '\t')) ++at;
    if (at != end) return fail("more than three numbers on the line");
    const long long int32Min = -2147483648LL, int32Max = 2147483647LL;
    if (frame < 0 || frame > int32Max || high < int32Min || high > int32Max || low < int32Min ||
        low > int32Max)
      return fail("a number out of range");
    TimeStampLine line;
    line.frame = frame;
    line.high = static_cast<std::int32_t>(high);
    line.low = static_cast<std::uint32_t>(static_cast<std::int32_t>(low));
    line.offset = start;
    lines->push_back(line);
    start = newline + 1;
  }
  return true;
}

bool ReadTimeStamps(const std::string& path, const std::string& fileName,
                    std::vector<TimeStampLine>* lines, ReadFault* fault) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *fault = {true, fileName, 0, -1, std::string("cannot open: ") + std::strerror(errno)};
    return false;
  }
  std::ostringstream content;
  content << in.rdbuf();
  return ParseTimeStamps(content.str(), fileName, lines, fault);
}

PointStreamReader::~PointStreamReader() {
  if (file_) std::fclose(file_);
}

bool PointStreamReader::Open(const std::string& path, const std::string& fileName, ReadFault* fault) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    *fault = {true, fileName, 0, -1, std::string("cannot open: ") + std::strerror(errno)};
    return false;
  }
  if (std::fseek(file, 0, SEEK_END) != 0) {
    std::fclose(file);
    *fault = {true, fileName, 0, -1, "cannot find its size"};
    return false;
  }
  const long size = std::ftell(file);
  std::rewind(file);
  return Open(file, size < 0 ? 0 : static_cast<std::uint64_t>(size), fileName);
}

bool PointStreamReader::Open(std::FILE* file, std::uint64_t size, const std::string& fileName) {
  if (file_) std::fclose(file_);
  file_ = file;
  size_ = size;
  name_ = fileName;
  offset_ = 0;
  index_ = 0;
  return true;
}

bool PointStreamReader::Fail(ReadFault* fault, const std::string& reason) {
  *fault = {true, name_, offset_, index_, reason};
  return false;
}

bool PointStreamReader::ReadCount(std::uint32_t* count, ReadFault* fault) {
  if (file_ == nullptr) return Fail(fault, "not open");
  if (offset_ == size_) return false;  // the end, exactly at a record boundary
  const std::uint64_t left = size_ - offset_;
  if (left < 4)
    return Fail(fault, "record cut short: " + std::to_string(left) + " bytes after the last whole record");
  unsigned char bytes[4];
  if (std::fread(bytes, 1, 4, file_) != 4) return Fail(fault, "read error");
  const std::int32_t n = static_cast<std::int32_t>(LittleEndian32(bytes));
  if (n < 0) {
    std::fseek(file_, static_cast<long>(offset_), SEEK_SET);
    return Fail(fault, "negative point count " + std::to_string(n));
  }
  const std::uint64_t need = 12ULL * static_cast<std::uint64_t>(n);
  if (need > left - 4) {
    std::fseek(file_, static_cast<long>(offset_), SEEK_SET);
    return Fail(fault, "record cut short: its " + std::to_string(n) + " points need " +
                           std::to_string(need) + " bytes, " + std::to_string(left - 4) +
                           " remain");
  }
  *count = static_cast<std::uint32_t>(n);
  return true;
}

bool PointStreamReader::Next(std::vector<float>* xyz, ReadFault* fault) {
  std::uint32_t count;
  if (!ReadCount(&count, fault)) return false;
  // The count was checked against the bytes left: this never asks for more
  // than the file holds.
  buffer_.resize(12ULL * count);
  if (!buffer_.empty() && std::fread(buffer_.data(), 1, buffer_.size(), file_) != buffer_.size()) {
    std::fseek(file_, static_cast<long>(offset_), SEEK_SET);
    return Fail(fault, "read error");
  }
  xyz->resize(3ULL * count);
  for (size_t i = 0; i < xyz->size(); ++i) {
    const std::uint32_t bits = LittleEndian32(&buffer_[4 * i]);
    std::memcpy(&(*xyz)[i], &bits, 4);
  }
  offset_ += 4 + buffer_.size();
  ++index_;
  return true;
}

bool PointStreamReader::Skip(std::uint32_t* count, ReadFault* fault) {
  if (!ReadCount(count, fault)) return false;
  offset_ += 4 + 12ULL * *count;
  ++index_;
  return std::fseek(file_, static_cast<long>(offset_), SEEK_SET) == 0;
}

bool PointStreamReader::Seek(std::uint64_t offset, long long recordIndex) {
  if (file_ == nullptr || offset > size_) return false;
  if (std::fseek(file_, static_cast<long>(offset), SEEK_SET) != 0) return false;
  offset_ = offset;
  index_ = recordIndex;
  return true;
}

}  // namespace kestrova
