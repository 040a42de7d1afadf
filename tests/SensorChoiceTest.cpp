// The --sensors texts.
#include <gtest/gtest.h>

#include "capture/SensorChoice.h"

namespace kestrova {
namespace {

TEST(SensorChoice, CountAndFaultsAreParsed) {
  SimOptions options;
  std::string error;
  ASSERT_TRUE(ParseSimOptions("3,absent=1,stall=2@100,failfetch=3@5,seed=9,unplug=3@7,resume=3@40",
                              &options, &error))
      << error;
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

TEST(SensorChoice, BadTextsAreRefusedWithAReason) {
  for (const char* bad : {"5", "x", "2,stall=5@1", "2,absent=0", "2,failfetch=1@0", "2,bogus=1",
                          "2,unplug=2", "2,resume=1@5"}) {
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
