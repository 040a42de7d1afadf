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
#include <vtkProperty.h>
#include <vtkNew.h>
#include <vtkRenderWindow.h>

#include "capture/SensorChoice.h"
#include "preview/PclPreview.h"
#include "preview/PreviewScene.h"
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

vtkActor* CloudActor(PCLVisualizer& viewer, const std::string& id) {
  auto found = viewer.getCloudActorMap()->find(id);
  return found == viewer.getCloudActorMap()->end() ? nullptr : found->second.actor.GetPointer();
}

vtkActor* ShapeActor(PCLVisualizer& viewer, const std::string& id) {
  auto found = viewer.getShapeActorMap()->find(id);
  if (found == viewer.getShapeActorMap()->end()) return nullptr;
  return vtkActor::SafeDownCast(found->second);
}

TEST_F(PreviewTest, CamerasBoxAndPickMarkerAsItemsOfTheViewer) {
  auto viewer = MakePreviewViewer();
  pcl::PointCloud<pcl::PointXYZ> cloud;
  cloud.push_back({0.01f, -0.02f, 0.0f});
  PreviewScene scene;
  scene.active[2] = true;  // camera 3 alone
  for (auto& c : scene.clouds) c = &cloud;
  scene.colours[2][0] = 0;
  scene.colours[2][1] = 255;
  scene.colours[2][2] = 255;
  const float box[6] = {-0.0348f, 0.0312f, -0.0492f, -0.0048f, -0.0264f, 0.0156f};
  std::copy(box, box + 6, scene.box);

  DrawScene(*viewer, scene);
  EXPECT_EQ(viewer->getCloudActorMap()->size(), 1u);
  ASSERT_NE(CloudActor(*viewer, "cloud2"), nullptr);
  EXPECT_DOUBLE_EQ(CloudActor(*viewer, "cloud2")->GetProperty()->GetPointSize(), 2.0);
  vtkActor* roi = ShapeActor(*viewer, "roi");
  ASSERT_NE(roi, nullptr);
  EXPECT_EQ(roi->GetProperty()->GetRepresentation(), VTK_WIREFRAME);
  EXPECT_DOUBLE_EQ(roi->GetProperty()->GetColor()[0], 0.3);
  double bounds[6];
  roi->GetBounds(bounds);
  for (int i = 0; i < 6; ++i) EXPECT_NEAR(bounds[i], box[i], 1e-6);
  EXPECT_FALSE(viewer->contains("pick"));

  scene.picks.count = 1;
  scene.picks.points[0][0] = 0.005f;
  DrawScene(*viewer, scene);  // everything removed and added again: no duplicate ids
  ASSERT_NE(CloudActor(*viewer, "pick"), nullptr);
  EXPECT_DOUBLE_EQ(CloudActor(*viewer, "pick")->GetProperty()->GetPointSize(), 8.0);
  EXPECT_EQ(ShapeActor(*viewer, "pick"), nullptr);

  scene.picks.count = 2;
  DrawScene(*viewer, scene);
  EXPECT_EQ(CloudActor(*viewer, "pick"), nullptr);
  vtkActor* line = ShapeActor(*viewer, "pick");
  ASSERT_NE(line, nullptr);
  EXPECT_DOUBLE_EQ(line->GetProperty()->GetLineWidth(), 5.0);
  EXPECT_DOUBLE_EQ(line->GetProperty()->GetColor()[0], 1.0);
  EXPECT_DOUBLE_EQ(line->GetProperty()->GetColor()[1], 0.0);

  scene.picks.count = 0;
  scene.active[2] = false;
  DrawScene(*viewer, scene);
  EXPECT_FALSE(viewer->contains("pick"));
  EXPECT_FALSE(viewer->contains("cloud2"));
  EXPECT_TRUE(viewer->contains("roi"));
}

// Counts the preview windows opened and closed, what the last frame showed,
// and how often the window was rendered.
class WatchedPreview : public PclPreview {
 public:
  WatchedPreview() {
    SetAfterDraw([this](PCLVisualizer& viewer) {
      std::lock_guard<std::mutex> lock(mutex);
      ids.clear();
      for (const auto& entry : *viewer.getCloudActorMap()) ids.push_back(entry.first);
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
  std::vector<std::string> Ids() {
    std::lock_guard<std::mutex> lock(mutex);
    return ids;
  }

  std::mutex mutex;
  std::vector<std::string> ids;
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

TEST_F(PreviewTest, ShowsCameraThreeAloneAsCloud2) {
  auto engine = SimEngine({0, 0, 1, 0});
  WatchedPreview preview;
  engine->SetPreview(&preview);
  engine->StartPreview();
  ASSERT_TRUE(Eventually([&] { return preview.draws > 2; }));
  EXPECT_EQ(preview.Ids(), std::vector<std::string>{"cloud2"});
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
  preview.SetAfterDraw([&gate](PCLVisualizer&) {
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
