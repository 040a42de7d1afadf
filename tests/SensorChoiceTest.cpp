// The --sensors texts.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "capture/OpenNI2Option.h"
#include "capture/SensorChoice.h"

namespace kestrova {
namespace {

TEST(SensorChoice, CountAndFaultsAreParsed) {
  SimOptions options;
  std::string error;
  ASSERT_TRUE(ParseSimOptions("3,absent=1,stall=2@100,failfetch=3@5,seed=9,unplug=3@7,resume=3@40,"
                              "late=2@60,jitter=3@25,drop=2@10,drift=3@-120",
                              &options, &error))
      << error;
  EXPECT_EQ(options.lateMs[1], 60);
  EXPECT_EQ(options.jitterMs[2], 25);
  EXPECT_EQ(options.dropPercent[1], 10);
  EXPECT_EQ(options.driftPpm[2], -120);
  EXPECT_FALSE(options.present[0]);
  EXPECT_TRUE(options.present[1]);
  EXPECT_TRUE(options.present[2]);
  EXPECT_FALSE(options.present[3]);
  EXPECT_EQ(options.stallAfter[1], 100);
  EXPECT_FALSE(options.unplugged[1]);
  EXPECT_EQ(options.stallAfter[2], 7);
  EXPECT_TRUE(options.unplugged[2]);
  EXPECT_EQ(options.resumeAfter[2], 40);
  EXPECT_EQ(options.failFetchAt[2], 5);
  EXPECT_EQ(options.seed, 9u);
}

TEST(SensorChoice, APoseMovesThatCameraOnly) {
  SimOptions options;
  std::string error;
  ASSERT_TRUE(ParseSimOptions("4,pose=2@70.5/-3/4/12/-80/1.5", &options, &error)) << error;
  EXPECT_FALSE(options.moved[0]);
  ASSERT_TRUE(options.moved[1]);
  const CameraSetting& pose = options.truePose[1];
  EXPECT_EQ(pose.x, 70.5f);
  EXPECT_EQ(pose.y, -3.0f);
  EXPECT_EQ(pose.z, 4.0f);
  EXPECT_EQ(pose.rx, 12.0f);
  EXPECT_EQ(pose.ry, -80.0f);
  EXPECT_EQ(pose.rz, 1.5f);
  // Camera 2 stands at the typed position looking down the rotated axis.
  const SimCameraPose moved = SimulatedPose(1, options);
  EXPECT_NEAR(moved.position.x(), 70.5, 1e-6);
  EXPECT_NEAR(moved.position.y(), -3.0, 1e-6);
  // Rz(1.5) Ry(-80) Rx(12) applied to the optical axis (0, 0, 1):
  // Rx gives (0, -sin 12, cos 12); Ry(-80) turns z towards -x.
  const double s12 = std::sin(12 * M_PI / 180), c12 = std::cos(12 * M_PI / 180);
  const double s80 = std::sin(-80 * M_PI / 180), c80 = std::cos(-80 * M_PI / 180);
  const Eigen::Vector3d afterRy(s80 * c12, -s12, c80 * c12);
  const double s15 = std::sin(1.5 * M_PI / 180), c15 = std::cos(1.5 * M_PI / 180);
  const Eigen::Vector3d axis(c15 * afterRy.x() - s15 * afterRy.y(), s15 * afterRy.x() + c15 * afterRy.y(),
                             afterRy.z());
  EXPECT_LT((moved.rotation.col(2) - axis).norm(), 1e-9);
  // The others keep their default poses.
  EXPECT_NEAR(SimulatedPose(0, options).position.z(), DefaultCameraSetting(0).z, 1e-6);
}

TEST(SensorChoice, BadTextsAreRefusedWithAReason) {
  for (const char* bad : {"5", "x", "2,stall=5@1", "2,absent=0", "2,failfetch=1@0", "2,bogus=1",
                          "2,unplug=2", "2,resume=1@5", "2,pose=1@1/2/3/4/5", "2,pose=1@1/2/3/4/5/6/7",
                          "2,pose=5@1/2/3/4/5/6", "2,pose=1@1/2/x/4/5/6", "2,pose=1@1//3/4/5/6",
                          "2,pose=1@nan/2/3/4/5/6", "2,late=1@2001", "2,jitter=1@-1", "2,drop=1@101",
                          "2,drift=1@10001", "2,drift=1@x", "2,late=5@10"}) {
    SimOptions options;
    std::string error;
    EXPECT_FALSE(ParseSimOptions(bad, &options, &error)) << bad;
    EXPECT_FALSE(error.empty()) << bad;
  }
  std::string error;
  EXPECT_EQ(MakeSensorBackend("kinect", 30, &error), nullptr);
  EXPECT_NE(error.find("kinect"), std::string::npos);
  EXPECT_EQ(MakeSensorBackend("sim", -1, &error), nullptr);
}

// The openni2 texts: devices in their places, the mode, and what is refused.
TEST(SensorChoice, OpenNI2TextsNameDevicesAndAMode) {
  const struct {
    const char* text;
    std::vector<std::string> devices;
    int width, height, fps;
  } good[] = {
      {"openni2", {}, 640, 480, 30},
      {"openni2:B2,A1", {"B2", "A1"}, 640, 480, 30},
      {"openni2:mode=320x240@60,1d27/0600@2/5", {"1d27/0600@2/5"}, 320, 240, 60},
      {"openni2:/data/a.oni,/data/b.ONI", {"/data/a.oni", "/data/b.ONI"}, 640, 480, 30},
  };
  for (const auto& c : good) {
    OpenNI2Option spec;
    std::string error;
    ASSERT_TRUE(ParseOpenNI2Option(c.text, &spec, &error)) << c.text << ": " << error;
    EXPECT_EQ(spec.devices, c.devices) << c.text;
    EXPECT_EQ(spec.width, c.width) << c.text;
    EXPECT_EQ(spec.height, c.height) << c.text;
    EXPECT_EQ(spec.fps, c.fps) << c.text;
    EXPECT_TRUE(CheckSensorSpec(c.text, &error)) << c.text;
  }
  EXPECT_TRUE(SensorsEndByThemselves("openni2:/data/a.oni,/data/b.ONI"));
  EXPECT_FALSE(SensorsEndByThemselves("openni2:/data/a.oni,A1"));
  EXPECT_FALSE(SensorsEndByThemselves("openni2"));
  for (const char* bad : {"openni2:", "openni2:A,,B", "openni2:A,A", "openni2:A,B,C,D,E", "openni2:mode=640x480",
                          "openni2:mode=641x480@30", "openni2:mode=640x481@30", "openni2:mode=640x480@0",
                          "openni2:mode=x480@30", "openni2:mode=-1x480@30", "openni2x"}) {
    std::string error;
    EXPECT_FALSE(CheckSensorSpec(bad, &error)) << bad;
    EXPECT_FALSE(error.empty()) << bad;
  }
}

TEST(SensorChoice, SimWithCountCreatesThoseSensorsOnly) {
  std::string error;
  auto backend = MakeSensorBackend("sim:2", 30, &error);
  ASSERT_NE(backend, nullptr) << error;
  std::unique_ptr<INuiSensor> sensor;
  EXPECT_EQ(backend->NuiCreateSensorByIndex(1, &sensor), S_OK);
  EXPECT_NE(sensor, nullptr);
  EXPECT_EQ(backend->NuiCreateSensorByIndex(2, &sensor), E_NUI_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(sensor, nullptr);
}

}  // namespace
}  // namespace kestrova
