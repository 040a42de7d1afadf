#include "record/TakeClock.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "record/TakePaths.h"
#include "settings/CLocale.h"

namespace kestrova {

namespace {
// A knot line is far shorter; anything longer is no knot.
constexpr std::size_t kMaxClockLineBytes = 96;
// A pair of knots whose host time runs at a rate outside these bounds
// against the stamps is not believed (the clocks run within 0.1 % of each
// other); its stamps count as host milliseconds.
constexpr double kSlowestRate = 0.5, kFastestRate = 2.0;

bool ParseKnot(const std::string& line, int* camera, ClockKnot* knot) {
  const char* cursor = line.c_str();
  char* end = nullptr;
  errno = 0;
  const long number = std::strtol(cursor, &end, 10);
  if (end == cursor || *end != ' ' || number < 1 || number > kCameraCount) return false;
  cursor = end + 1;
  const long long frame = std::strtoll(cursor, &end, 10);
  if (end == cursor || *end != ' ' || frame < 0 || frame > 0x7FFFFFFF) return false;
  cursor = end + 1;
  const long long stamp = std::strtoll(cursor, &end, 10);
  if (end == cursor || *end != ' ' || errno == ERANGE) return false;
  cursor = end + 1;
  const double host = std::strtod(cursor, &end);
  if (end == cursor || *end != '\0' || !std::isfinite(host)) return false;
  *camera = static_cast<int>(number);
  *knot = {frame, stamp, host};
  return true;
}
}  // namespace

std::string ClockKnotLine(int camera, std::int64_t frame, std::int64_t stamp, double hostMs) {
  ScopedCLocale c;
  char line[kMaxClockLineBytes];
  std::snprintf(line, sizeof line, "%d %lld %lld %.3f\r\n", camera, static_cast<long long>(frame),
                static_cast<long long>(stamp), hostMs);
  return line;
}

void TakeClock::Add(int camera, const ClockKnot& knot) { knots_[camera - 1].push_back(knot); }

bool TakeClock::Read(const std::string& dir, ReadFault* fault) {
  for (auto& knots : knots_) knots.clear();
  *fault = ReadFault();
  std::string path, error;
  if (!ComposeTakePath(dir, kTakeClockFile, &path, &error)) return false;
  if (::access(path.c_str(), F_OK) != 0) return false;  // an older take: no clock file
  FileBytes bytes;
  if (!bytes.Open(path, kTakeClockFile, fault)) return false;
  auto fail = [&](std::uint64_t at, long long line, const std::string& reason) {
    fault->any = true;
    fault->file = kTakeClockFile;
    fault->offset = at;
    fault->item = line;
    fault->reason = reason;
    for (auto& knots : knots_) knots.clear();
    return false;
  };
  std::size_t total = 0;
  for (long long lineIndex = 0;; ++lineIndex) {
    const std::uint64_t start = bytes.Offset();
    std::string line;
    const TextLine read = ReadTextLine(bytes, kMaxClockLineBytes, &line);
    if (read == TextLine::End) break;
    if (read != TextLine::Line) return fail(start, lineIndex, TextLineFault(read, "a knot"));
    if (!line.empty() && line[0] == '#') continue;
    int camera = 0;
    ClockKnot knot;
    bool parsed;
    {
      ScopedCLocale c;
      parsed = ParseKnot(line, &camera, &knot);
    }
    if (!parsed) return fail(start, lineIndex, "not a knot (camera frame stamp host_ms)");
    std::vector<ClockKnot>& knots = knots_[camera - 1];
    if (!knots.empty() && knot.frame <= knots.back().frame)
      return fail(start, lineIndex, "camera " + std::to_string(camera) + "'s frame numbers do not rise");
    if (++total > kMaxClockKnots) return fail(start, lineIndex, "more knots than any take has");
    knots.push_back(knot);
  }
  return true;
}

double TakeClock::Map(int number, std::int64_t frame, std::int64_t stamp) const {
  const std::vector<ClockKnot>& knots = knots_[number - 1];
  // The knot at or before the frame (the first, before it).
  auto after = std::upper_bound(knots.begin(), knots.end(), frame,
                                [](std::int64_t f, const ClockKnot& knot) { return f < knot.frame; });
  std::size_t from = after == knots.begin() ? 0 : static_cast<std::size_t>(after - knots.begin()) - 1;
  if (from + 1 >= knots.size() && from > 0) from = knots.size() - 2;  // after the last: the last pair
  const ClockKnot& a = knots[from];
  double rate = 1.0;
  if (from + 1 < knots.size()) {
    const ClockKnot& b = knots[from + 1];
    if (b.stamp > a.stamp) {
      const double pairRate = (b.hostMs - a.hostMs) / static_cast<double>(b.stamp - a.stamp);
      if (pairRate >= kSlowestRate && pairRate <= kFastestRate) rate = pairRate;
    }
  }
  return a.hostMs + static_cast<double>(stamp - a.stamp) * rate;
}

TakeClockWriter::~TakeClockWriter() { Close(nullptr); }

bool TakeClockWriter::Open(const std::string& dir, std::string* error) {
  Close(nullptr);
  if (!ComposeTakePath(dir, kTakeClockFile, &path_, error)) return false;
  const int fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0 || (file_ = ::fdopen(fd, "wb")) == nullptr) {
    if (error) *error = "cannot create " + path_ + ": " + std::strerror(errno);
    if (fd >= 0) ::close(fd);
    return false;
  }
  const std::size_t length = std::strlen(kTakeClockHeader);
  if (std::fwrite(kTakeClockHeader, 1, length, file_) != length || std::fflush(file_) != 0) {
    if (error) *error = "cannot write " + path_ + ": " + std::strerror(errno ? errno : EIO);
    return false;
  }
  return true;
}

bool TakeClockWriter::Add(int camera, std::int64_t frame, std::int64_t stamp, double hostMs,
                          std::string* error) {
  if (file_ == nullptr) return false;
  const std::string line = ClockKnotLine(camera, frame, stamp, hostMs);
  errno = 0;
  if (std::fwrite(line.data(), 1, line.size(), file_) == line.size() && std::fflush(file_) == 0) return true;
  if (error) *error = "cannot write " + path_ + ": " + std::strerror(errno ? errno : EIO);
  return false;
}

bool TakeClockWriter::Close(std::string* error) {
  if (file_ == nullptr) return true;
  const bool synced = std::fflush(file_) == 0 && ::fsync(::fileno(file_)) == 0;
  const bool closed = std::fclose(file_) == 0;
  file_ = nullptr;
  if (synced && closed) return true;
  if (error) *error = "cannot complete " + path_ + ": " + std::strerror(errno ? errno : EIO);
  return false;
}

}  // namespace kestrova
