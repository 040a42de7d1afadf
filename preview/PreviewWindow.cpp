#include "preview/PreviewWindow.h"

#include <cmath>

#include <vtkCallbackCommand.h>
#include <vtkCamera.h>
#include <vtkCoordinate.h>
#include <vtkLogger.h>
#include <vtkMatrix4x4.h>
#include <vtkNew.h>
#include <vtkRenderWindow.h>
#include <vtkRenderWindowInteractor.h>
#include <vtkRenderer.h>
#include <vtkRendererCollection.h>
#include <vtkSmartPointer.h>
#include <vtkTextActor.h>
#include <vtkTextProperty.h>

#include "preview/PointPicking.h"
#include "preview/X11Events.h"

namespace kestrova {

namespace {
constexpr double kZoomStep = 1.2;  // per wheel click, as VTK's own wheel
constexpr std::chrono::seconds kStatusShown{5};

Eigen::Vector3d Vector(const double* v) { return Eigen::Vector3d(v[0], v[1], v[2]); }
}  // namespace

struct PreviewWindow::Parts {
  // The viewer, its render window, its X interactor and the interactor's
  // style hold each other, so destroying the viewer alone frees none of
  // them: the window would stay on screen, and its interactor would take
  // part in the next viewer's event loop and crash there (calling back into
  // the destroyed viewer when that window is closed). Cut the ties first;
  // then the render window and the interactor go with the viewer, and the
  // window and its display connection with them.
  ~Parts() {
    if (!viewer) return;
    vtkRenderWindow* window = viewer->getRenderWindow();
    vtkRenderWindowInteractor* interactor = window->GetInteractor();
    if (interactor) {
      interactor->RemoveObserver(interaction);
      interactor->SetInteractorStyle(nullptr);
      interactor->SetRenderWindow(nullptr);
    }
    window->SetInteractor(nullptr);
  }

  std::unique_ptr<pcl::visualization::PCLVisualizer> viewer;
  vtkRenderer* renderer = nullptr;
  vtkNew<vtkTextActor> hint;
  vtkNew<vtkCallbackCommand> interaction;
};

PreviewWindow::PreviewWindow(const WindowPlacement& placement, CalibrationPicks& picks,
                             const std::optional<PreviewCamera>& view)
    : parts_(std::make_unique<Parts>()), picks_(picks) {
  // PCL's viewer uses VTK calls that VTK 9 reports as deprecated on every
  // start; keep the terminal for real errors.
  vtkLogger::SetStderrVerbosity(vtkLogger::VERBOSITY_ERROR);
  // Sized and placed before its interactor opens the X window, so that the
  // window appears at its size (made with one, it would appear at half the
  // screen first and be resized after, which a window manager may miss).
  parts_->viewer = std::make_unique<pcl::visualization::PCLVisualizer>("Preview", false);
  viewer_ = parts_->viewer.get();
  vtkRenderWindow* window = viewer_->getRenderWindow();
  // Redrawn every frame: no multisampling, which costs most of a frame in
  // software rendering and adds nothing to square points.
  window->SetMultiSamples(0);
  window->SetSize(placement.width, placement.height);
  window->SetPosition(placement.x, placement.y);
  viewer_->createInteractor();
  viewer_->addCoordinateSystem(0.01);
  viewer_->setShowFPS(false);  // it would time the render alone, and flicker every frame
  parts_->renderer = viewer_->getRendererCollection()->GetFirstRenderer();
  items_ = std::make_unique<PreviewItems>(*parts_->renderer);

  // In fractions of the window, so it stays in the corner when the window is resized.
  vtkTextActor* hint = parts_->hint;
  hint->SetInput(kPreviewHint);
  vtkTextProperty* text = hint->GetTextProperty();
  text->SetFontSize(13);
  text->SetColor(0.75, 0.75, 0.75);
  text->SetVerticalJustificationToTop();
  hint->GetPositionCoordinate()->SetCoordinateSystemToNormalizedViewport();
  hint->GetPositionCoordinate()->SetValue(0.01, 0.985);
  parts_->renderer->AddActor2D(hint);

  // Ahead of the viewer's own handling, which would pick any item's
  // points, zoom towards the middle and reset to its own view.
  vtkRenderWindowInteractor* interactor = window->GetInteractor();
  parts_->interaction->SetCallback(&PreviewWindow::OnInteraction);
  parts_->interaction->SetClientData(this);
  for (unsigned long event : {vtkCommand::LeftButtonPressEvent, vtkCommand::MouseWheelForwardEvent,
                              vtkCommand::MouseWheelBackwardEvent, vtkCommand::KeyPressEvent,
                              vtkCommand::CharEvent})
    interactor->AddObserver(event, parts_->interaction, 1.0);
  // Turning and zooming mark the window for the next redraw instead.
  interactor->EnableRenderOff();

  if (view) {
    SetView(*view);
    viewSet_ = true;
  }
}

PreviewWindow::~PreviewWindow() {
  items_.reset();
  parts_.reset();
}

void PreviewWindow::Show(const PreviewFrame& frame, const PickState& picks) {
  frame_ = &frame;
  items_->Show(frame, picks);
  if (!viewSet_) {
    ResetView();
    viewSet_ = true;
  } else if (!clippingFitted_) {
    // A view kept from the last Preview was set before there was anything
    // to see: fit the near and far planes to the scene, or they cut it.
    parts_->renderer->ResetCameraClippingRange();
  }
  clippingFitted_ = true;
  dirty_ = true;
}

void PreviewWindow::HandleEvents() {
  if (HandlePendingEvents(*viewer_->getRenderWindow())) dirty_ = true;
  if (statusShown_ && std::chrono::steady_clock::now() >= statusUntil_) SetStatus("");
}

bool PreviewWindow::NeedsRender() const {
  return dirty_ || parts_->renderer->GetActiveCamera()->GetMTime() != renderedViewTime_;
}

void PreviewWindow::Render() {
  viewer_->getRenderWindow()->Render();
  renderedViewTime_ = parts_->renderer->GetActiveCamera()->GetMTime();
  dirty_ = false;
}

bool PreviewWindow::ClosedByOperator() const { return viewer_->wasStopped(); }

void PreviewWindow::Raise() { RaiseWindow(*viewer_->getRenderWindow()); }

PreviewCamera PreviewWindow::View() const {
  vtkCamera* camera = parts_->renderer->GetActiveCamera();
  PreviewCamera view;
  view.position = Vector(camera->GetPosition());
  view.focalPoint = Vector(camera->GetFocalPoint());
  view.viewUp = Vector(camera->GetViewUp());
  return view;
}

void PreviewWindow::SetView(const PreviewCamera& view) {
  vtkCamera* camera = parts_->renderer->GetActiveCamera();
  camera->SetPosition(view.position.data());
  camera->SetFocalPoint(view.focalPoint.data());
  camera->SetViewUp(view.viewUp.data());
  camera->SetViewAngle(kPreviewViewAngle);
  parts_->renderer->ResetCameraClippingRange();
}

void PreviewWindow::ResetView() {
  if (frame_ == nullptr) return;
  const int* size = parts_->renderer->GetSize();
  const double aspect = size[1] > 0 ? static_cast<double>(size[0]) / size[1] : 4.0 / 3.0;
  vtkCamera* camera = parts_->renderer->GetActiveCamera();
  camera->ParallelProjectionOff();
  SetView(OpeningView(frame_->box, aspect));
}

void PreviewWindow::SetStatus(const std::string& text) {
  statusShown_ = !text.empty();
  statusUntil_ = std::chrono::steady_clock::now() + kStatusShown;
  parts_->hint->SetInput((std::string(kPreviewHint) + (text.empty() ? "" : "\n" + text)).c_str());
  dirty_ = true;
}

void PreviewWindow::OnInteraction(vtkObject* caller, unsigned long event, void* self, void*) {
  auto* window = static_cast<PreviewWindow*>(self);
  auto* interactor = static_cast<vtkRenderWindowInteractor*>(caller);
  const int* position = interactor->GetEventPosition();
  bool handled = true;
  switch (event) {
    case vtkCommand::LeftButtonPressEvent:
      handled = interactor->GetShiftKey() != 0;  // a plain press turns the view
      if (handled) window->Pick(position[0], position[1]);
      break;
    case vtkCommand::MouseWheelForwardEvent:
      window->Zoom(position[0], position[1], kZoomStep);
      break;
    case vtkCommand::MouseWheelBackwardEvent:
      window->Zoom(position[0], position[1], 1 / kZoomStep);
      break;
    default: {  // keys
      const char key = interactor->GetKeyCode();
      handled = key == 'r' || key == 'R';
      if (handled && event == vtkCommand::KeyPressEvent) {
        window->ResetView();
        window->dirty_ = true;
      }
    }
  }
  if (handled) window->parts_->interaction->SetAbortFlag(1);
}

void PreviewWindow::Pick(int x, int y) {
  if (frame_ == nullptr) return;
  vtkRenderer& renderer = *parts_->renderer;
  vtkCamera& camera = *renderer.GetActiveCamera();
  ScreenProjection view;
  const vtkMatrix4x4* matrix = camera.GetCompositeProjectionTransformMatrix(renderer.GetTiledAspectRatio(), -1, 1);
  for (int row = 0; row < 4; ++row)
    for (int column = 0; column < 4; ++column) view.worldToClip(row, column) = matrix->GetElement(row, column);
  view.width = renderer.GetSize()[0];
  view.height = renderer.GetSize()[1];
  view.eye = Vector(camera.GetPosition());
  view.forward = Vector(camera.GetDirectionOfProjection());
  view.parallel = camera.GetParallelProjection() != 0;
  view.pixelSize = view.parallel ? 2 * camera.GetParallelScale() / view.height
                                 : 2 * std::tan(camera.GetViewAngle() * EIGEN_PI / 360) / view.height;
  std::array<const std::vector<float>*, kCameraCount> clouds{};
  for (int i = 0; i < kCameraCount; ++i)
    if (frame_->active[i]) clouds[i] = &frame_->points[i];
  const PickedPoint picked = PickCloudPoint(clouds, view, x, y);
  if (!picked.found) {
    SetStatus(kNothingPicked);
    return;
  }
  SetStatus("");
  picks_.OnPointPicked(picked.point.x(), picked.point.y(), picked.point.z());
}

void PreviewWindow::Zoom(int x, int y, double factor) {
  vtkRenderer& renderer = *parts_->renderer;
  vtkCamera& camera = *renderer.GetActiveCamera();
  // The point under the pointer at the depth of the focal point.
  const double* focal = camera.GetFocalPoint();
  renderer.SetWorldPoint(focal[0], focal[1], focal[2], 1.0);
  renderer.WorldToDisplay();
  const double depth = renderer.GetDisplayPoint()[2];
  renderer.SetDisplayPoint(x, y, depth);
  renderer.DisplayToWorld();
  const double* world = renderer.GetWorldPoint();
  if (world[3] == 0) return;
  const Eigen::Vector3d target = Vector(world) / world[3];
  SetView(ZoomTowards(View(), target, factor));
  if (camera.GetParallelProjection()) camera.SetParallelScale(camera.GetParallelScale() / factor);
}

}  // namespace kestrova
