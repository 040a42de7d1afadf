#include "preview/PreviewScene.h"

#include <cstdio>

#include <vtkCoordinate.h>
#include <vtkLogger.h>
#include <vtkNew.h>
#include <vtkRenderWindow.h>
#include <vtkRenderWindowInteractor.h>
#include <vtkRenderer.h>
#include <vtkRendererCollection.h>
#include <vtkTextActor.h>
#include <vtkTextProperty.h>

namespace kestrova {

namespace {
std::string CloudId(int slot) {
  char id[16];
  std::snprintf(id, sizeof id, "cloud%d", slot);
  return id;
}

// A line in the top left corner telling a first-time operator how to pick
// and zoom. It belongs to the renderer, not to the viewer's shapes, so the
// per-frame rebuild of the scene leaves it in place.
void AddOperatorHint(pcl::visualization::PCLVisualizer& viewer) {
  vtkNew<vtkTextActor> hint;
  hint->SetInput(kPreviewHint);
  vtkTextProperty* text = hint->GetTextProperty();
  text->SetFontSize(14);
  text->SetColor(0.75, 0.75, 0.75);
  text->SetVerticalJustificationToTop();
  // In fractions of the window, so it stays in the corner when the window is resized.
  hint->GetPositionCoordinate()->SetCoordinateSystemToNormalizedViewport();
  hint->GetPositionCoordinate()->SetValue(0.01, 0.985);
  viewer.getRendererCollection()->GetFirstRenderer()->AddActor2D(hint);
}
}  // namespace

PreviewScene SceneOfFrame(const CycleFrame& cycle, const PickState& picks) {
  const FrameSettings& settings = *cycle.settings;
  PreviewScene scene;
  for (int i = 0; i < kCameraCount; ++i) {
    scene.active[i] = cycle.active[i];
    scene.clouds[i] = cycle.final[i];
    // A colour part stored beyond 0..255 shows by its low 8 bits, as the
    // operator window shows it.
    const CameraSetting& camera = settings.cameras[i];
    scene.colours[i][0] = camera.r & 0xFF;
    scene.colours[i][1] = camera.g & 0xFF;
    scene.colours[i][2] = camera.b & 0xFF;
  }
  const CropBox box = CropLimits(settings.operatorSettings);
  for (int axis = 0; axis < 3; ++axis) {
    scene.box[2 * axis] = box.min[axis];
    scene.box[2 * axis + 1] = box.max[axis];
  }
  scene.picks = picks;
  return scene;
}

void DrawScene(pcl::visualization::PCLVisualizer& viewer, const PreviewScene& scene) {
  using namespace pcl::visualization;
  viewer.removeAllPointClouds();
  viewer.removeAllShapes();
  for (int i = 0; i < kCameraCount; ++i) {
    if (!scene.active[i] || scene.clouds[i] == nullptr) continue;
    // The viewer gets its own copy; the engine's cloud is refilled by the next grab.
    auto copy = std::make_shared<pcl::PointCloud<pcl::PointXYZ>>(*scene.clouds[i]);
    PointCloudColorHandlerCustom<pcl::PointXYZ> colour(copy, scene.colours[i][0],
                                                       scene.colours[i][1], scene.colours[i][2]);
    const std::string id = CloudId(i);
    viewer.addPointCloud<pcl::PointXYZ>(copy, colour, id);
    viewer.setPointCloudRenderingProperties(PCL_VISUALIZER_POINT_SIZE, 2.0, id);
  }
  const float* b = scene.box;
  viewer.addCube(b[0], b[1], b[2], b[3], b[4], b[5], 0.0, 0.0, 0.0, "roi");
  viewer.setShapeRenderingProperties(PCL_VISUALIZER_REPRESENTATION,
                                     PCL_VISUALIZER_REPRESENTATION_WIREFRAME, "roi");
  viewer.setShapeRenderingProperties(PCL_VISUALIZER_COLOR, 0.3, 0.3, 0.3, "roi");

  const PickState& picks = scene.picks;
  if (picks.count == 1) {
    auto marker = std::make_shared<pcl::PointCloud<pcl::PointXYZ>>();
    marker->push_back(pcl::PointXYZ(picks.points[0][0], picks.points[0][1], picks.points[0][2]));
    PointCloudColorHandlerCustom<pcl::PointXYZ> red(marker, 255, 0, 0);
    viewer.addPointCloud<pcl::PointXYZ>(marker, red, "pick");
    viewer.setPointCloudRenderingProperties(PCL_VISUALIZER_POINT_SIZE, 8.0, "pick");
  } else if (picks.count == 2) {
    pcl::PointXYZ from(picks.points[0][0], picks.points[0][1], picks.points[0][2]);
    pcl::PointXYZ to(picks.points[1][0], picks.points[1][1], picks.points[1][2]);
    viewer.addLine(from, to, 1.0, 0.0, 0.0, "pick");
    viewer.setShapeRenderingProperties(PCL_VISUALIZER_LINE_WIDTH, 5.0, "pick");
  }
}

PreviewViewer MakePreviewViewer() {
  // PCL's viewer uses VTK calls that VTK 9 reports as deprecated on every
  // start; keep the terminal for real errors.
  vtkLogger::SetStderrVerbosity(vtkLogger::VERBOSITY_ERROR);
  PreviewViewer viewer(new pcl::visualization::PCLVisualizer("Preview"));
  // Redrawn every frame: no multisampling, which costs most of a frame in
  // software rendering and adds nothing to square points.
  viewer->getRenderWindow()->SetMultiSamples(0);
  viewer->getRenderWindow()->SetSize(800, 600);
  viewer->getRenderWindow()->SetPosition(30, 50);
  viewer->setCameraPosition(0.0, 0.0, -1.0, 0.0, 0.0, 0.0);
  viewer->addCoordinateSystem(0.01);
  viewer->setShowFPS(false);  // it would time the render alone, and flicker every frame
  AddOperatorHint(*viewer);
  return viewer;
}

void ViewerDestroyer::operator()(pcl::visualization::PCLVisualizer* viewer) const {
  // The viewer, its render window, its X interactor and the interactor's
  // style hold each other, so destroying the viewer alone frees none of
  // them: the window would stay on screen, and its interactor would take
  // part in the next viewer's event loop and crash there (calling back into
  // the destroyed viewer when that window is closed). Cut the ties first;
  // then the render window and the interactor go with the viewer, and the
  // window and its display connection with them.
  vtkRenderWindow* window = viewer->getRenderWindow();
  vtkRenderWindowInteractor* interactor = window->GetInteractor();
  if (interactor) {
    interactor->SetInteractorStyle(nullptr);
    interactor->SetRenderWindow(nullptr);
  }
  window->SetInteractor(nullptr);
  delete viewer;
}

}  // namespace kestrova
