// A station and a recorder on two "machines": two network namespaces
// joined by a veth pair, made and removed by the test itself (as root).
// DDS runs on the veth link only, between the two addresses of the pair,
// configured as the README tells users to for networks without multicast;
// nothing leaves the namespaces. Skipped where namespaces cannot be made.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <regex>
#include <thread>

#include "tests/support/Commands.h"
#include "tests/support/NetTesting.h"
#include "tests/support/TakeFiles.h"
#include "tests/support/TempDir.h"

namespace kestrova {
namespace {

using namespace std::chrono_literals;
using testing::BackgroundProgram;
using testing::ReadRecordCounts;
using testing::ReadTimeStampLines;
using testing::TempDir;

// Two namespaces, "station" and "recorder", with one veth link between them.
class NamespacePair {
 public:
  NamespacePair() {
    const std::string id = std::to_string(getpid());
    station_ = "kvs" + id;
    recorder_ = "kvr" + id;
    stationLink_ = "kva" + id;
    recorderLink_ = "kvb" + id;
    const int subnet = 1 + getpid() % 250;
    stationAddress_ = "10.213." + std::to_string(subnet) + ".1";
    recorderAddress_ = "10.213." + std::to_string(subnet) + ".2";
    if (getuid() != 0) {
      why_ = "not root";
      return;
    }
    const std::string steps[] = {
        "ip netns add " + station_,
        "ip netns add " + recorder_,
        "ip link add " + stationLink_ + " netns " + station_ + " type veth peer name " +
            recorderLink_ + " netns " + recorder_,
        InStation("ip addr add " + stationAddress_ + "/30 dev " + stationLink_),
        InRecorder("ip addr add " + recorderAddress_ + "/30 dev " + recorderLink_),
        InStation("ip link set lo up"),
        InRecorder("ip link set lo up"),
        InStation("ip link set " + stationLink_ + " up"),
        InRecorder("ip link set " + recorderLink_ + " up"),
    };
    for (const std::string& step : steps) {
      testing::CommandRun run = testing::RunCommand(step);
      if (run.status != 0) {
        why_ = "'" + step + "' failed: " + run.output;
        return;
      }
    }
    made_ = true;
  }

  ~NamespacePair() {
    // Removing a namespace removes its end of the link, and with it the pair.
    testing::RunCommand("ip netns delete " + station_ + " 2>/dev/null");
    testing::RunCommand("ip netns delete " + recorder_ + " 2>/dev/null");
  }

  bool Made() const { return made_; }
  const std::string& Why() const { return why_; }

  std::string InStation(const std::string& command) const {
    return "ip netns exec " + station_ + " " + command;
  }
  std::string InRecorder(const std::string& command) const {
    return "ip netns exec " + recorder_ + " " + command;
  }

  // A program in a namespace, its DDS bound to that side of the link and
  // looking for the other side's address only.
  std::vector<std::string> StationProgram(std::vector<std::string> args) const {
    return Wrap(station_, stationLink_, std::move(args));
  }
  std::vector<std::string> RecorderProgram(std::vector<std::string> args) const {
    return Wrap(recorder_, recorderLink_, std::move(args));
  }

  void CutLink() const { testing::RunCommand(InStation("ip link set " + stationLink_ + " down")); }
  void MendLink() const { testing::RunCommand(InStation("ip link set " + stationLink_ + " up")); }

 private:
  // The README's configuration for networks without multicast, as a user
  // pastes it on each machine: this side's interface, both machines listed.
  std::vector<std::string> Wrap(const std::string& ns, const std::string& link,
                                std::vector<std::string> args) const {
    const std::string config = testing::ReadmeUnicastConfig(link, stationAddress_, recorderAddress_);
    EXPECT_FALSE(config.empty()) << "no configuration without multicast in the README";
    std::vector<std::string> wrapped = {"/usr/sbin/ip", "netns", "exec", ns, "/usr/bin/env",
                                        "CYCLONEDDS_URI=" + config};
    wrapped.insert(wrapped.end(), args.begin(), args.end());
    return wrapped;
  }

  std::string station_, recorder_, stationLink_, recorderLink_;
  std::string stationAddress_, recorderAddress_;
  std::string why_;
  bool made_ = false;
};

std::string AllCamerasParams(const TempDir& dir) {
  std::string path = dir.File("params.txt");
  testing::WriteFile(path, "TIME: x\r\n \r\nCAL: 0.001200 \r\nCAM: 1 1 1 1 \r\n");
  return path;
}

class NetNamespaceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!pair_.Made()) GTEST_SKIP() << "network namespaces cannot be made here: " << pair_.Why();
    station_ = std::make_unique<BackgroundProgram>(
        pair_.StationProgram({KESTROVA_STATION, "--sensors", "sim:2", "--name", "far", "--domain",
                              std::to_string(testing::TestDomain())}),
        dir_.File("station.log"));
    ASSERT_TRUE(station_->WaitForOutput("station far: camera 2", 20s)) << station_->Output();
  }

  std::vector<std::string> RecordArgs(const std::string& limit, const std::string& value) {
    return pair_.RecorderProgram({KESTROVA_RECORD, "--sensors",
                                  "net:far/1,far/2,domain=" + std::to_string(testing::TestDomain()),
                                  limit, value, "--params", AllCamerasParams(dir_), "--out",
                                  dir_.path()});
  }

  NamespacePair pair_;
  TempDir dir_;
  std::unique_ptr<BackgroundProgram> station_;
};

TEST_F(NetNamespaceTest, ATakeAcrossTwoMachines) {
  BackgroundProgram recorder(RecordArgs("--frames", "60"), dir_.File("record.log"));
  ASSERT_EQ(recorder.Wait(60s), 0) << recorder.Output();
  EXPECT_NE(recorder.Output().find("camera 2: net sensor far/SIM0002"), std::string::npos)
      << recorder.Output();
  for (const char* camera : {"1", "2"}) {
    EXPECT_EQ(ReadTimeStampLines(dir_.File(std::string("TS") + camera + ".txt")).size(), 60u);
    EXPECT_EQ(ReadRecordCounts(dir_.File(std::string("PCL") + camera + ".dat")).size(), 60u);
  }
  station_->Signal(SIGINT);
  EXPECT_EQ(station_->Wait(20s), 0) << station_->Output();
}

TEST_F(NetNamespaceTest, ALinkDownMidTakeEndsTheStationsCamerasNotTheRecorder) {
  BackgroundProgram recorder(RecordArgs("--seconds", "60"), dir_.File("record.log"));
  ASSERT_TRUE(recorder.WaitForOutput("cycles/s", 30s)) << recorder.Output();
  pair_.CutLink();
  // The station's cameras are lost within the liveliness lease; the take
  // ends with a reason instead of waiting for the link, its files whole.
  const int status = recorder.Wait(40s);
  EXPECT_NE(status, -1) << "the recorder still waits for a cut-off station";
  EXPECT_NE(status, 0) << recorder.Output();
  EXPECT_NE(recorder.Output().find("camera"), std::string::npos) << recorder.Output();
  size_t trailing = 1;
  const auto records = ReadRecordCounts(dir_.File("PCL1.dat"), &trailing);
  EXPECT_EQ(trailing, 0u);
  EXPECT_EQ(records.size(), ReadTimeStampLines(dir_.File("TS1.txt")).size());
  EXPECT_GT(records.size(), 0u);
}

// A link cut for longer than the liveliness lease and mended, while a
// station on the recorder's side keeps the take going: the far station's
// cameras are lost, then taken back when the same run is heard again, and
// not lost again while they deliver.
TEST_F(NetNamespaceTest, ALinkCutAndMendedMidTakeLosesTheCamerasOnce) {
  BackgroundProgram near(pair_.RecorderProgram({KESTROVA_STATION, "--sensors", "sim:1", "--name", "near",
                                                "--domain", std::to_string(testing::TestDomain())}),
                         dir_.File("near.log"));
  ASSERT_TRUE(near.WaitForOutput("station near: camera 1", 20s)) << near.Output();
  BackgroundProgram recorder(
      pair_.RecorderProgram({KESTROVA_RECORD, "--sensors",
                             "net:near/1,far/1,far/2,domain=" + std::to_string(testing::TestDomain()),
                             "--seconds", "120", "--params", AllCamerasParams(dir_), "--out", dir_.path()}),
      dir_.File("record.log"));
  ASSERT_TRUE(recorder.WaitForOutput("cycles/s", 30s)) << recorder.Output();
  pair_.CutLink();
  ASSERT_TRUE(recorder.WaitForOutput("camera 3 lost at frame", 20s)) << recorder.Output();
  ASSERT_TRUE(recorder.WaitForOutput("is gone", 20s)) << recorder.Output();
  pair_.MendLink();
  ASSERT_TRUE(recorder.WaitForOutput("camera 2 back at frame", 30s)) << recorder.Output();
  ASSERT_TRUE(recorder.WaitForOutput("camera 3 back at frame", 10s)) << recorder.Output();
  std::this_thread::sleep_for(2s);  // delivering: not lost again
  recorder.Signal(SIGINT);
  ASSERT_EQ(recorder.Wait(20s), 3) << recorder.Output();
  const std::string output = recorder.Output();
  EXPECT_NE(output.find("station far (run "), std::string::npos) << output;
  EXPECT_NE(output.find(") is back"), std::string::npos) << output;
  EXPECT_EQ(output.find("camera 1 lost"), std::string::npos) << output;
  for (const char* camera : {"camera 2", "camera 3"}) {
    const std::string lost = std::string(camera) + " lost at frame";
    EXPECT_EQ(output.find(lost), output.rfind(lost)) << "lost again: " << output;
    EXPECT_TRUE(std::regex_search(output, std::regex("recorded, but " + std::string(camera) +
                                                     " was lost at frame [0-9]+ \\(back at frame")))
        << output;
  }
  near.Signal(SIGINT);
  EXPECT_EQ(near.Wait(20s), 0) << near.Output();
}

}  // namespace
}  // namespace kestrova
