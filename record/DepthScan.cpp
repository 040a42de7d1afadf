#include "record/DepthScan.h"

#include "record/TakeLayout.h"

#include <filesystem>

namespace kestrova {

namespace fs = std::filesystem;

void DepthScan::Open(const std::string& dir, CameraReport* report, bool decode) {
  report_ = report;
  decode_ = decode;
  name_ = CameraFileName(CameraFile::Depth, report->number - 1);
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

void DepthScan::Mismatch(std::uint64_t offset, long long index, const std::string& reason) {
  if (mismatched_) return;  // the first one says where it starts
  mismatched_ = true;
  report_->faults.push_back({true, name_, offset, index, reason});
}

void DepthScan::Pair(const TimeStampLine& line) {
  if (!open_) return;
  ++pairs_;
  const std::uint64_t offset = reader_.Offset();
  const long long index = reader_.RecordIndex();
  if (!Read(&record_)) return;
  if (record_.frame != line.frame || record_.stamp != line.Stamp())
    Mismatch(offset, index,
             "frame " + std::to_string(record_.frame) + " stamp " + std::to_string(record_.stamp) +
                 ", but line " + std::to_string(index) + " of TS" + std::to_string(report_->number) +
                 ".txt has frame " + std::to_string(line.frame) + " stamp " + std::to_string(line.Stamp()));
}

void DepthScan::Finish() {
  if (!open_) return;
  while (Read(&record_)) {
  }
  const DepthFileHeader& header = reader_.Header();
  if (report_->depthBytes > 0)
    report_->depthRatio = static_cast<double>(report_->depthFrames) * header.width * header.height * 2 /
                          static_cast<double>(report_->depthBytes);
  if (!broken_ && report_->depthFrames != pairs_)
    Mismatch(reader_.Offset(), reader_.RecordIndex(), "holds " + std::to_string(report_->depthFrames) + " frames, but the camera has " +
             std::to_string(pairs_) + " paired lines and records");
}

}  // namespace kestrova
