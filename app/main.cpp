// kestrova: the recorder's window program. Opens the operator window
// "Kestrova" modally; the window creates the engine, opens the sensors and
// starts the "Preview" window.
#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QIcon>
#include <QTimer>
#include <csignal>
#include <cstdio>

#include "app/KestrovaDlg.h"
#include "app/X11Threads.h"
#include "capture/SensorChoice.h"
#include "preview/PclPreview.h"

namespace {
volatile std::sig_atomic_t stopRequested = 0;
void RequestStop(int) { stopRequested = 1; }
}  // namespace

int main(int argc, char** argv) {
  // The preview's X11 window lives on the preview thread while Qt runs on
  // this one: Xlib must be made thread-safe before anything opens a display.
  kestrova::EnableX11Threads();
  QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling);
  QApplication app(argc, argv);
  Q_INIT_RESOURCE(kestrova);  // the images live in the window library
  QApplication::setApplicationName("kestrova");
  QApplication::setWindowIcon(QIcon(":/kestrova.png"));

  QCommandLineParser parser;
  parser.setApplicationDescription("Records moving 3D scenes with up to four depth cameras.");
  parser.addHelpOption();
  QCommandLineOption sensorsOption(
      "sensors", "Depth cameras: sim, sim:N, replay:DIR, freenect, net or net:STATION/C,... "
      "(default: the real cameras, freenect).", "spec");
  QCommandLineOption fpsOption("fps", "Frame rate of simulated or replayed cameras; 0 = free-running.",
                               "F", "30");
  parser.addOption(sensorsOption);
  parser.addOption(fpsOption);
  parser.process(app);

  bool fpsOk = false;
  const double fps = parser.value(fpsOption).toDouble(&fpsOk);
  if (!fpsOk) {
    std::fprintf(stderr, "kestrova: --fps takes a number\n");
    return 2;
  }
  std::string error;
  std::unique_ptr<kestrova::SensorBackend> backend;
  if (parser.isSet(sensorsOption)) {
    backend = kestrova::MakeSensorBackend(parser.value(sensorsOption).toStdString(), fps, &error);
    if (!backend) {
      std::fprintf(stderr, "kestrova: %s\n", error.c_str());
      return 2;
    }
  } else {
    backend = kestrova::MakeRealSensorBackend(&error);
    if (!backend) {
      std::fprintf(stderr,
                   "kestrova: %s; every camera is disabled. To try Kestrova on simulated "
                   "cameras, start it with --sensors sim\n",
                   error.c_str());
      backend = kestrova::MakeNoSensorBackend();
    }
  }

  kestrova::PclPreview preview;
  kestrova::CKestrovaDlg::Options options;
  auto* opened = backend.release();
  options.makeBackend = [opened] { return std::unique_ptr<kestrova::SensorBackend>(opened); };
  options.preview = &preview;
  options.outputDir = QDir::homePath() + "/Kestrova";
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
