// DDS Security through the real programs, on the loopback, with rigs made
// by scripts/rig-security.sh: a rig's station and recorder record together
// while stations without a certificate or with another rig's run under the
// same name; a station or recorder refused for its permissions says so, and
// a recorder that hears no station says why.
#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <filesystem>

#include "tests/support/Commands.h"
#include "tests/support/NetTesting.h"
#include "tests/support/TakeFiles.h"
#include "tests/support/TempDir.h"

namespace kestrova {
namespace {

using namespace std::chrono_literals;
using testing::BackgroundProgram;
using testing::ReadTimeStampLines;
using testing::TempDir;

const auto* const loopback =
    ::testing::AddGlobalTestEnvironment(new kestrova::testing::LoopbackDdsEnvironment);

std::string Domain() { return std::to_string(testing::TestDomain()); }

class NetSecurityTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // This rig: station "left", recorder "desk"; another rig's "left".
    for (const std::string& command :
         {Script() + " " + Rig("a") + " --station left --recorder desk",
          Script() + " " + Rig("b") + " --station left"}) {
      testing::CommandRun run = testing::RunCommand(command + " 2>&1");
      ASSERT_EQ(run.status, 0) << command << ": " << run.output;
    }
  }

  static std::string Script() { return KESTROVA_SOURCE_DIR "/scripts/rig-security.sh"; }
  std::string Rig(const std::string& name) const { return dir_.File("rig-" + name); }

  std::unique_ptr<BackgroundProgram> Station(const std::string& name, const std::string& security,
                                             const std::string& fps, const std::string& log) {
    std::vector<std::string> args = {KESTROVA_STATION, "--sensors", "sim:1", "--name", name,
                                     "--fps", fps, "--domain", Domain()};
    if (!security.empty()) args.insert(args.end(), {"--security", security});
    return std::make_unique<BackgroundProgram>(args, dir_.File(log));
  }

  testing::CommandRun Record(const std::string& items, const std::string& security,
                             const std::string& frames) {
    const std::string take = dir_.File("take");
    std::filesystem::create_directories(take);
    const std::string params = dir_.File("params.txt");
    testing::WriteFile(params, "TIME: x\r\n \r\nCAL: 0.001200 \r\nCAM: 1 0 0 0 \r\n");
    return testing::RunCommand("'" KESTROVA_RECORD "' --sensors net:" + items + ",domain=" + Domain() +
                               ",security=" + security + " --frames " + frames + " --params " +
                               params + " --out " + take + " --replace 2>&1");
  }

  TempDir dir_;
};

// Three stations named "left" run: the rig's at 30 frames a second, one
// without security and one of another rig at 60. The take holds the rig's
// station's frames only: one frame period between every two.
TEST_F(NetSecurityTest, OnlyTheRigsStationGetsFramesIntoATake) {
  auto ours = Station("left", Rig("a") + "/left", "30", "ours.log");
  auto open = Station("left", "", "60", "open.log");
  auto foreign = Station("left", Rig("b") + "/left", "60", "foreign.log");
  for (BackgroundProgram* station : {ours.get(), open.get(), foreign.get()})
    ASSERT_TRUE(station->WaitForOutput("station left: camera 1", 20s)) << station->Output();
  EXPECT_NE(ours->Output().find("DDS Security with " + Rig("a") + "/left"), std::string::npos);

  auto run = Record("left/1", Rig("a") + "/desk", "60");
  ASSERT_EQ(run.status, 0) << run.output;
  const auto lines = ReadTimeStampLines(dir_.File("take/TS1.txt"));
  ASSERT_EQ(lines.size(), 60u);
  for (size_t i = 1; i < lines.size(); ++i) {
    const long long step = (lines[i][1] - lines[i - 1][1]) * 4294967296LL + lines[i][2] - lines[i - 1][2];
    EXPECT_TRUE(step == 33 || step == 34) << "frame " << i << ": " << step << " ms";
  }
  // The stations outside the rig never had a recorder.
  EXPECT_NE(ours->Output().find("recorders 1"), std::string::npos) << ours->Output();
  EXPECT_EQ(open->Output().find("recorders 1"), std::string::npos) << open->Output();
  EXPECT_EQ(foreign->Output().find("recorders 1"), std::string::npos) << foreign->Output();
}

TEST_F(NetSecurityTest, WhatIsRefusedSaysWhy) {
  // A recorder's files used for a station: it may not publish.
  auto noPermission = Station("left", Rig("a") + "/desk", "30", "nopermission.log");
  EXPECT_EQ(noPermission->Wait(20s), 1) << noPermission->Output();
  EXPECT_NE(noPermission->Output().find("this machine may not announce a station: its permissions (" +
                                        Rig("a") + "/desk/permissions.p7s) do not allow it"),
            std::string::npos)
      << noPermission->Output();

  // A station's files used for a recorder: it may not read frames.
  auto run = Record("left/1", Rig("a") + "/left", "10");
  EXPECT_EQ(run.status, 1) << run.output;
  EXPECT_NE(run.output.find("this machine may not read depth frames"), std::string::npos) << run.output;

  // A directory without its key.
  std::filesystem::remove(Rig("b") + "/left/key.pem");
  run = Record("left/1", Rig("b") + "/left", "10");
  EXPECT_EQ(run.status, 1) << run.output;
  EXPECT_NE(run.output.find("has no readable key.pem"), std::string::npos) << run.output;
}

TEST_F(NetSecurityTest, ARecorderSaysWhyItHearsNoStation) {
  auto open = Station("open", "", "30", "open.log");
  auto foreign = Station("foreign", Rig("b") + "/left", "30", "foreign.log");
  for (BackgroundProgram* station : {open.get(), foreign.get()})
    ASSERT_TRUE(station->WaitForOutput(": camera 1", 20s)) << station->Output();

  auto run = Record("open/1", Rig("a") + "/desk", "10");
  EXPECT_EQ(run.status, 1) << run.output;
  EXPECT_NE(run.output.find("station 'open' not found"), std::string::npos) << run.output;
  EXPECT_NE(run.output.find("runs without DDS Security: start it with --security"), std::string::npos)
      << run.output;

  run = Record("foreign/1", Rig("a") + "/desk", "10");
  EXPECT_EQ(run.status, 1) << run.output;
  EXPECT_NE(run.output.find("station 'foreign' not found"), std::string::npos) << run.output;
  EXPECT_NE(run.output.find("under DDS Security: only a station whose certificate the rig's CA (" +
                            Rig("a") + "/desk/ca.pem) made and whose permissions let it publish "
                            "frames is heard"),
            std::string::npos)
      << run.output;
  EXPECT_FALSE(std::filesystem::exists(dir_.File("take/TS1.txt")));
}

}  // namespace
}  // namespace kestrova
