#include "preview/PreviewItems.h"

#include <algorithm>
#include <numeric>
#include <vector>

#include <vtkActor.h>
#include <vtkCellArray.h>
#include <vtkCubeSource.h>
#include <vtkFloatArray.h>
#include <vtkIdTypeArray.h>
#include <vtkLineSource.h>
#include <vtkNew.h>
#include <vtkPoints.h>
#include <vtkPolyData.h>
#include <vtkPolyDataMapper.h>
#include <vtkProperty.h>
#include <vtkRenderWindow.h>
#include <vtkRenderer.h>

namespace kestrova {

namespace {

void Paint(vtkActor& actor, double r, double g, double b) {
  actor.GetProperty()->SetColor(r, g, b);
  actor.GetProperty()->LightingOff();
  actor.VisibilityOff();
}

// A cloud drawn as one poly-vertex cell over points that live in buffers
// of this item: the VTK arrays only point into them.
struct CloudItem {
  // Declared first so that they outlive the arrays pointing into them.
  std::vector<float> coordinates;
  std::vector<vtkIdType> order;  // 0, 1, 2, ...: the cell's point ids
  vtkIdType offsets[2] = {0, 0};

  vtkNew<vtkFloatArray> coordinateArray;
  vtkNew<vtkIdTypeArray> offsetArray;
  vtkNew<vtkIdTypeArray> orderArray;
  vtkNew<vtkPoints> points;
  vtkNew<vtkCellArray> cells;
  vtkNew<vtkPolyData> data;
  vtkNew<vtkPolyDataMapper> mapper;
  vtkNew<vtkActor> actor;

  CloudItem() {
    coordinateArray->SetNumberOfComponents(3);
    points->SetData(coordinateArray);
    data->SetPoints(points);
    data->SetVerts(cells);
    mapper->SetInputData(data);
    mapper->ScalarVisibilityOff();
    actor->SetMapper(mapper);
    actor->GetProperty()->SetPointSize(2.0);
    Paint(*actor, 1, 1, 1);
  }

  void Show(const std::vector<float>& xyz, const int colour[3]) {
    const vtkIdType count = static_cast<vtkIdType>(xyz.size() / 3);
    actor->SetVisibility(count > 0);
    actor->GetProperty()->SetColor(colour[0] / 255.0, colour[1] / 255.0, colour[2] / 255.0);
    if (count == 0) return;
    coordinates.assign(xyz.begin(), xyz.begin() + 3 * count);  // within the capacity once grown
    if (static_cast<vtkIdType>(order.size()) < count) {
      const vtkIdType had = static_cast<vtkIdType>(order.size());
      order.resize(count);
      std::iota(order.begin() + had, order.end(), had);
    }
    offsets[1] = count;
    coordinateArray->SetArray(coordinates.data(), 3 * count, 1);  // 1: the buffer stays ours
    orderArray->SetArray(order.data(), count, 1);
    offsetArray->SetArray(offsets, 2, 1);
    cells->SetData(offsetArray, orderArray);
    points->Modified();
    data->Modified();
  }
};

}  // namespace

struct PreviewItems::Items {
  CloudItem clouds[kCameraCount];

  vtkNew<vtkCubeSource> box;
  vtkNew<vtkPolyDataMapper> boxMapper;
  vtkNew<vtkActor> boxActor;

  vtkNew<vtkPoints> pickPoint;
  vtkNew<vtkCellArray> pickCell;
  vtkNew<vtkPolyData> pickData;
  vtkNew<vtkPolyDataMapper> pickMapper;
  vtkNew<vtkActor> pickActor;

  vtkNew<vtkLineSource> line;
  vtkNew<vtkPolyDataMapper> lineMapper;
  vtkNew<vtkActor> lineActor;

  vtkRenderer* scene = nullptr;
  vtkNew<vtkRenderer> overlay;
};

PreviewItems::PreviewItems(vtkRenderer& renderer) : items_(std::make_unique<Items>()) {
  Items& it = *items_;
  for (CloudItem& cloud : it.clouds) renderer.AddActor(cloud.actor);

  it.boxMapper->SetInputConnection(it.box->GetOutputPort());
  it.boxActor->SetMapper(it.boxMapper);
  it.boxActor->GetProperty()->SetRepresentationToWireframe();
  Paint(*it.boxActor, 0.3, 0.3, 0.3);
  renderer.AddActor(it.boxActor);

  it.pickPoint->InsertNextPoint(0, 0, 0);
  const vtkIdType only = 0;
  it.pickCell->InsertNextCell(1, &only);
  it.pickData->SetPoints(it.pickPoint);
  it.pickData->SetVerts(it.pickCell);
  it.pickMapper->SetInputData(it.pickData);
  it.pickMapper->ScalarVisibilityOff();
  it.pickActor->SetMapper(it.pickMapper);
  it.pickActor->GetProperty()->SetPointSize(8.0);
  Paint(*it.pickActor, 1, 0, 0);

  it.lineMapper->SetInputConnection(it.line->GetOutputPort());
  it.lineActor->SetMapper(it.lineMapper);
  it.lineActor->GetProperty()->SetLineWidth(5.0);
  Paint(*it.lineActor, 1, 0, 0);

  // The marker lies on cloud points: drawn over them from a layer of its
  // own that looks through the same camera, never half hidden by them.
  vtkRenderWindow* window = renderer.GetRenderWindow();
  window->SetNumberOfLayers(std::max(2, window->GetNumberOfLayers()));
  it.overlay->SetLayer(1);
  it.overlay->InteractiveOff();
  it.overlay->SetActiveCamera(renderer.GetActiveCamera());
  it.overlay->AddActor(it.pickActor);
  it.overlay->AddActor(it.lineActor);
  window->AddRenderer(it.overlay);
  it.scene = &renderer;
}

PreviewItems::~PreviewItems() = default;

void PreviewItems::Show(const PreviewFrame& frame, const PickState& picks) {
  Items& it = *items_;
  for (int i = 0; i < kCameraCount; ++i) {
    if (frame.active[i]) {
      it.clouds[i].Show(frame.points[i], frame.colours[i]);
    } else {
      it.clouds[i].actor->VisibilityOff();
    }
  }
  const float* b = frame.box;
  it.box->SetBounds(b[0], b[1], b[2], b[3], b[4], b[5]);  // a no-op while the box stays
  it.boxActor->VisibilityOn();

  const float* first = picks.points[0];
  const float* second = picks.points[1];
  if (picks.count == 1) {
    it.pickPoint->SetPoint(0, first[0], first[1], first[2]);
    it.pickPoint->Modified();
  } else if (picks.count == 2) {
    it.line->SetPoint1(first[0], first[1], first[2]);
    it.line->SetPoint2(second[0], second[1], second[2]);
  }
  it.pickActor->SetVisibility(picks.count == 1);
  it.lineActor->SetVisibility(picks.count == 2);
  it.overlay->SetActiveCamera(it.scene->GetActiveCamera());  // should the viewer replace its camera
}

vtkActor* PreviewItems::CloudActor(int slot) const { return items_->clouds[slot].actor; }
vtkActor* PreviewItems::BoxActor() const { return items_->boxActor; }
vtkActor* PreviewItems::PickPointActor() const { return items_->pickActor; }
vtkActor* PreviewItems::PickLineActor() const { return items_->lineActor; }

}  // namespace kestrova
