// libFuzzer target: the readers of a take's point stream, time-stamp list
// and depth frames must survive any bytes without crashing or allocating
// more than the format allows. The input is handed over to each as an
// in-memory regular file.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include "record/DepthFrameFile.h"
#include "record/TakeReader.h"

namespace {

int MemoryFile(const std::uint8_t* data, size_t size) {
  const int fd = memfd_create("take-file", MFD_CLOEXEC);
  if (fd < 0) return -1;
  size_t done = 0;
  while (done < size) {
    const ssize_t n = write(fd, data + done, size - done);
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  lseek(fd, 0, SEEK_SET);
  return fd;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
  using namespace kestrova;
  ReadFault fault;
  PointStreamReader records;
  const int datFd = MemoryFile(data, size);
  if (datFd >= 0 && records.Adopt(datFd, "PCL1.dat", &fault)) {
    std::vector<float> xyz;
    while (records.Next(&xyz, &fault)) {
    }
  }
  TimeStampReader lines;
  const int tsFd = MemoryFile(data, size);
  if (tsFd >= 0 && lines.Adopt(tsFd, "TS1.txt", &fault)) {
    TimeStampLine line;
    while (lines.Next(&line, &fault)) {
    }
  }
  DepthFrameReader frames;
  const int depthFd = MemoryFile(data, size);
  if (depthFd >= 0 && frames.Adopt(depthFd, "DEPTH1.dat", &fault)) {
    DepthFrameRecord record;
    while (frames.Next(&record, &fault)) {
    }
  }
  return 0;
}
