#include "record/TakeTimes.h"

#include <algorithm>
#include <limits>
#include <memory>

#include "record/TakeCheck.h"

namespace kestrova {

namespace {

constexpr double kNominalPeriodMs = 1000.0 / 30;  // only for a camera sharing no cycle

// The stamps of the cycles `a` and `b` both have among their samples:
// b's stamp plus its offset less a's stamp, for each.
void Differences(const CameraClock& a, const CameraClock& b, std::vector<double>* out) {
  size_t i = 0, j = 0;
  while (i < a.sampleFrames.size() && j < b.sampleFrames.size()) {
    if (a.sampleFrames[i] < b.sampleFrames[j]) {
      ++i;
    } else if (b.sampleFrames[j] < a.sampleFrames[i]) {
      ++j;
    } else {
      out->push_back(static_cast<double>(b.sampleStamps[j]) + b.offsetMs -
                     static_cast<double>(a.sampleStamps[i]));
      ++i, ++j;
    }
  }
}

// Reads the pairs of one camera's files, skipping the points.
class PairReader {
 public:
  PairReader(const std::string& dir, const CameraReport& camera) : report_(camera) {
    scan_.Open(dir, &report_);
  }
  // The next whole pair; false at the end or where the files stop pairing.
  bool Next(TimeStampLine* line) {
    if (done_) return false;
    CameraScan::Pair pair;
    if (scan_.Next(nullptr, &pair) != CameraScan::Step::Pair) {
      done_ = true;
      return false;
    }
    *line = pair.line;
    return true;
  }

 private:
  CameraReport report_;
  CameraScan scan_;
  bool done_ = false;
};

}  // namespace

void CameraClock::Add(std::int64_t frame, std::int64_t stamp) {
  if (frames == 0) firstStamp = stamp;
  ++frames;
  if (sampleFrames.size() < kClockSampleFrames) {
    sampleFrames.push_back(frame);
    sampleStamps.push_back(stamp);
  }
}

double Median(std::vector<double> values) {
  if (values.empty()) return std::numeric_limits<double>::quiet_NaN();
  std::sort(values.begin(), values.end());
  const size_t middle = values.size() / 2;
  return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

size_t MapClocks(std::vector<CameraClock>& cameras) {
  size_t reference = 0;
  for (size_t i = 1; i < cameras.size(); ++i)
    if (cameras[i].frames > cameras[reference].frames) reference = i;
  std::vector<bool> mapped(cameras.size(), false);
  cameras[reference].offsetMs = 0;
  mapped[reference] = true;
  std::vector<size_t> pending;
  for (size_t i = 0; i < cameras.size(); ++i)
    if (i != reference) pending.push_back(i);
  while (!pending.empty()) {
    bool progressed = false;
    for (auto it = pending.begin(); it != pending.end();) {
      std::vector<double> differences;
      for (size_t m = 0; m < cameras.size(); ++m)
        if (mapped[m]) Differences(cameras[*it], cameras[m], &differences);
      if (differences.empty()) {
        ++it;
        continue;
      }
      cameras[*it].offsetMs = Median(differences);
      mapped[*it] = true;
      it = pending.erase(it);
      progressed = true;
    }
    if (progressed) continue;
    // Shares no cycle with a mapped camera: its first frame placed by the
    // frame numbers at the nominal rate.
    CameraClock& lone = cameras[pending.front()];
    const CameraClock& base = cameras[reference];
    lone.offsetMs = static_cast<double>(base.firstStamp - lone.firstStamp) +
                    static_cast<double>(lone.sampleFrames.front() - base.sampleFrames.front()) *
                        kNominalPeriodMs;
    mapped[pending.front()] = true;
    pending.erase(pending.begin());
  }
  return reference;
}

double CycleTime(size_t reference, const TimeRow& row, const std::vector<double>& mapped) {
  if (row.has[reference]) return mapped[reference];
  std::vector<double> present;
  for (size_t i = 0; i < row.has.size(); ++i)
    if (row.has[i]) present.push_back(mapped[i]);
  return Median(present);
}

bool TakeTimeTable::Open(const std::string& dir, std::string* error) {
  dir_ = dir;
  cameras_.clear();
  TakeReport report;
  report.dir = dir;
  ReadTakeParams(dir, &report);
  for (const CameraReport& camera : FindCameras(dir, report)) {
    if (!camera.inTake || !camera.hasTimeStamps || !camera.hasPoints) continue;
    CameraClock clock;
    clock.number = camera.number;
    PairReader reader(dir, camera);
    TimeStampLine line;
    while (reader.Next(&line)) clock.Add(line.frame, line.Stamp());
    if (clock.frames > 0) cameras_.push_back(std::move(clock));
  }
  if (cameras_.empty()) {
    *error = dir + ": no camera with frames";
    return false;
  }
  reference_ = MapClocks(cameras_);
  ReadFault fault;
  const bool read = clock_.Read(dir, &fault);
  useClock_ = read;
  for (const CameraClock& camera : cameras_) useClock_ = useClock_ && clock_.Has(camera.number);
  if (fault.any)
    clockNote_ = fault.Text();
  else if (!read)
    clockNote_ = std::string("no ") + kTakeClockFile;
  else if (!useClock_)
    clockNote_ = std::string(kTakeClockFile) + " lacks a camera of the take";
  return true;
}

bool TakeTimeTable::ForEachRow(const std::function<void(const TimeRow&)>& onRow, std::string* error) {
  TakeReport report;
  report.dir = dir_;
  ReadTakeParams(dir_, &report);
  const std::vector<CameraReport> found = FindCameras(dir_, report);
  std::vector<std::unique_ptr<PairReader>> readers;
  for (const CameraClock& clock : cameras_) {
    auto camera = std::find_if(found.begin(), found.end(),
                               [&](const CameraReport& c) { return c.number == clock.number; });
    if (camera == found.end()) {
      *error = "camera " + std::to_string(clock.number) + "'s files went away";
      return false;
    }
    readers.push_back(std::make_unique<PairReader>(dir_, *camera));
  }
  const size_t n = cameras_.size();
  std::vector<TimeStampLine> next(n);
  std::vector<bool> have(n);
  for (size_t i = 0; i < n; ++i) have[i] = readers[i]->Next(&next[i]);
  TimeRow row;
  row.has.assign(n, false);
  row.stamp.assign(n, 0);
  row.sinceFirst.assign(n, 0);
  bool first = true;
  double start = 0;
  largestSpreadMs_ = 0;
  cyclesMissing_ = 0;
  std::vector<double> mapped(n, 0);
  for (;;) {
    std::int64_t frame = std::numeric_limits<std::int64_t>::max();
    for (size_t i = 0; i < n; ++i)
      if (have[i]) frame = std::min(frame, next[i].frame);
    if (frame == std::numeric_limits<std::int64_t>::max()) break;
    row.frame = frame;
    double low = std::numeric_limits<double>::infinity(), high = -low;
    for (size_t i = 0; i < n; ++i) {
      row.has[i] = have[i] && next[i].frame == frame;
      if (!row.has[i]) continue;
      row.stamp[i] = next[i].Stamp();
      row.sinceFirst[i] = row.stamp[i] - cameras_[i].firstStamp;
      mapped[i] = useClock_ ? clock_.Map(cameras_[i].number, frame, row.stamp[i])
                            : static_cast<double>(row.stamp[i]) + cameras_[i].offsetMs;
      low = std::min(low, mapped[i]), high = std::max(high, mapped[i]);
      have[i] = readers[i]->Next(&next[i]);
    }
    largestSpreadMs_ = std::max(largestSpreadMs_, high - low);
    if (std::find(row.has.begin(), row.has.end(), false) != row.has.end()) ++cyclesMissing_;
    const double cycle = CycleTime(reference_, row, mapped);
    if (first) start = cycle, first = false;
    row.takeTimeMs = cycle - start;
    onRow(row);
  }
  return true;
}

}  // namespace kestrova
