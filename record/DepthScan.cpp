#include "record/DepthScan.h"

#include <filesystem>

#include "record/TakeLayout.h"
#include "record/TakeLens.h"

namespace kestrova {

namespace fs = std::filesystem;

void DepthScan::Open(const std::string& dir, CameraReport* report, bool decode) {
  report_ = report;
  decode_ = decode;
  name_ = CameraFileName(CameraFile::Depth, report->number - 1);
  linesName_ = CameraFileName(CameraFile::TimeStamps, report->number - 1);
  const fs::path path = fs::path(dir) / name_;
  std::error_code error;
  report->hasDepth = fs::exists(fs::symlink_status(path, error));
  if (!report->hasDepth) return;
  ReadFault fault;
  open_ = reader_.Open(path.string(), name_, &fault);
  if (!open_) {
    report->faults.push_back(fault);
    return;
  }
  // Its frames must be of the size the take's LENS.txt gives the camera (a
  // damaged LENS.txt is a fault of the take, found by whoever reads it).
  TakeLens lens;
  ReadFault lensFault;
  const DepthFileHeader& header = reader_.Header();
  if (ReadTakeLens(dir, &lens, &lensFault)) {
    const DepthFrameFormat& format = lens.formats[report->number - 1];
    if (header.width != format.width || header.height != format.height) {
      report->faults.push_back({true, name_, 10, -1,
                                "frames of " + SizeText(header.width, header.height) + ", but " +
                                    (lens.present ? std::string(kTakeLensFile) + " gives camera "
                                                  : std::string("without ") + kTakeLensFile + " camera ") +
                                    std::to_string(report->number) + " " +
                                    (lens.present ? "" : "has ") + SizeText(format.width, format.height)});
      open_ = false;
      return;
    }
  }
  const std::uintmax_t size = fs::file_size(path, error);
  report->depthBytes = error ? 0 : static_cast<std::uint64_t>(size);
}

bool DepthScan::Read(DepthFrameRecord* record) {
  if (!open_ || broken_) return false;
  ReadFault fault;
  const bool read = decode_ ? reader_.Next(record, &fault) : reader_.Skip(record, &fault);
  if (read) {
    ++report_->depthFrames;
    return true;
  }
  if (fault.any) {  // a cut tail or a damaged frame: found with its offset
    report_->faults.push_back(fault);
    broken_ = true;
  }
  return false;
}

void DepthScan::Mismatch(std::uint64_t offset, long long index, const std::string& reason, bool cutShort) {
  if (mismatched_) return;  // the first one says where it starts
  mismatched_ = true;
  ReadFault fault{true, name_, offset, index, reason};
  fault.cutShort = cutShort;
  report_->faults.push_back(fault);
}

void DepthScan::Pair(const TimeStampLine& line) {
  if (!open_) return;
  ++pairs_;
  const std::uint64_t offset = reader_.Offset();
  const long long index = reader_.RecordIndex();
  if (!Read(&record_)) return;
  if (record_.frame != line.frame || record_.stamp != line.Stamp()) {
    Mismatch(offset, index,
             "frame " + std::to_string(record_.frame) + " stamp " + std::to_string(record_.stamp) +
                 ", but line " + std::to_string(index) + " of " + linesName_ + " has frame " +
                 std::to_string(line.frame) + " stamp " + std::to_string(line.Stamp()));
  } else if (!mismatched_) {
    ++paired_;
  }
}

void DepthScan::Finish() {
  if (!open_) return;
  const DepthFileHeader& header = reader_.Header();
  if (!broken_ && report_->depthFrames < pairs_) {
    Mismatch(reader_.Offset(), reader_.RecordIndex(),
             "the file ends after " + std::to_string(report_->depthFrames) + " frames, but " + linesName_ +
                 " has " + std::to_string(pairs_) + " lines",
             true);
  } else if (!broken_) {
    const std::uint64_t offset = reader_.Offset();
    const long long index = reader_.RecordIndex();
    if (Read(&record_))
      Mismatch(offset, index,
               "frame " + std::to_string(record_.frame) + " has no line in " + linesName_ + " (it has " +
                   std::to_string(pairs_) + " lines)");
  }
  if (report_->depthBytes > 0)
    report_->depthRatio = static_cast<double>(report_->depthFrames) * header.width * header.height * 2 /
                          static_cast<double>(report_->depthBytes);
}

bool DepthPairing::OnlyCutShort() const {
  for (const ReadFault& fault : faults)
    if (!fault.cutShort) return false;
  return true;
}

bool DepthPairing::Sound() const { return faults.empty(); }

DepthPairing PairDepthFrames(const std::string& dir, int slot) {
  DepthPairing pairing;
  CameraReport report;
  report.number = slot + 1;
  DepthScan depth;
  depth.Open(dir, &report, false);
  pairing.present = report.hasDepth;
  if (!pairing.present) return pairing;
  const std::string linesName = CameraFileName(CameraFile::TimeStamps, slot);
  const fs::path linesPath = fs::path(dir) / linesName;
  std::error_code error;
  ReadFault fault;
  if (!fs::exists(fs::symlink_status(linesPath, error))) {
    DepthFrameReader reader;
    DepthFrameRecord record;
    if (reader.Open((fs::path(dir) / CameraFileName(CameraFile::Depth, slot)).string(),
                    CameraFileName(CameraFile::Depth, slot), &fault))
      while (reader.Skip(&record, &fault)) ++pairing.frames;
    if (fault.any) pairing.faults.push_back(fault);
    return pairing;
  }
  TimeStampReader lines;
  if (lines.Open(linesPath.string(), linesName, &fault)) {
    TimeStampLine line;
    while (lines.Next(&line, &fault)) depth.Pair(line);
    depth.Finish();
  }
  if (fault.any) pairing.faults.push_back(fault);
  pairing.faults.insert(pairing.faults.end(), report.faults.begin(), report.faults.end());
  pairing.frames = depth.PairedFrames();
  return pairing;
}

}  // namespace kestrova
