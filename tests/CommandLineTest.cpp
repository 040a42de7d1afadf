// Every program's command line as a user meets it: help for every program
// and every kestrova-take command, one table of the sensors and simulation
// options everywhere, bad sensor texts as bad options (status 2), and the
// statuses and messages of commands that cannot do their work.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>

#include "tests/support/Commands.h"
#include "tests/support/TempDir.h"

namespace kestrova {
namespace {

namespace fs = std::filesystem;
using testing::CommandRun;
using testing::RunTool;
using testing::TempDir;
using testing::WriteFile;

// The lines of `help` from the one that starts the sensors' table to the
// first empty line after it.
std::string SensorsTable(const std::string& help) {
  const size_t start = help.find("SPEC is one of");
  if (start == std::string::npos) return "<no table>";
  const size_t end = help.find("\n\n", start);
  return help.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

TEST(CommandLine, EveryProgramShowsTheSameTableOfSensorsAndSimulationOptions) {
  const CommandRun record = RunTool(KESTROVA_RECORD, "--help");
  ASSERT_EQ(record.status, 0) << record.output;
  const std::string table = SensorsTable(record.output);
  for (const char* option : {"sim:N", "absent=C", "stall=C@F", "unplug=C@F", "resume=C@P", "failfetch=C@F",
                             "seed=S", "pose=C@X/Y/Z/RX/RY/RZ", "size=WxH", "replay:DIR", "freenect",
                             "freenect:640x480", "openni2:DEV", "mode=WxH@FPS", "net:STATION/C"})
    EXPECT_NE(table.find(option), std::string::npos) << option << " in\n" << table;
  for (const char* program : {KESTROVA_ALIGN, KESTROVA_STATION, KESTROVA_WINDOW}) {
    const CommandRun help = RunTool(program, "--help");
    EXPECT_EQ(help.status, 0) << program << "\n" << help.output;
    EXPECT_EQ(SensorsTable(help.output), table) << program;
  }
}

// One version everywhere: the project's, and the commit when built from a clone.
TEST(CommandLine, EveryProgramSaysTheSameVersion) {
  const CommandRun take = RunTool(KESTROVA_TAKE, "--version");
  ASSERT_EQ(take.status, 0) << take.output;
  const std::regex form("kestrova-take (\\d+\\.\\d+(\\.\\d+)?(\\+git\\d+\\.g[0-9a-f]{7,})?)\n");
  std::smatch match;
  ASSERT_TRUE(std::regex_match(take.output, match, form)) << take.output;
  const std::string version = match[1];
  const struct {
    const char* path;
    const char* name;
  } programs[] = {{KESTROVA_RECORD, "kestrova-record"}, {KESTROVA_ALIGN, "kestrova-align"},
                  {KESTROVA_STATION, "kestrova-station"}, {KESTROVA_WINDOW, "kestrova"}};
  for (const auto& program : programs) {
    const CommandRun run = RunTool(program.path, "--version");
    EXPECT_EQ(run.status, 0) << program.name;
    EXPECT_EQ(run.output, std::string(program.name) + " " + version + "\n");
    EXPECT_NE(RunTool(program.path, "--help").output.find("--version"), std::string::npos) << program.name;
  }
}

TEST(CommandLine, ABadSensorTextIsABadOptionAndSensorsThatAreNotThereAFailure) {
  TempDir dir;
  const std::string take = "--out " + dir.path() + " --frames 1";
  struct Case {
    const char* program;
    std::string arguments;
  } programs[] = {{KESTROVA_RECORD, take}, {KESTROVA_ALIGN, "--write " + dir.File("a.txt")},
                  {KESTROVA_STATION, ""}, {KESTROVA_WINDOW, ""}};
  for (const Case& c : programs) {
    for (const char* spec : {"sim:2,bogus=1", "sim:2,stall=7@3", "sim:five", "replay:", "webcam"}) {
      const CommandRun run = RunTool(c.program, "--sensors '" + std::string(spec) + "' " + c.arguments);
      EXPECT_EQ(run.status, 2) << c.program << " --sensors " << spec << "\n" << run.output;
    }
    const CommandRun missing = RunTool(c.program, "--sensors replay:" + dir.File("none") + " " + c.arguments);
    EXPECT_EQ(missing.status, 1) << c.program << "\n" << missing.output;
    EXPECT_NE(missing.output.find("no frames to replay in " + dir.File("none")), std::string::npos)
        << missing.output;
  }
}

TEST(CommandLine, EveryTakeCommandAnswersHelpAndAnUnknownOneIsNamed) {
  for (const char* verb : {"info", "verify", "export", "view", "times", "reprocess", "align"}) {
    for (const std::string& arguments : {std::string(" --help"), std::string(" /tmp --help")}) {
      const CommandRun run = RunTool(KESTROVA_TAKE, verb + arguments);
      EXPECT_EQ(run.status, 0) << verb << arguments << "\n" << run.output;
      EXPECT_EQ(run.output.rfind("usage: kestrova-take " + std::string(verb) + " DIR", 0), 0u) << run.output;
    }
  }
  const CommandRun whole = RunTool(KESTROVA_TAKE, "--help");
  for (const char* word : {"--speed X", "--screenshot FILE", "align DIR --write FILE", "Exit status"})
    EXPECT_NE(whole.output.find(word), std::string::npos) << word << " in\n" << whole.output;
  for (const char* arguments : {"bogus", "bogus /tmp", "INFO /tmp"}) {
    const CommandRun run = RunTool(KESTROVA_TAKE, arguments);
    EXPECT_EQ(run.status, 2) << arguments << "\n" << run.output;
    EXPECT_NE(run.output.find("unknown command '"), std::string::npos) << run.output;
    EXPECT_EQ(run.output.find("needs a take directory"), std::string::npos) << run.output;
  }
}

TEST(CommandLine, InfoAndViewSayWhenTheyCannotDoTheirWorkAndExitOne) {
  TempDir take;
  ASSERT_EQ(RunTool(KESTROVA_RECORD, "--sensors sim:1 --fps 0 --frames 3 --out " + take.path()).status, 0);
  EXPECT_EQ(RunTool(KESTROVA_TAKE, "info " + take.path()).status, 0);
  fs::resize_file(take.File("PCL1.dat"), fs::file_size(take.File("PCL1.dat")) - 2);
  for (const char* json : {"", " --json"}) {
    const CommandRun info = RunTool(KESTROVA_TAKE, "info " + take.path() + json);
    EXPECT_EQ(info.status, 1) << info.output;
    EXPECT_NE(info.output.find("PCL1.dat: record 2 at byte "), std::string::npos) << info.output;
  }
  const CommandRun view = testing::RunCommand("env -u DISPLAY '" KESTROVA_TAKE "' view " + take.path());
  EXPECT_EQ(view.status, 1) << view.output;
  EXPECT_NE(view.output.find("kestrova-take: view needs a display"), std::string::npos) << view.output;
}

TEST(CommandLine, ExportMakesItsFolderOnlyForWhatItWrites) {
  TempDir base;
  ASSERT_EQ(RunTool(KESTROVA_RECORD, "--sensors sim:1 --fps 0 --frames 3 --out " + base.path()).status, 0);
  CommandRun run = RunTool(KESTROVA_TAKE, "export " + base.path() + " --to " + base.File("frames"));
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_TRUE(fs::exists(base.File("frames/frame000002_cam1.pcd"))) << run.output;
  // A take that cannot be exported leaves no folder behind.
  run = RunTool(KESTROVA_TAKE, "export " + base.File("none") + " --to " + base.File("nothing"));
  EXPECT_EQ(run.status, 1) << run.output;
  EXPECT_FALSE(fs::exists(base.File("nothing")));
  run = RunTool(KESTROVA_TAKE, "export " + base.path() + " --to " + base.File("no/such/parent"));
  EXPECT_EQ(run.status, 1) << run.output;
  EXPECT_NE(run.output.find(base.File("no/such/parent")), std::string::npos) << run.output;
}

}  // namespace
}  // namespace kestrova
