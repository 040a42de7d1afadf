// The window program's options, read before any window system starts.
#include <gtest/gtest.h>

#include "app/WindowOptions.h"

namespace kestrova {
namespace {

bool Parse(std::vector<std::string> args, WindowOptions* options, std::string* error) {
  return ParseWindowOptions(args, options, error);
}

TEST(WindowOptions, TakesBothFormsOfEachOptionAndHelp) {
  WindowOptions options;
  std::string error;
  ASSERT_TRUE(Parse({"--sensors", "sim:2", "--fps=12.5"}, &options, &error)) << error;
  EXPECT_EQ(options.sensors, "sim:2");
  EXPECT_EQ(options.fps, 12.5);
  EXPECT_FALSE(options.help);
  EXPECT_FALSE(options.keepDepth);  // off unless asked
  ASSERT_TRUE(Parse({"--sensors=replay:/a=b", "--keep-depth", "--fps", "0"}, &options, &error)) << error;
  EXPECT_TRUE(options.keepDepth);
  EXPECT_EQ(options.sensors, "replay:/a=b");  // only the first '=' splits
  EXPECT_EQ(options.fps, 0.0);
  EXPECT_FALSE(Parse({"--fps", "x", "-h"}, &options, &error));  // read in order: --fps first
  WindowOptions help;
  EXPECT_TRUE(Parse({"--help", "--bogus"}, &help, &error));
  EXPECT_TRUE(help.help);
}

TEST(WindowOptions, RefusesWhatItDoesNotUnderstandWithAReason) {
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"--bogus"}, "unknown option '--bogus' (see --help)"},
      {{"--keep-depth=1"}, "unknown option '--keep-depth=1' (see --help)"},
      {{"sim"}, "unknown option 'sim' (see --help)"},
      {{"--sensors"}, "--sensors needs a value (see --help)"},
      {{"--fps", "-1"}, "--fps takes a number of 0 or more: '-1'"},
      {{"--fps", "30fps"}, "--fps takes a number of 0 or more: '30fps'"},
      {{"--fps="}, "--fps takes a number of 0 or more: ''"},
      {{"--fps", "inf"}, "--fps takes a number of 0 or more: 'inf'"},
  };
  for (const auto& [args, reason] : cases) {
    WindowOptions options;
    std::string error;
    EXPECT_FALSE(Parse(args, &options, &error)) << args[0];
    EXPECT_EQ(error, reason);
  }
}

}  // namespace
}  // namespace kestrova
