// The engine's thread hand-overs: preview and take starting and stopping in
// every order, sensors that stall, come late or are missing, and the close;
// and cycles of one moment: no camera loses a frame to another, none stays
// behind. Every wait here has a limit, and the scripted sensors decide when
// frames come.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <future>
#include <regex>
#include <thread>

#include "capture/SensorChoice.h"
#include "core/Recorder.h"
#include "tests/support/FakeSensors.h"
#include "tests/support/TakeFiles.h"
#include "tests/support/TempDir.h"
#include "tests/support/Waiting.h"

namespace kestrova {
namespace {

using namespace std::chrono_literals;
using testing::FakeBackend;
using testing::FakeSensorState;
using testing::TempDir;

using testing::Eventually;

template <class T>
bool Finishes(std::future<T>& future, std::chrono::milliseconds limit = 10s) {
  return future.wait_for(limit) == std::future_status::ready;
}

// A consumer whose camera calls wait at a gate until the test opens it.
class GatedConsumer : public FrameConsumer {
 public:
  void OnCameraFrame(const CameraFrame&) override {
    std::unique_lock<std::mutex> lock(mutex_);
    ++calls_;
    changed_.notify_all();
    changed_.wait(lock, [this] { return open_; });
  }
  bool WaitForACall() {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, 10s, [this] { return calls_ > 0; });
  }
  void Open() {
    std::lock_guard<std::mutex> lock(mutex_);
    open_ = true;
    changed_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  int calls_ = 0;
  bool open_ = false;
};

class EngineTest : public ::testing::Test {
 protected:
  void Make(std::array<bool, 4> present, std::chrono::milliseconds frameWait = 200ms) {
    for (int i = 0; i < 4; ++i)
      if (present[i]) states_[i] = std::make_shared<FakeSensorState>();
    EngineTiming timing;
    timing.frameWait = frameWait;
    timing.stallLimit = 400ms;
    timing.nominalPeriod = 10ms;
    engine_ = std::make_unique<CRecorder>(std::make_unique<FakeBackend>(states_), timing);
    engine_->SetOutputDir(dir_.path());
  }

  void Enable(std::array<int, 4> enabled) {
    engine_->owner->Modify([&](OperatorSettings& s) {
      for (int i = 0; i < 4; ++i) s.cameraEnabled[i] = enabled[i];
    });
  }

  // Every present, not stalled sensor delivers a frame every `period`; or
  // `tick` decides, tick after tick, what each sensor does.
  void StartTicking(std::function<void(int tick)> tick = nullptr, std::chrono::milliseconds period = 5ms) {
    ticking_ = true;
    ticker_ = std::thread([this, tick, period] {
      for (int n = 0; ticking_; ++n) {
        if (tick) {
          tick(n);
        } else {
          for (auto& state : states_)
            if (state) state->Tick();
        }
        std::this_thread::sleep_for(period);
      }
    });
  }

  // The stamps of camera `slot`'s time-stamp lines.
  std::vector<std::int64_t> RecordedStamps(int slot) {
    std::vector<std::int64_t> stamps;
    for (const auto& line : testing::ReadTimeStampLines(dir_.File("TS" + std::to_string(slot + 1) + ".txt")))
      stamps.push_back((line[1] << 32) + (line[2] & 0xFFFFFFFFLL));
    return stamps;
  }

  // Every frame camera `slot` made, from its first recorded frame to its
  // last, is in the take, in order: none was lost, neither in the sensor's
  // own queue (taken too late) nor in the engine.
  void ExpectNoFrameLost(int slot) {
    const std::vector<std::int64_t> recorded = RecordedStamps(slot);
    ASSERT_FALSE(recorded.empty());
    std::lock_guard<std::mutex> lock(states_[slot]->mutex);
    const std::vector<std::int64_t>& taken = states_[slot]->produced;
    auto first = std::find(taken.begin(), taken.end(), recorded.front());
    ASSERT_NE(first, taken.end());
    for (size_t i = 0; i < recorded.size(); ++i) {
      ASSERT_LT(first + i, taken.end());
      ASSERT_EQ(recorded[i], first[i]) << "camera " << slot + 1 << " lost the frame stamped " << first[i];
    }
  }

  void TearDown() override {
    if (engine_) engine_->Close();
    StopTicking();
  }

  void StopTicking() {
    ticking_ = false;
    if (ticker_.joinable()) ticker_.join();
  }

  bool Record() {
    std::string error;
    bool started = engine_->StartRecording(&error);
    EXPECT_TRUE(started) << error;
    return started;
  }

  bool WaitForCycles(std::uint64_t more) {
    std::uint64_t target = engine_->RecordCycles() + more;
    return Eventually([&] { return engine_->RecordCycles() >= target; });
  }

  void ExpectNoWorkerLeft() {
    EXPECT_FALSE(engine_->IsPreviewRunning());
    EXPECT_FALSE(engine_->IsRecording());
    EXPECT_FALSE(engine_->TakeThreadAlive());
  }

  TempDir dir_;
  std::array<std::shared_ptr<FakeSensorState>, 4> states_;
  std::unique_ptr<CRecorder> engine_;
  std::atomic<bool> ticking_{false};
  std::thread ticker_;
};

TEST_F(EngineTest, PreviewStartedAndStoppedAtOnceLeavesNoLoopAndTheCamerasDrained) {
  Make({true, true, false, false});
  StartTicking();
  for (int i = 0; i < 20; ++i) {
    engine_->StartPreview();
    EXPECT_TRUE(engine_->StopPreview());
    EXPECT_FALSE(engine_->IsPreviewRunning());
  }
  // The acquisitions take the frames whether a loop runs or not.
  ASSERT_TRUE(states_[1]->WaitUntil([](FakeSensorState& s) { return s.delivered > 10 && s.pending.empty(); }));
  EXPECT_EQ(engine_->WorkerThreadsStarted(), kCameraCount);
}

TEST_F(EngineTest, StopDuringACycleWaitsForThatCycleAndEveryFrameIsHandedBack) {
  Make({true, false, false, false}, 5s);
  StartTicking();
  GatedConsumer gate;
  engine_->Attach(&gate);
  engine_->StartPreview();
  ASSERT_TRUE(gate.WaitForACall());

  auto stop = std::async(std::launch::async, [&] { return engine_->StopPreview(); });
  EXPECT_FALSE(Finishes(stop, 100ms));  // the cycle in hand is finished first
  gate.Open();
  ASSERT_TRUE(Finishes(stop));
  EXPECT_TRUE(stop.get());
  engine_->Detach(&gate);
  engine_->Close();
  std::lock_guard<std::mutex> lock(states_[0]->mutex);
  EXPECT_EQ(states_[0]->delivered, states_[0]->releases);
  EXPECT_EQ(states_[0]->busy, 0);
  EXPECT_FALSE(states_[0]->shutDownWhileBusy);
}

TEST_F(EngineTest, StalledFirstSensorHoldsNeitherAStopNorTheOtherCamerasTake) {
  Make({true, true, false, false});
  Enable({1, 1, 0, 0});
  states_[0]->stalled = true;
  StartTicking();
  engine_->StartPreview();
  std::this_thread::sleep_for(50ms);
  auto stop = std::async(std::launch::async, [&] { return engine_->StopPreview(); });
  ASSERT_TRUE(Finishes(stop));

  // Camera 1 paces by default; camera 2 paces in its place and is recorded on.
  ASSERT_TRUE(Record());
  ASSERT_TRUE(WaitForCycles(10));
  EXPECT_TRUE(engine_->IsRecording());
  EXPECT_TRUE(engine_->Loss(0).LostNow());
  EXPECT_EQ(engine_->Loss(0).lostAt, 0);
  EXPECT_FALSE(engine_->Loss(1).Lost());
  EXPECT_TRUE(engine_->StopRecording());
  EXPECT_EQ(engine_->LastTake().end, TakeEnd::Stopped);
  EXPECT_EQ(testing::ReadFile(dir_.File("TS1.txt")), "");
}

TEST_F(EngineTest, MissingFirstSensorIsPacedByTheNextAndNeverGrabbed) {
  Make({false, true, true, false});
  Enable({1, 1, 1, 0});
  StartTicking();
  engine_->StartPreview();
  ASSERT_TRUE(Eventually([&] { return engine_->GrabCount(1) > 3 && engine_->GrabCount(2) > 3; }));
  EXPECT_TRUE(engine_->StopPreview());
  EXPECT_EQ(engine_->GrabCount(0), 0u);
  EXPECT_FALSE(engine_->cameraActive[0]);
}

TEST_F(EngineTest, WithoutAnySensorTheLoopsRunOnTheNominalTimer) {
  Make({false, false, false, false});
  EXPECT_EQ(engine_->SensorCount(), 0);
  engine_->StartPreview();
  ASSERT_TRUE(Eventually([&] { return engine_->PreviewCycles() > 3; }));
  Enable({0, 0, 0, 0});  // with camera 1 checked and no sensor, a take is refused
  ASSERT_TRUE(Record());
  ASSERT_TRUE(WaitForCycles(3));
  EXPECT_TRUE(engine_->StopRecording());
  EXPECT_EQ(engine_->LastTake().end, TakeEnd::Stopped);
  EXPECT_TRUE(engine_->IsPreviewRunning());  // handed back to the preview
}

TEST_F(EngineTest, CheckedCameraWithoutSensorIsSkippedInATake) {
  Make({true, false, true, false});
  Enable({1, 1, 1, 1});
  StartTicking();
  ASSERT_TRUE(Record());
  ASSERT_TRUE(Eventually([&] { return engine_->GrabCount(0) >= 5 && engine_->GrabCount(2) >= 5; }));
  EXPECT_TRUE(engine_->StopRecording());
  EXPECT_EQ(engine_->GrabCount(1), 0u);
  EXPECT_EQ(engine_->GrabCount(3), 0u);
}

TEST_F(EngineTest, CloseDuringATakeJoinsEverythingThenShutsTheSensorsDown) {
  Make({true, true, true, true});
  Enable({1, 1, 0, 1});
  StartTicking();
  engine_->StartPreview();
  ASSERT_TRUE(Record());
  ASSERT_TRUE(WaitForCycles(5));
  engine_->Close();
  ExpectNoWorkerLeft();
  EXPECT_EQ(engine_->LastTake().end, TakeEnd::Closed);
  EXPECT_TRUE(std::filesystem::exists(dir_.File("RECPARAM.txt")));
  for (auto& state : states_) {
    std::lock_guard<std::mutex> lock(state->mutex);
    EXPECT_TRUE(state->shutDown);
    EXPECT_FALSE(state->shutDownWhileBusy);
  }
}

TEST_F(EngineTest, TimeLimitEndsTheTakeAndCloseStillJoinsIt) {
  Make({true, false, false, false});
  engine_->owner->Modify([](OperatorSettings& s) { s.maxRecordingMinutes = 0; });
  StartTicking();
  engine_->StartPreview();
  ASSERT_TRUE(Record());
  ASSERT_TRUE(Eventually([&] { return !engine_->IsRecording(); }));
  EXPECT_FALSE(engine_->StopRecording());  // a later stop does nothing
  engine_->Close();
  ExpectNoWorkerLeft();
  EXPECT_EQ(engine_->LastTake().end, TakeEnd::TimeLimit);
  EXPECT_GE(engine_->LastTake().cycles, 1);
}

TEST_F(EngineTest, ATakeStartedWhileTheLastIsStillFinishingWaitsForIt) {
  Make({true, false, false, false});
  engine_->owner->Modify([](OperatorSettings& s) { s.maxRecordingMinutes = 0; });
  StartTicking();
  // Each take ends by the time limit after its first cycle; the next one is
  // started as soon as recording is clear, while the last may still be
  // closing its files and handing the sensors back.
  for (int take = 0; take < 10; ++take) {
    ASSERT_TRUE(Record());
    ASSERT_TRUE(Eventually([&] { return !engine_->IsRecording(); }));
  }
  ASSERT_TRUE(Eventually([&] { return !engine_->TakeThreadAlive(); }));
  EXPECT_EQ(engine_->LastTake().end, TakeEnd::TimeLimit);
  EXPECT_EQ(RecordedStamps(0).size(), static_cast<size_t>(engine_->LastTake().cycles));
}

TEST_F(EngineTest, StopIsIgnoredWhileTheRecordPressWaitsForThePreview) {
  Make({true, false, false, false}, 5s);
  StartTicking();
  GatedConsumer gate;
  engine_->Attach(&gate);
  engine_->StartPreview();
  ASSERT_TRUE(gate.WaitForACall());  // the preview holds a cycle
  ASSERT_TRUE(Record());
  EXPECT_FALSE(engine_->StopRecording());
  gate.Open();
  ASSERT_TRUE(WaitForCycles(3));  // the take goes on
  EXPECT_TRUE(engine_->IsRecording());
  EXPECT_TRUE(engine_->StopRecording());
  EXPECT_TRUE(engine_->IsPreviewRunning());
  engine_->Detach(&gate);
}

TEST_F(EngineTest, StopIsIgnoredWhilePreviewingAndRecordWhileRecording) {
  Make({true, false, false, false});
  StartTicking();
  engine_->StartPreview();
  EXPECT_FALSE(engine_->StopRecording());
  ASSERT_TRUE(Record());
  std::string error;
  EXPECT_FALSE(engine_->StartRecording(&error));
  EXPECT_NE(error.find("already"), std::string::npos);
}

TEST_F(EngineTest, TakeIntoAMissingDirectoryIsRefusedAndNothingStarts) {
  Make({true, false, false, false});
  StartTicking();
  engine_->StartPreview();
  engine_->SetOutputDir(dir_.File("missing"));
  std::string error;
  EXPECT_FALSE(engine_->StartRecording(&error));
  EXPECT_NE(error.find(dir_.File("missing")), std::string::npos) << error;
  EXPECT_FALSE(engine_->IsRecording());
  EXPECT_FALSE(engine_->TakeThreadAlive());
  EXPECT_TRUE(engine_->IsPreviewRunning());
}

TEST_F(EngineTest, TakeWithNoCameraEnabledStillRunsItsCycles) {
  Make({true, true, false, false});
  Enable({0, 0, 0, 0});
  StartTicking();
  ASSERT_TRUE(Record());
  ASSERT_TRUE(WaitForCycles(5));
  EXPECT_TRUE(engine_->StopRecording());
  EXPECT_EQ(engine_->GrabCount(0) + engine_->GrabCount(1), 0u);
}

TEST_F(EngineTest, UncheckingACameraDuringATakeChangesOnlyTheNextTake) {
  Make({true, true, false, false});
  Enable({1, 1, 0, 0});
  StartTicking();
  ASSERT_TRUE(Record());
  ASSERT_TRUE(WaitForCycles(3));
  Enable({1, 0, 0, 0});
  std::uint64_t before = engine_->GrabCount(1);
  ASSERT_TRUE(WaitForCycles(3));
  EXPECT_GT(engine_->GrabCount(1), before);
  EXPECT_TRUE(engine_->StopRecording());

  ASSERT_TRUE(Record());
  std::uint64_t after = engine_->GrabCount(1);
  ASSERT_TRUE(WaitForCycles(3));
  EXPECT_TRUE(engine_->StopRecording());
  EXPECT_EQ(engine_->GrabCount(1), after);
}

TEST_F(EngineTest, ElapsedTextIsRefreshedEveryThirtyCycles) {
  Make({true, false, false, false});
  engine_->owner->SetElapsedText("previous take");
  StartTicking();
  ASSERT_TRUE(Record());
  ASSERT_TRUE(WaitForCycles(29));
  ASSERT_TRUE(Eventually([&] { return engine_->owner->ElapsedText() != "previous take"; }));
  EXPECT_TRUE(std::regex_match(engine_->owner->ElapsedText(), std::regex(" 0 min [ 1-9][0-9] sec")))
      << engine_->owner->ElapsedText();
}

TEST_F(EngineTest, AFrameWithNoPixelInRangeGivesEmptyCloudsAndEmptyRecords) {
  Make({true, false, false, false});
  // Every pixel reads 8191 mm, beyond camera 1's limit of 1228 mm.
  std::fill(states_[0]->texture.pixels.begin(), states_[0]->texture.pixels.end(), 8191 << 3);
  StartTicking();
  ASSERT_TRUE(Record());
  ASSERT_TRUE(WaitForCycles(3));
  EXPECT_TRUE(engine_->StopRecording());
  EXPECT_TRUE(engine_->workClouds[0].empty());
  EXPECT_TRUE(engine_->clouds[0].empty());
  const std::string records = testing::ReadFile(dir_.File("PCL1.dat"));
  const auto lines = testing::ReadTimeStampLines(dir_.File("TS1.txt"));
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(records, std::string(4 * lines.size(), '\0'));  // a count of 0 per cycle, nothing else
  EXPECT_EQ(lines[0][0], 0);
}

// Cameras lost during a take: the others record on and are not held up.
class LostCameraTest : public EngineTest {
 protected:
  // The frame numbers of camera n's time-stamp lines.
  std::vector<long long> FrameNumbers(int n) {
    std::vector<long long> numbers;
    for (const auto& line : testing::ReadTimeStampLines(dir_.File("TS" + std::to_string(n) + ".txt")))
      numbers.push_back(line[0]);
    return numbers;
  }
  // A take of `enabled` on sensors ticking every 20 ms, a few cycles in:
  // slow enough that a busy machine holds no camera up past the latency
  // budget, so that what a camera misses is the engine's doing.
  void RecordAFewCycles(std::array<bool, 4> present, std::array<int, 4> enabled) {
    Make(present, 5s);
    Enable(enabled);
    StartTicking(nullptr, 20ms);
    ASSERT_TRUE(Record());
    ASSERT_TRUE(WaitForCycles(5));
  }
  static std::vector<long long> Range(long long from, long long to) {
    std::vector<long long> numbers;
    for (long long i = from; i < to; ++i) numbers.push_back(i);
    return numbers;
  }
};

TEST_F(LostCameraTest, SilentCameraIsLostAfterThreeCyclesCostsTheOthersNoFrameAndIsTakenBack) {
  // Sensors that keep only their newest frame and deliver one every 40 ms:
  // a cycle that held them up for more than a period would cost frames.
  Make({true, true, true, false}, 5s);
  for (int slot : {0, 1, 2}) states_[slot]->queueLimit = 1;
  Enable({1, 1, 1, 0});
  StartTicking(nullptr, 40ms);
  ASSERT_TRUE(Record());
  ASSERT_TRUE(WaitForCycles(5));
  states_[1]->SetStalled(true);
  ASSERT_TRUE(Eventually([&] { return engine_->Loss(1).LostNow(); }));  // told during the take
  const int lostAt = engine_->Loss(1).lostAt;
  EXPECT_FALSE(engine_->Loss(1).deviceGone);
  ASSERT_TRUE(WaitForCycles(10));
  EXPECT_TRUE(engine_->IsRecording());

  states_[1]->SetStalled(false);
  ASSERT_TRUE(Eventually([&] { return engine_->Loss(1).backAt >= 0; }));
  const int backAt = engine_->Loss(1).backAt;
  ASSERT_TRUE(WaitForCycles(3));
  EXPECT_TRUE(engine_->StopRecording());

  const int cycles = engine_->LastTake().cycles;
  EXPECT_EQ(FrameNumbers(1), Range(0, cycles));
  EXPECT_EQ(FrameNumbers(3), Range(0, cycles));
  std::vector<long long> second = FrameNumbers(2);
  ASSERT_FALSE(second.empty());
  EXPECT_EQ(std::vector<long long>(second.begin(), second.begin() + lostAt), Range(0, lostAt));
  EXPECT_EQ(std::vector<long long>(second.begin() + lostAt, second.end()), Range(backAt, cycles));
  size_t trailing = 1;
  EXPECT_EQ(testing::ReadRecordCounts(dir_.File("PCL2.dat"), &trailing).size(), second.size());
  EXPECT_EQ(trailing, 0u);
  // While camera 2 was being found out, cameras 1 and 3 lost nothing.
  ExpectNoFrameLost(0);
  ExpectNoFrameLost(2);
}

// A camera that drops a frame now and then (a USB hiccup) gives each cycle
// the frame of that cycle's moment, and none in the cycle whose frame it
// dropped: it is never left a frame behind or ahead of the others (before,
// it handed its next frame to the cycle it had none for, and stayed a
// frame ahead from then on).
TEST_F(LostCameraTest, ACameraThatDroppedAFrameIsInStepAtEveryCycle) {
  Make({true, true, false, false}, 5s);
  Enable({1, 1, 0, 0});
  // Sensors that queue a second of frames: on a busy machine the test's
  // sensors themselves must not drop what the engine is judged on.
  for (int slot : {0, 1}) states_[slot]->queueLimit = 50;
  // Both cameras take every frame at the same moment, so they stamp it alike.
  StartTicking([this](int tick) {
    const std::int64_t now = states_[0]->ClockMs();
    states_[0]->TickStamped(now);
    if (tick % 40 != 20) states_[1]->TickStamped(now);  // camera 2 drops this one
  }, 20ms);
  ASSERT_TRUE(Record());
  ASSERT_TRUE(WaitForCycles(100));
  EXPECT_TRUE(engine_->StopRecording());
  StopTicking();
  const auto first = testing::ReadTimeStampLines(dir_.File("TS1.txt"));
  const auto second = testing::ReadTimeStampLines(dir_.File("TS2.txt"));
  ASSERT_GE(first.size(), 100u);
  EXPECT_GE(second.size(), first.size() - 4);  // a frame dropped every 40 cycles
  size_t compared = 0;
  for (const auto& line : second) {
    auto same = std::find_if(first.begin(), first.end(), [&](const auto& l) { return l[0] == line[0]; });
    ASSERT_NE(same, first.end()) << "frame " << line[0] << " of camera 2 alone";
    EXPECT_EQ(line[2], (*same)[2]) << "frame " << line[0] << ": camera 2 is out of step";
    ++compared;
  }
  EXPECT_EQ(compared, second.size());
  ExpectNoFrameLost(0);
  ExpectNoFrameLost(1);
}

TEST_F(LostCameraTest, UnpluggedPacingCameraIsLostAtOnceAndTheNextPaces) {
  RecordAFewCycles({true, true, false, false}, {1, 1, 0, 0});
  states_[0]->SetUnplugged(true);
  ASSERT_TRUE(WaitForCycles(10));  // paced by camera 2 now
  EXPECT_TRUE(engine_->IsRecording());
  const CameraLoss loss = engine_->Loss(0);
  EXPECT_TRUE(loss.LostNow());
  EXPECT_TRUE(loss.deviceGone);
  EXPECT_TRUE(engine_->StopRecording());
  EXPECT_EQ(FrameNumbers(1), Range(0, loss.lostAt));
  EXPECT_EQ(FrameNumbers(2), Range(0, engine_->LastTake().cycles));
}

TEST_F(LostCameraTest, TakeWhoseCamerasAreAllLostEndsAndCountsWhatTheFilesHold) {
  RecordAFewCycles({true, true, false, false}, {1, 1, 0, 0});
  states_[1]->SetStalled(true);
  ASSERT_TRUE(Eventually([&] { return engine_->Loss(1).LostNow(); }));
  states_[0]->SetStalled(true);
  ASSERT_TRUE(Eventually([&] { return !engine_->TakeThreadAlive(); }));
  const TakeOutcome outcome = engine_->LastTake();
  EXPECT_EQ(outcome.end, TakeEnd::SensorStalled);
  EXPECT_NE(outcome.message.find("cameras 1, 2 stopped delivering frames"), std::string::npos)
      << outcome.message;
  EXPECT_EQ(static_cast<size_t>(outcome.cycles), FrameNumbers(1).size());
  EXPECT_EQ(outcome.cycles, engine_->Loss(0).lostAt);
}

// A free-running simulated sensor makes a frame only when one was taken:
// the preview must be paced by the cameras it shows, not by camera 1.
TEST(PreviewPacing, FreeRunningSensorsPaceThePreviewWithoutCameraOne) {
  std::string error;
  auto backend = MakeSensorBackend("sim:2", 0, &error);
  ASSERT_NE(backend, nullptr) << error;
  CRecorder engine(std::move(backend));
  engine.owner->Modify([](OperatorSettings& s) {
    s.cameraEnabled[0] = 0;
    s.cameraEnabled[1] = 1;
  });
  engine.StartPreview();
  EXPECT_TRUE(Eventually([&] { return engine.PreviewCycles() > 20; }));
  EXPECT_EQ(engine.GrabCount(0), 0u);
  engine.Close();
}

// Camera 1's first frame stamp from the cycles it is attached to.
class FirstStampOfCameraOne : public FrameConsumer {
 public:
  void OnCameraFrame(const CameraFrame& frame) override {
    if (frame.camera == 0 && !got) {
      stamp = frame.stamp;
      got = true;
    }
  }
  bool OnCycle(const CycleFrame&) override { return !got; }

  std::atomic<bool> got{false};
  std::int64_t stamp = 0;
};

// While no loop runs, a live sensor's queue keeps its two newest frames; a
// loop that starts does not show them: at 5 frames a second the older is
// at least 200 ms old.
TEST(PreviewPacing, ALoopStartsWithAFrameTakenAfterItStarted) {
  std::string error;
  const auto beforeStart = std::chrono::steady_clock::now();
  auto backend = MakeSensorBackend("sim:1", 5, &error);
  ASSERT_NE(backend, nullptr) << error;
  CRecorder engine(std::move(backend));
  engine.StartPreview();
  EXPECT_TRUE(Eventually([&] { return engine.PreviewCycles() >= 2; }));
  engine.StopPreview();
  std::this_thread::sleep_for(700ms);  // the queue is full of frames taken meanwhile

  FirstStampOfCameraOne first;
  engine.Attach(&first);
  const auto restart = std::chrono::steady_clock::now();
  engine.StartPreview();
  ASSERT_TRUE(Eventually([&] { return first.got.load(); }));
  engine.Close();
  // Simulated camera 1's clock reads 1500 ms when it is switched on, a few
  // milliseconds after `beforeStart`. A frame taken at `restart` or later
  // is stamped at least 1500 + (restart - beforeStart) less that delay; the
  // older queued frame at most 200 ms less.
  const auto sinceStart = std::chrono::duration_cast<std::chrono::milliseconds>(restart - beforeStart).count();
  EXPECT_GT(first.stamp, 1500 + sinceStart - 100);
}

TEST(ElapsedText, MinutesAndSecondsRightAlignedInTwoCharacters) {
  EXPECT_EQ(ElapsedText(1200), " 0 min  1 sec");
  EXPECT_EQ(ElapsedText(61500), " 1 min  1 sec");
  EXPECT_EQ(ElapsedText(659999), "10 min 59 sec");
  EXPECT_EQ(ElapsedText(6000000), "100 min  0 sec");
}

}  // namespace
}  // namespace kestrova
