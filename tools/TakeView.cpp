#include "tools/TakeView.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include <pcl/visualization/pcl_visualizer.h>
#include <vtkLogger.h>
#include <vtkRenderWindow.h>
#include <X11/Xlib.h>

#include "capture/CloudProcessing.h"
#include "preview/X11Events.h"
#include "record/TakeFrames.h"

namespace kestrova {

namespace {

using Clock = std::chrono::steady_clock;
using pcl::visualization::PCLVisualizer;

struct Player {
  size_t position = 0;
  bool paused = false;
  double speed = 1.0;
  bool redraw = true;
  size_t frames = 0;

  void Step(long delta) {
    paused = true;
    long next = static_cast<long>(position) + delta;
    position = static_cast<size_t>(std::clamp(next, 0L, static_cast<long>(frames) - 1));
    redraw = true;
  }
  void OnKey(const pcl::visualization::KeyboardEvent& event) {
    if (!event.keyDown()) return;
    const std::string key = event.getKeySym();
    if (key == "space") {
      paused = !paused;
    } else if (key == "Right" || key == "n") {
      Step(1);
    } else if (key == "Left" || key == "b") {
      Step(-1);
    } else if (key == "bracketright") {
      speed = std::min(speed * 2, 64.0);
    } else if (key == "bracketleft") {
      speed = std::max(speed / 2, 1.0 / 64);
    } else if (key == "Home") {
      position = 0;
      redraw = true;
    }
    redraw = true;
  }
};

void Draw(PCLVisualizer& viewer, const TakeFrame& frame, const TakeReport& report,
          const Player& player) {
  viewer.removeAllPointClouds();
  for (int slot = 0; slot < kCameraCount; ++slot) {
    if (!frame.has[slot]) continue;
    auto cloud = std::make_shared<pcl::PointCloud<pcl::PointXYZ>>();
    const std::vector<float>& xyz = frame.xyz[slot];
    for (size_t i = 0; i + 2 < xyz.size(); i += 3) cloud->push_back({xyz[i], xyz[i + 1], xyz[i + 2]});
    const CameraSetting& camera = report.cameras[slot];
    pcl::visualization::PointCloudColorHandlerCustom<pcl::PointXYZ> colour(
        cloud, camera.r & 0xFF, camera.g & 0xFF, camera.b & 0xFF);
    const std::string id = "cloud" + std::to_string(slot);
    viewer.addPointCloud<pcl::PointXYZ>(cloud, colour, id);
    viewer.setPointCloudRenderingProperties(pcl::visualization::PCL_VISUALIZER_POINT_SIZE, 2.0, id);
  }
  char text[128];
  std::snprintf(text, sizeof text, "frame %lld  (%zu of %zu)  speed x%g%s",
                static_cast<long long>(frame.number), player.position + 1, player.frames,
                player.speed, player.paused ? "  paused" : "");
  if (!viewer.updateText(text, 10, 575, 14, 1, 1, 1, "status"))
    viewer.addText(text, 10, 575, 14, 1, 1, 1, "status");
}

}  // namespace

namespace {

bool CanOpenDisplay(std::string* error) {
  const char* name = std::getenv("DISPLAY");
  if (name == nullptr || *name == '\0') {
    *error = "view needs a display (DISPLAY is not set): run it in a desktop session";
    return false;
  }
  // VTK would abort the program on a display it cannot open.
  Display* display = XOpenDisplay(nullptr);
  if (display == nullptr) {
    *error = std::string("view needs a display: cannot open the display '") + name + "'";
    return false;
  }
  XCloseDisplay(display);
  return true;
}

}  // namespace

bool ViewTake(const ViewOptions& options, std::string* error) {
  if (!CanOpenDisplay(error)) return false;
  TakeFrames take;
  if (!take.Open(options.dir, error)) return false;
  const TakeReport& report = take.Report();
  const OperatorSettings& s = report.settings;
  double periodMs = 1000.0 / 30;
  for (const CameraReport& camera : report.cameraReports)
    if (camera.inTake && camera.framePeriodMs > 0) {
      periodMs = camera.framePeriodMs;
      break;
    }

  vtkLogger::SetStderrVerbosity(vtkLogger::VERBOSITY_ERROR);
  PCLVisualizer viewer("Kestrova take: " + options.dir);
  viewer.getRenderWindow()->SetSize(800, 600);
  viewer.addCoordinateSystem(0.01);
  const float c = s.calibration;
  const bool box = report.hasParams && std::isfinite(c) && c > 0;
  if (box) {
    const CropBox roi = CropLimits(s);
    viewer.addCube(roi.min[0], roi.max[0], roi.min[1], roi.max[1], roi.min[2], roi.max[2], 0, 0, 0, "roi");
    viewer.setShapeRenderingProperties(pcl::visualization::PCL_VISUALIZER_REPRESENTATION,
                                       pcl::visualization::PCL_VISUALIZER_REPRESENTATION_WIREFRAME, "roi");
    viewer.setShapeRenderingProperties(pcl::visualization::PCL_VISUALIZER_COLOR, 0.3, 0.3, 0.3, "roi");
    // Look at the box from in front of and above it, the whole box in view.
    const double cx = (s.xMin + s.xMax) / 2 * c, cy = (s.yMin + s.yMax) / 2 * c, cz = (s.zMin + s.zMax) / 2 * c;
    const double size = std::max({s.xMax - s.xMin, s.yMax - s.yMin, s.zMax - s.zMin}) * c;
    viewer.setCameraPosition(cx + 0.3 * size, cy + 0.9 * size, cz - 2.0 * size, cx, cy, cz, 0, 1, 0);
  } else {
    viewer.setCameraPosition(0, 0, -1, 0, 0, 0);
  }

  Player player;
  player.frames = take.FrameCount();
  player.speed = options.speed;
  viewer.registerKeyboardCallback([&player](const pcl::visualization::KeyboardEvent& event) {
    player.OnKey(event);
  });
  // The frame shown follows the clock: when drawing is slower than the
  // take's rate, frames are skipped rather than the take slowed down.
  TakeFrame frame;
  size_t shown = static_cast<size_t>(-1);
  Clock::time_point clockStart = Clock::now();
  size_t positionAtStart = 0;
  double speedAtStart = player.speed;
  bool wasPaused = false;
  while (!viewer.wasStopped()) {
    const Clock::time_point now = Clock::now();
    if (player.paused || wasPaused || player.speed != speedAtStart || player.redraw) {
      clockStart = now;
      positionAtStart = player.position;
      speedAtStart = player.speed;
      wasPaused = player.paused;
    } else {
      const double elapsedMs = std::chrono::duration<double, std::milli>(now - clockStart).count();
      const size_t target = positionAtStart + static_cast<size_t>(elapsedMs * player.speed / periodMs);
      if (target >= player.frames) {
        if (options.once && shown == player.frames - 1) break;
        player.position = player.frames - 1;
        if (shown == player.frames - 1) player.paused = !options.once;  // wait on the last frame
      } else {
        player.position = target;
      }
    }
    if (player.position != shown || player.redraw) {
      player.redraw = false;
      ReadFault fault;
      if (!take.Read(player.position, &frame, &fault)) {
        *error = fault.Text();
        return false;
      }
      Draw(viewer, frame, report, player);
      shown = player.position;
      // The window repaints by itself only on X events: render the new frame.
      viewer.getRenderWindow()->Render();
    }
    // VTK's own event loop (spinOnce) blocks for up to a second when no X
    // event comes: handle what has come in (keys, mouse, the close box)
    // without waiting, and rest a little.
    HandlePendingEvents(*viewer.getRenderWindow());
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (!options.screenshot.empty()) viewer.saveScreenshot(options.screenshot);
  return true;
}

}  // namespace kestrova
