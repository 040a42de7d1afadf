// The live preview window (under Xvfb): the items it draws after a frame,
// its redraw at every frame, a slow redraw that never holds the cameras,
// its hand-over to takes and back with exactly one window on screen, and
// the operator closing it by hand.
#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <thread>

#include <vtkActor.h>
#include <vtkCallbackCommand.h>
#include <vtkDataSet.h>
#include <vtkMapper.h>
#include <vtkProperty.h>
#include <vtkNew.h>
#include <vtkRenderWindow.h>

#include "capture/SensorChoice.h"
#include "preview/PclPreview.h"
#include "preview/PreviewWindow.h"
#include "tests/support/TempDir.h"
#include "tests/support/Waiting.h"
#include "tests/support/X11Close.h"

namespace kestrova {
namespace {

using namespace std::chrono_literals;
using pcl::visualization::PCLVisualizer;

using testing::Eventually;

class PreviewTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::getenv("DISPLAY") == nullptr) GTEST_SKIP() << "needs an X display (run under xvfb-run)";
  }
};

// One camera's cycle: camera 3 alone (slot 2) with `points` as its final cloud.
PreviewFrame CameraThreeFrame(std::vector<float> points) {
  PreviewFrame frame;
  frame.active[2] = true;
  frame.points[2] = std::move(points);
  frame.colours[2][1] = frame.colours[2][2] = 255;
  const float box[6] = {-0.0348f, 0.0312f, -0.0492f, -0.0048f, -0.0264f, 0.0156f};
  std::copy(box, box + 6, frame.box);
  return frame;
}

std::vector<float> ActorPoints(vtkActor* actor) {
  vtkDataSet* data = actor->GetMapper()->GetInput();
  std::vector<float> xyz;
  for (vtkIdType i = 0; i < data->GetNumberOfPoints(); ++i)
    for (int k = 0; k < 3; ++k) xyz.push_back(static_cast<float>(data->GetPoint(i)[k]));
  return xyz;
}

TEST_F(PreviewTest, ItemsAreUpdatedInPlaceFrameByFrame) {
  WindowPlacement placement;
  CalibrationPicks picks;
  PreviewWindow window(placement, picks, std::nullopt);
  const PreviewItems& items = window.Items();
  vtkActor* cloud = items.CloudActor(2);
  PreviewFrame frame = CameraThreeFrame({0.01f, -0.02f, 0.0f});
  PickState noPicks;
  window.Show(frame, noPicks);
  window.Render();
  EXPECT_TRUE(cloud->GetVisibility());
  for (int slot : {0, 1, 3}) EXPECT_FALSE(items.CloudActor(slot)->GetVisibility());
  EXPECT_EQ(ActorPoints(cloud), (std::vector<float>{0.01f, -0.02f, 0.0f}));
  EXPECT_DOUBLE_EQ(cloud->GetProperty()->GetPointSize(), 2.0);
  EXPECT_DOUBLE_EQ(cloud->GetProperty()->GetColor()[0], 0.0);
  EXPECT_DOUBLE_EQ(cloud->GetProperty()->GetColor()[1], 1.0);
  vtkActor* roi = items.BoxActor();
  EXPECT_EQ(roi->GetProperty()->GetRepresentation(), VTK_WIREFRAME);
  EXPECT_DOUBLE_EQ(roi->GetProperty()->GetColor()[0], 0.3);
  double bounds[6];
  roi->GetBounds(bounds);
  for (int i = 0; i < 6; ++i) EXPECT_NEAR(bounds[i], frame.box[i], 1e-6);
  EXPECT_FALSE(items.PickPointActor()->GetVisibility());
  EXPECT_FALSE(items.PickLineActor()->GetVisibility());

  // The next frames: the same actors with the new points, larger and smaller.
  std::vector<float> many;
  for (int i = 0; i < 3000; ++i) many.insert(many.end(), {i * 1e-5f, 0.001f, -0.002f});
  PreviewFrame larger = CameraThreeFrame(many);
  window.Show(larger, noPicks);
  window.Render();
  EXPECT_EQ(items.CloudActor(2), cloud);
  EXPECT_EQ(ActorPoints(cloud), many);
  PreviewFrame smaller = CameraThreeFrame({0.003f, 0.004f, 0.005f, 0.006f, 0.007f, 0.008f});
  window.Show(smaller, noPicks);
  window.Render();
  EXPECT_EQ(ActorPoints(cloud), (std::vector<float>{0.003f, 0.004f, 0.005f, 0.006f, 0.007f, 0.008f}));

  // The marker: a red point of size 8 on the first pick, a red line of
  // width 5 after the second, nothing after the third.
  PickState one;
  one.count = 1;
  one.points[0][0] = 0.005f;
  window.Show(smaller, one);
  EXPECT_TRUE(items.PickPointActor()->GetVisibility());
  EXPECT_FALSE(items.PickLineActor()->GetVisibility());
  EXPECT_DOUBLE_EQ(items.PickPointActor()->GetProperty()->GetPointSize(), 8.0);
  EXPECT_EQ(ActorPoints(items.PickPointActor()), (std::vector<float>{0.005f, 0, 0}));
  PickState two = one;
  two.count = 2;
  two.points[1][1] = 0.01f;
  window.Show(smaller, two);
  EXPECT_FALSE(items.PickPointActor()->GetVisibility());
  vtkActor* line = items.PickLineActor();
  ASSERT_TRUE(line->GetVisibility());
  line->GetMapper()->Update();
  EXPECT_EQ(ActorPoints(line).size(), 6u);
  EXPECT_DOUBLE_EQ(line->GetProperty()->GetLineWidth(), 5.0);
  EXPECT_DOUBLE_EQ(line->GetProperty()->GetColor()[0], 1.0);
  EXPECT_DOUBLE_EQ(line->GetProperty()->GetColor()[1], 0.0);
  PreviewFrame none = smaller;
  none.active[2] = false;
  window.Show(none, noPicks);
  EXPECT_FALSE(cloud->GetVisibility());
  EXPECT_FALSE(line->GetVisibility());
  EXPECT_TRUE(roi->GetVisibility());
}

// Counts the preview windows opened and closed, what the last frame showed,
// and how often the window was rendered.
class WatchedPreview : public PclPreview {
 public:
  WatchedPreview() {
    SetAfterShow([this](PreviewWindow& shown) {
      std::lock_guard<std::mutex> lock(mutex);
      PCLVisualizer& viewer = shown.Viewer();
      shownSlots.clear();
      for (int slot = 0; slot < kCameraCount; ++slot)
        if (shown.Items().CloudActor(slot)->GetVisibility()) shownSlots.push_back(slot);
      window = reinterpret_cast<unsigned long>(viewer.getRenderWindow()->GetGenericWindowId());
      if (!drawnThisRun) {
        drawnThisRun = true;
        vtkNew<vtkCallbackCommand> counter;
        counter->SetClientData(&renders);
        counter->SetCallback([](vtkObject*, unsigned long, void* count, void*) {
          ++*static_cast<std::atomic<int>*>(count);
        });
        viewer.getRenderWindow()->AddObserver(vtkCommand::EndEvent, counter);
      }
      ++draws;
    });
  }
  void Begin(CRecorder& engine) override {
    ++opened;
    drawnThisRun = false;
    PclPreview::Begin(engine);
  }
  void End(CRecorder& engine) override {
    PclPreview::End(engine);
    ++closed;
  }
  std::vector<int> ShownSlots() {
    std::lock_guard<std::mutex> lock(mutex);
    return shownSlots;
  }

  std::mutex mutex;
  std::vector<int> shownSlots;
  unsigned long window = 0;
  bool drawnThisRun = false;
  std::atomic<int> opened{0}, closed{0}, draws{0}, renders{0};
};

std::unique_ptr<CRecorder> SimEngine(std::array<int, 4> enabled) {
  std::string error;
  auto engine = std::make_unique<CRecorder>(MakeSensorBackend("sim:4", 30, &error));
  engine->owner->Modify([&](OperatorSettings& s) {
    for (int i = 0; i < 4; ++i) s.cameraEnabled[i] = enabled[i];
  });
  return engine;
}

TEST_F(PreviewTest, ShowsCameraThreeAloneInSlot2) {
  auto engine = SimEngine({0, 0, 1, 0});
  WatchedPreview preview;
  engine->SetPreview(&preview);
  engine->StartPreview();
  ASSERT_TRUE(Eventually([&] { return preview.draws > 2; }));
  EXPECT_EQ(preview.ShownSlots(), std::vector<int>{2});
  engine->Close();
  EXPECT_EQ(preview.opened, 1);
  EXPECT_EQ(preview.closed, 1);
}

TEST_F(PreviewTest, RendersEveryFrameWithNobodyTouchingTheWindow) {
  auto engine = SimEngine({1, 0, 0, 0});
  WatchedPreview preview;
  engine->SetPreview(&preview);
  engine->StartPreview();
  ASSERT_TRUE(Eventually([&] { return preview.draws >= 20; }));
  engine->Close();
  // Counted from the first frame's draw on, which comes before its render.
  EXPECT_GE(preview.renders, preview.draws - 1);
  // And not more often than the cameras deliver: once per cycle, besides
  // the few times the window is mapped and exposed.
  EXPECT_LE(preview.Renders(), engine->PreviewCycles() + 4);
}

// A redraw that takes long (here: held at a gate) skips preview frames; the
// cameras' cycles go on at their own pace and lose nothing.
TEST_F(PreviewTest, ASlowRedrawSkipsPreviewFramesAndNeverHoldsTheCameras) {
  // Where the render thread waits after its first redraw; opened at the
  // latest when the test ends, before the engine joins that thread.
  struct Gate {
    std::mutex mutex;
    std::condition_variable changed;
    bool held = false, open = false;
    void Open() {
      std::lock_guard<std::mutex> lock(mutex);
      open = true;
      changed.notify_all();
    }
  };
  auto engine = SimEngine({1, 1, 0, 0});
  PclPreview preview;
  Gate gate;
  std::unique_ptr<Gate, void (*)(Gate*)> opener(&gate, [](Gate* g) { g->Open(); });
  preview.SetAfterShow([&gate](PreviewWindow&) {
    std::unique_lock<std::mutex> lock(gate.mutex);
    gate.held = true;
    gate.changed.notify_all();
    gate.changed.wait(lock, [&gate] { return gate.open; });
  });
  engine->SetPreview(&preview);
  engine->StartPreview();
  {
    std::unique_lock<std::mutex> lock(gate.mutex);
    ASSERT_TRUE(gate.changed.wait_for(lock, 20s, [&gate] { return gate.held; }));
  }
  // The redraw is held: the cameras' cycles still come, a second's worth.
  const std::uint64_t cycles = engine->PreviewCycles();
  EXPECT_TRUE(Eventually([&] { return engine->PreviewCycles() >= cycles + 30; }));
  EXPECT_EQ(preview.FramesDrawn(), 0u);
  EXPECT_GE(preview.FramesSkipped(), 25u);
  EXPECT_EQ(engine->Statistics().Missed(0) + engine->Statistics().Missed(1), 0u);
  gate.Open();
  EXPECT_TRUE(Eventually([&] { return preview.FramesDrawn() >= 2; }));
  engine->Close();
}

TEST_F(PreviewTest, ATakeClosesThePreviewAndANewOneOpensAfterIt) {
  testing::TempDir dir;
  auto engine = SimEngine({1, 1, 0, 0});
  WatchedPreview preview;
  engine->SetPreview(&preview);
  engine->SetOutputDir(dir.path());
  engine->StartPreview();
  ASSERT_TRUE(Eventually([&] { return preview.draws > 1; }));
  std::string error;
  ASSERT_TRUE(engine->StartRecording(&error)) << error;
  ASSERT_TRUE(Eventually([&] { return engine->RecordCycles() >= 5; }));
  EXPECT_EQ(preview.closed, 1);  // no preview window during the take
  EXPECT_EQ(testing::WindowsOnScreen("Preview"), 0);
  EXPECT_TRUE(engine->StopRecording());
  EXPECT_TRUE(engine->IsPreviewRunning());
  int drawsAfter = preview.draws;
  ASSERT_TRUE(Eventually([&] { return preview.draws > drawsAfter; }));
  EXPECT_EQ(preview.opened, 2);
  // The new one, and no other.
  EXPECT_TRUE(Eventually([] { return testing::WindowsOnScreen("Preview") == 1; }, 5s));

  // Closing during a take: the take's files are closed and no preview is left.
  ASSERT_TRUE(engine->StartRecording(&error)) << error;
  ASSERT_TRUE(Eventually([&] { return engine->RecordCycles() >= 8; }));
  engine->Close();
  EXPECT_EQ(engine->LastTake().end, TakeEnd::Closed);
  EXPECT_FALSE(engine->IsPreviewRunning());
  EXPECT_EQ(preview.opened, preview.closed);
  EXPECT_EQ(testing::WindowsOnScreen("Preview"), 0);
}

TEST_F(PreviewTest, ClosingThePreviewByHandEndsItUntilTheNextTake) {
  testing::TempDir dir;
  auto engine = SimEngine({1, 0, 0, 0});
  WatchedPreview preview;
  engine->SetPreview(&preview);
  engine->SetOutputDir(dir.path());
  engine->StartPreview();
  ASSERT_TRUE(Eventually([&] { return preview.draws > 2; }));
  unsigned long window;
  {
    std::lock_guard<std::mutex> lock(preview.mutex);
    window = preview.window;
  }
  ASSERT_NE(window, 0u);
  ASSERT_TRUE(testing::RequestWindowClose(window));
  ASSERT_TRUE(Eventually([&] { return preview.closed == 1; }));
  EXPECT_FALSE(engine->IsPreviewRunning());
  EXPECT_EQ(testing::WindowsOnScreen("Preview"), 0);

  // Recording still works, and the preview is back after the take.
  const int drawsBefore = preview.draws;
  std::string error;
  ASSERT_TRUE(engine->StartRecording(&error)) << error;
  ASSERT_TRUE(Eventually([&] { return engine->RecordCycles() >= 3; }));
  EXPECT_TRUE(engine->StopRecording());
  EXPECT_TRUE(engine->IsPreviewRunning());
  ASSERT_TRUE(Eventually([&] { return preview.draws > drawsBefore; }));
  EXPECT_EQ(preview.opened, 2);
  EXPECT_TRUE(Eventually([] { return testing::WindowsOnScreen("Preview") == 1; }, 5s));
  engine->Close();
}

}  // namespace
}  // namespace kestrova
