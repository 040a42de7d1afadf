// kestrova-net-bench: what DDS Security costs on the depth-frame path. A
// station process sends compressed frames of the simulated scene for N
// cameras at 30 a second; a recorder process takes them. Both run once
// without security and once with it; each side's CPU per camera and the
// latency from write to take (one clock: both on this machine) are printed.
//
// usage: kestrova-net-bench RIGDIR [CAMERAS] [SECONDS]
// RIGDIR from: scripts/rig-security.sh RIGDIR --station station --recorder recorder
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "bench/SceneFrame.h"
#include "capture/net/FrameSample.h"
#include "capture/net/NetDomain.h"

namespace {

using namespace kestrova;
using Clock = std::chrono::steady_clock;

constexpr int kDomain = 229;
constexpr int kFramesPerSecond = 30;

std::int64_t NowMicroseconds() {
  return std::chrono::duration_cast<std::chrono::microseconds>(Clock::now().time_since_epoch()).count();
}

double CpuSeconds() {
  timespec cpu;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpu);
  return cpu.tv_sec + cpu.tv_nsec / 1e9;
}

bool WaitForMatch(dds_entity_t entity, bool writer) {
  const auto until = Clock::now() + std::chrono::seconds(20);
  while (Clock::now() < until) {
    std::uint32_t count = 0;
    if (writer) {
      dds_publication_matched_status_t status;
      if (dds_get_publication_matched_status(entity, &status) == 0) count = status.current_count;
    } else {
      dds_subscription_matched_status_t status;
      if (dds_get_subscription_matched_status(entity, &status) == 0) count = status.current_count;
    }
    if (count > 0) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

// The station's side: frames of `cameras` cameras for `seconds`; writes
// its CPU seconds while sending to `report`.
int Send(const std::string& security, int cameras, double seconds, int report) {
  net::NetDomain domain;
  std::string error;
  if (!domain.Open(kDomain, security, &error)) {
    std::fprintf(stderr, "station: %s\n", error.c_str());
    return 1;
  }
  const dds_entity_t writer = domain.CreateFrameWriter();
  if (writer < 0 || !WaitForMatch(writer, true)) {
    std::fprintf(stderr, "station: no recorder matched\n");
    return 1;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(500));  // the reader's side settles
  std::vector<net::FrameSampleEncoder> encoders(cameras);
  const double cpuBefore = CpuSeconds();
  const auto start = Clock::now();
  const auto period = std::chrono::microseconds(1000000 / kFramesPerSecond);
  const int frames = static_cast<int>(seconds * kFramesPerSecond);
  for (int n = 0; n < frames; ++n) {
    std::this_thread::sleep_until(start + n * period);
    for (int c = 0; c < cameras; ++c) {
      NuiImageFrame frame;
      frame.dwFrameNumber = static_cast<std::uint32_t>(n);
      kestrova_net_DepthFrameSample sample{};
      // Compressed before the clock is read: the latency is the network's.
      encoders[c].Fill("bench", 1, c + 1, "BENCH", frame, DepthFrameView{SceneFrame(c).data(), SceneFormat()},
                       &sample, &error);
      sample.time_stamp = NowMicroseconds();
      dds_write(writer, &sample);
    }
  }
  const double cpu = CpuSeconds() - cpuBefore;
  if (write(report, &cpu, sizeof cpu) != sizeof cpu) return 1;
  std::this_thread::sleep_for(std::chrono::seconds(1));  // the last frames reach the recorder
  return 0;
}

struct Figures {
  double stationCpuPerCamera = 0;   // of one core
  double recorderCpuPerCamera = 0;
  std::vector<double> latencyMs;
  long expected = 0;
};

// The recorder's side, with the station forked off.
bool Measure(const std::string& stationSecurity, const std::string& recorderSecurity, int cameras,
             double seconds, Figures* figures) {
  int pipeFds[2];
  if (pipe(pipeFds) != 0) return false;
  const pid_t station = fork();
  if (station == 0) {
    close(pipeFds[0]);
    _exit(Send(stationSecurity, cameras, seconds, pipeFds[1]));
  }
  close(pipeFds[1]);
  net::NetDomain domain;
  std::string error;
  if (!domain.Open(kDomain, recorderSecurity, &error)) {
    std::fprintf(stderr, "recorder: %s\n", error.c_str());
    return false;
  }
  const dds_entity_t reader = domain.CreateFrameReader();
  const dds_entity_t waitset = dds_create_waitset(domain.Participant());
  dds_waitset_attach(waitset, dds_create_readcondition(reader, DDS_ANY_STATE), 0);
  if (reader < 0 || !WaitForMatch(reader, false)) return false;
  figures->expected = static_cast<long>(seconds * kFramesPerSecond) * cameras;
  double cpuBefore = -1;
  const auto until = Clock::now() + std::chrono::duration<double>(seconds + 30);
  while (static_cast<long>(figures->latencyMs.size()) < figures->expected && Clock::now() < until) {
    dds_waitset_wait(waitset, nullptr, 0, DDS_MSECS(200));
    void* samples[16] = {};
    dds_sample_info_t infos[16];
    const int count = dds_take(reader, samples, infos, 16, 16);
    const std::int64_t now = NowMicroseconds();
    for (int i = 0; i < count; ++i) {
      if (!infos[i].valid_data) continue;
      if (cpuBefore < 0) cpuBefore = CpuSeconds();
      const auto* sample = static_cast<const kestrova_net_DepthFrameSample*>(samples[i]);
      figures->latencyMs.push_back((now - sample->time_stamp) / 1000.0);
    }
    if (count > 0) dds_return_loan(reader, samples, count);
  }
  figures->recorderCpuPerCamera = (CpuSeconds() - cpuBefore) / seconds / cameras;
  double stationCpu = 0;
  const bool reported = read(pipeFds[0], &stationCpu, sizeof stationCpu) == sizeof stationCpu;
  close(pipeFds[0]);
  int status = 0;
  waitpid(station, &status, 0);
  figures->stationCpuPerCamera = stationCpu / seconds / cameras;
  return reported && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

double Percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[static_cast<size_t>(p * (values.size() - 1))];
}

void Print(const char* what, const Figures& f) {
  std::printf("%-9s station %5.2f %% and recorder %5.2f %% of a core per camera; latency median %.2f ms, "
              "95 %% %.2f ms, max %.2f ms; %zu of %ld frames\n",
              what, 100 * f.stationCpuPerCamera, 100 * f.recorderCpuPerCamera, Percentile(f.latencyMs, 0.5),
              Percentile(f.latencyMs, 0.95), Percentile(f.latencyMs, 1.0), f.latencyMs.size(), f.expected);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || argc > 4) {
    std::fprintf(stderr,
                 "usage: kestrova-net-bench RIGDIR [CAMERAS] [SECONDS]\n"
                 "RIGDIR from: scripts/rig-security.sh RIGDIR --station station --recorder recorder\n");
    return 2;
  }
  const std::string rig = argv[1];
  const int cameras = argc > 2 ? std::clamp(std::atoi(argv[2]), 1, 4) : 2;
  const double seconds = argc > 3 ? std::max(1.0, std::atof(argv[3])) : 20;
  SceneFrame(0);  // rendered before any clock runs
  std::printf("%d cameras, %d frames a second each, %.0f s, DDS domain %d\n", cameras, kFramesPerSecond,
              seconds, kDomain);
  Figures plain, secure;
  if (!Measure("", "", cameras, seconds, &plain)) return 1;
  Print("plain", plain);
  if (!Measure(rig + "/station", rig + "/recorder", cameras, seconds, &secure)) return 1;
  Print("security", secure);
  return 0;
}
