// kestrova: the recorder's window program. Opens the operator window
// "Kestrova" modally; the window creates the engine, opens the sensors and
// starts the "Preview" window.
#include <QApplication>
#include <QDir>
#include <QIcon>
#include <QTimer>
#include <csignal>
#include <cstdio>

#include "app/KestrovaDlg.h"
#include "app/WindowOptions.h"
#include "app/X11Threads.h"
#include "capture/SensorChoice.h"
#include "preview/PclPreview.h"
#include "settings/Version.h"

namespace {
volatile std::sig_atomic_t stopRequested = 0;
void RequestStop(int) { stopRequested = 1; }
}  // namespace

int main(int argc, char** argv) {
  kestrova::WindowOptions parsed;
  std::string error;
  if (!kestrova::ParseWindowOptions(std::vector<std::string>(argv + 1, argv + argc), &parsed,
                                    &error)) {
    std::fprintf(stderr, "kestrova: %s\n", error.c_str());
    return 2;
  }
  if (parsed.help) {
    std::fputs(kestrova::WindowUsage().c_str(), stdout);
    return 0;
  }
  if (parsed.version) {
    std::fputs(kestrova::VersionText("kestrova").c_str(), stdout);
    return 0;
  }
  std::unique_ptr<kestrova::SensorBackend> backend;
  if (!parsed.sensors.empty()) {
    if (!kestrova::CheckSensorSpec(parsed.sensors, &error)) {
      std::fprintf(stderr, "kestrova: %s (see --help)\n", error.c_str());
      return 2;
    }
    backend = kestrova::MakeSensorBackend(parsed.sensors, parsed.fps, &error);
    if (!backend) {  // the text was checked: these sensors are not there
      std::fprintf(stderr, "kestrova: %s\n", error.c_str());
      return 1;
    }
  }

  // The preview's X11 window lives on the preview thread while Qt runs on
  // this one: Xlib must be made thread-safe before anything opens a display.
  kestrova::EnableX11Threads();
  QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling);
  QApplication app(argc, argv);
  Q_INIT_RESOURCE(kestrova);  // the images live in the window library
  QApplication::setApplicationName("kestrova");
  QApplication::setWindowIcon(QIcon(":/kestrova.png"));

  if (!backend) {
    backend = kestrova::MakeRealSensorBackend(&error);
    if (!backend) {
      std::fprintf(stderr, "kestrova: %s; every camera is disabled. %s\n", error.c_str(),
                   kestrova::kTrySimulatedCameras);
      backend = kestrova::MakeNoSensorBackend();
    }
  }

  kestrova::PclPreview preview;
  kestrova::CKestrovaDlg::Options options;
  auto* opened = backend.release();
  options.makeBackend = [opened] { return std::unique_ptr<kestrova::SensorBackend>(opened); };
  options.preview = &preview;
  options.picks = &preview.Picks();
  options.placePreview = [&preview](const QPoint& frame, const QSize& size) {
    preview.SetPlacement({frame.x(), frame.y(), size.width(), size.height()});
  };
  options.raisePreview = [&preview] { preview.Raise(); };
  options.outputDir = QDir::homePath() + "/Kestrova";
  options.makeOutputDir = true;
  options.keepDepth = parsed.keepDepth;
  kestrova::CKestrovaDlg window(options);

  // Ctrl-C or a terminate signal closes the window the normal way, so the
  // loops are joined and the settings file is written. A file-size limit
  // fails a write instead of killing the process mid-take.
  std::signal(SIGINT, RequestStop);
  std::signal(SIGTERM, RequestStop);
  std::signal(SIGXFSZ, SIG_IGN);
  QTimer signalPoll;
  QObject::connect(&signalPoll, &QTimer::timeout, [&window] {
    if (stopRequested) window.close();
  });
  signalPoll.start(100);

  window.DoModal();
  return 0;
}
