#include "record/TakeReader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sstream>

namespace kestrova {

namespace {

constexpr size_t kBufferBytes = 1 << 16;

std::uint32_t LittleEndian32(const unsigned char* bytes) {
  return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
         static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

// Reads one decimal integer at `at`, skipping blanks before it.
bool ReadInteger(const char* text, size_t end, size_t* at, long long* value) {
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

ReadFault OpenFault(const std::string& fileName, const std::string& reason) {
  return {true, fileName, 0, -1, reason};
}

}  // namespace

std::string ReadFault::Text() const {
  std::ostringstream text;
  text << file << ": ";
  if (item >= 0) text << (file.find(".txt") != std::string::npos ? "line " : "record ") << item << " at ";
  text << "byte " << offset << ": " << reason;
  return text.str();
}

TextLine ReadTextLine(FileBytes& bytes, size_t maxBytes, std::string* line) {
  line->clear();
  int c;
  while ((c = bytes.Get()) >= 0 && c != '\n') {
    if (line->size() >= maxBytes) return TextLine::TooLong;
    line->push_back(static_cast<char>(c));
  }
  if (bytes.Failed()) return TextLine::Unreadable;
  if (c < 0) return line->empty() ? TextLine::End : TextLine::CutShort;
  if (!line->empty() && line->back() == '\r') line->pop_back();
  return TextLine::Line;
}

std::string TextLineFault(TextLine read, const std::string& longest) {
  switch (read) {
    case TextLine::TooLong: return "a line longer than " + longest;
    case TextLine::CutShort: return "a line cut short";
    case TextLine::Unreadable: return "cannot be read";
    case TextLine::Line:
    case TextLine::End: break;
  }
  return std::string();
}

FileBytes::~FileBytes() {
  if (fd_ >= 0) ::close(fd_);
}

int OpenRegularFile(const std::string& path, std::string* reason) {
  // Non-blocking, so a FIFO in a file's place is refused instead of waiting for a writer.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    *reason = std::string("cannot open: ") + std::strerror(errno);
    return -1;
  }
  struct stat info;
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    ::close(fd);
    *reason = "not a regular file";
    return -1;
  }
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return fd;
}

std::FILE* OpenRegularStream(const std::string& path, std::string* reason) {
  const int fd = OpenRegularFile(path, reason);
  if (fd < 0) return nullptr;
  std::FILE* stream = ::fdopen(fd, "rb");
  if (stream == nullptr) {
    *reason = std::strerror(errno);
    ::close(fd);
  }
  return stream;
}

bool FileBytes::Open(const std::string& path, const std::string& fileName, ReadFault* fault) {
  std::string reason;
  const int fd = OpenRegularFile(path, &reason);
  if (fd < 0) {
    *fault = OpenFault(fileName, reason);
    return false;
  }
  return Adopt(fd, fileName, fault);
}

bool FileBytes::Adopt(int fd, const std::string& fileName, ReadFault* fault) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  struct stat info;
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    ::close(fd);
    *fault = OpenFault(fileName, "not a regular file");
    return false;
  }
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  fd_ = fd;
  size_ = static_cast<std::uint64_t>(info.st_size);
  offset_ = 0;
  begin_ = end_ = 0;
  failed_ = false;
  buffer_.resize(kBufferBytes);
  return true;
}

bool FileBytes::Refill() {
  if (fd_ < 0 || failed_) return false;
  for (;;) {
    const ssize_t n = ::read(fd_, buffer_.data(), buffer_.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) failed_ = true;
    begin_ = 0;
    end_ = n > 0 ? static_cast<size_t>(n) : 0;
    return n > 0;
  }
}

size_t FileBytes::Read(void* out, size_t count) {
  if (count <= end_ - begin_) {  // the usual case: a count or a line from the buffer
    std::memcpy(out, buffer_.data() + begin_, count);
    begin_ += count;
    offset_ += count;
    return count;
  }
  auto* to = static_cast<unsigned char*>(out);
  size_t done = 0;
  while (done < count) {
    if (begin_ == end_ && !Refill()) break;
    const size_t take = std::min(count - done, end_ - begin_);
    std::memcpy(to + done, buffer_.data() + begin_, take);
    begin_ += take;
    done += take;
  }
  offset_ += done;
  return done;
}

int FileBytes::Get() {
  if (begin_ == end_ && !Refill()) return -1;
  ++offset_;
  return buffer_[begin_++];
}

bool FileBytes::Skip(std::uint64_t count) {
  if (count <= end_ - begin_) {
    begin_ += static_cast<size_t>(count);
    offset_ += count;
    return true;
  }
  return SeekTo(offset_ + count);
}

bool FileBytes::SeekTo(std::uint64_t offset) {
  if (fd_ < 0) return false;
  // Within the buffered window: no system call.
  const std::uint64_t windowStart = offset_ - begin_;
  if (offset >= windowStart && offset <= windowStart + end_) {
    begin_ = static_cast<size_t>(offset - windowStart);
    offset_ = offset;
    return true;
  }
  if (::lseek(fd_, static_cast<off_t>(offset), SEEK_SET) < 0) return false;
  offset_ = offset;
  begin_ = end_ = 0;
  return true;
}

bool TimeStampReader::Open(const std::string& path, const std::string& fileName, ReadFault* fault) {
  name_ = fileName;
  index_ = 0;
  previousFrame_ = -1;
  return bytes_.Open(path, fileName, fault);
}

bool TimeStampReader::Adopt(int fd, const std::string& fileName, ReadFault* fault) {
  name_ = fileName;
  index_ = 0;
  previousFrame_ = -1;
  return bytes_.Adopt(fd, fileName, fault);
}

bool TimeStampReader::Seek(std::uint64_t offset, long long lineIndex, std::int64_t previousFrame) {
  if (!bytes_.SeekTo(offset)) return false;
  index_ = lineIndex;
  previousFrame_ = previousFrame;
  return true;
}

bool TimeStampReader::Next(TimeStampLine* line, ReadFault* fault) {
  const std::uint64_t start = bytes_.Offset();
  auto fail = [&](const std::string& reason) {
    *fault = {true, name_, start, index_, reason};
    bytes_.SeekTo(start);
    return false;
  };
  if (!bytes_.IsOpen()) return fail("not open");
  char text[kMaxTimeStampLineBytes];
  size_t length = 0;
  int c;
  while ((c = bytes_.Get()) != '\n') {
    if (c < 0) {
      if (bytes_.Failed()) return fail("read error");
      if (length == 0) return false;  // the end, exactly after a line
      fail("the last line is cut short (no line end)");
      fault->cutShort = true;
      return false;
    }
    if (length == sizeof text) {
      return fail("a line longer than " + std::to_string(sizeof text) +
                  " bytes: not a line of three whole numbers");
    }
    text[length++] = static_cast<char>(c);
  }
  if (length > 0 && text[length - 1] == '\r') --length;
  size_t at = 0;
  long long frame, high, low;
  if (!ReadInteger(text, length, &at, &frame) || !ReadInteger(text, length, &at, &high) ||
      !ReadInteger(text, length, &at, &low))
    return fail("not a line of three whole numbers");
  while (at < length && (text[at] == ' ' || text[at] == '\t')) ++at;
  if (at != length) return fail("more than three numbers on the line");
  const long long int32Min = -2147483648LL, int32Max = 2147483647LL;
  if (frame < 0 || frame > int32Max || high < int32Min || high > int32Max || low < int32Min ||
      low > int32Max)
    return fail("a number out of range");
  if (frame <= previousFrame_) {
    return fail("frame number " + std::to_string(frame) + " does not rise after " +
                std::to_string(previousFrame_));
  }
  line->frame = frame;
  line->high = static_cast<std::int32_t>(high);
  line->low = static_cast<std::uint32_t>(static_cast<std::int32_t>(low));
  line->offset = start;
  previousFrame_ = frame;
  ++index_;
  return true;
}

bool PointStreamReader::Open(const std::string& path, const std::string& fileName, ReadFault* fault) {
  name_ = fileName;
  index_ = 0;
  return bytes_.Open(path, fileName, fault);
}

bool PointStreamReader::Adopt(int fd, const std::string& fileName, ReadFault* fault) {
  name_ = fileName;
  index_ = 0;
  return bytes_.Adopt(fd, fileName, fault);
}

bool PointStreamReader::Fail(ReadFault* fault, std::uint64_t start, const std::string& reason) {
  *fault = {true, name_, start, index_, reason};
  bytes_.SeekTo(start);
  return false;
}

bool PointStreamReader::ReadCount(std::uint32_t* count, ReadFault* fault) {
  const std::uint64_t start = bytes_.Offset();
  if (!bytes_.IsOpen()) return Fail(fault, start, "not open");
  const std::uint64_t size = bytes_.Size();
  if (start >= size) return false;  // the end, exactly at a record boundary
  const std::uint64_t left = size - start;
  if (left < 4) {
    Fail(fault, start, "record cut short: " + std::to_string(left) + " bytes after the last whole record");
    fault->cutShort = true;
    return false;
  }
  unsigned char bytes[4];
  if (bytes_.Read(bytes, 4) != 4) return Fail(fault, start, "read error");
  const std::int32_t n = static_cast<std::int32_t>(LittleEndian32(bytes));
  if (n < 0) return Fail(fault, start, "negative point count " + std::to_string(n));
  if (static_cast<std::uint32_t>(n) > kMaxRecordPoints) {
    return Fail(fault, start, "point count " + std::to_string(n) + " is more than a frame has pixels (" +
                                  std::to_string(kMaxRecordPoints) + ")");
  }
  const std::uint64_t need = 12ULL * static_cast<std::uint64_t>(n);
  if (need > left - 4) {
    Fail(fault, start, "record cut short: its " + std::to_string(n) + " points need " +
                           std::to_string(need) + " bytes, " + std::to_string(left - 4) + " remain");
    fault->cutShort = true;
    return false;
  }
  *count = static_cast<std::uint32_t>(n);
  return true;
}

bool PointStreamReader::Next(std::vector<float>* xyz, ReadFault* fault) {
  const std::uint64_t start = bytes_.Offset();
  std::uint32_t count;
  if (!ReadCount(&count, fault)) return false;
  // At most the largest frame's pixels: the buffer never grows beyond 3.7 MB.
  buffer_.resize(12ULL * count);
  if (bytes_.Read(buffer_.data(), buffer_.size()) != buffer_.size()) return Fail(fault, start, "read error");
  xyz->resize(3ULL * count);
  for (size_t i = 0; i < xyz->size(); ++i) {
    const std::uint32_t bits = LittleEndian32(&buffer_[4 * i]);
    std::memcpy(&(*xyz)[i], &bits, 4);
  }
  ++index_;
  return true;
}

bool PointStreamReader::Skip(std::uint32_t* count, ReadFault* fault) {
  const std::uint64_t start = bytes_.Offset();
  if (!ReadCount(count, fault)) return false;
  if (!bytes_.Skip(12ULL * *count)) return Fail(fault, start, "read error");
  ++index_;
  return true;
}

bool PointStreamReader::Seek(std::uint64_t offset, long long recordIndex) {
  if (offset > bytes_.Size() || !bytes_.SeekTo(offset)) return false;
  index_ = recordIndex;
  return true;
}

}  // namespace kestrova
