// kestrova: the recorder's window program.
#include <QApplication>
#include <QCommandLineParser>
#include <QTimer>
#include <csignal>
#include <cstdio>

#include "app/StatusWindow.h"
#include "app/X11Threads.h"
#include "preview/PclPreview.h"
#include "capture/SensorSpec.h"
#include "core/Recorder.h"

namespace {
volatile std::sig_atomic_t stopRequested = 0;
void RequestStop(int) { stopRequested = 1; }
}  // namespace

int main(int argc, char** argv) {
  // The preview's X11 window lives on the preview thread while Qt runs on
  // this one: Xlib must be made thread-safe before anything opens a display.
  kestrova::EnableX11Threads();
  QApplication app(argc, argv);
  QApplication::setApplicationName("kestrova");

  QCommandLineParser parser;
  parser.setApplicationDescription("Records moving 3D scenes with up to four depth cameras.");
  parser.addHelpOption();
  QCommandLineOption sensorsOption("sensors", "Sensor backend: sim, sim:N or replay:DIR (default sim).",
                                   "spec", "sim");
  QCommandLineOption fpsOption("fps", "Frame rate of simulated or replayed sensors; 0 = free-running.", "F",
                               "30");
  parser.addOption(sensorsOption);
  parser.addOption(fpsOption);
  parser.process(app);

  bool fpsOk = false;
  double fps = parser.value(fpsOption).toDouble(&fpsOk);
  std::string error;
  std::unique_ptr<kestrova::SensorBackend> backend =
      fpsOk ? kestrova::MakeSensorBackend(parser.value(sensorsOption).toStdString(), fps, &error)
            : nullptr;
  if (!backend) {
    std::fprintf(stderr, "kestrova: %s\n", fpsOk ? error.c_str() : "--fps takes a number");
    return 2;
  }

  kestrova::CRecorder engine(std::move(backend));
  kestrova::PclPreview preview;
  engine.SetPreviewSink(&preview);
  const QString paramsPath = "KVA_Params.txt";
  engine.LoadParamsFile(paramsPath.toStdString());
  engine.StartPreview();
  kestrova::StatusWindow window(engine, paramsPath);
  window.show();

  // Ctrl-C or a terminate signal closes the window the normal way, so the
  // loops are joined and the settings file is written.
  std::signal(SIGINT, RequestStop);
  std::signal(SIGTERM, RequestStop);
  QTimer signalPoll;
  QObject::connect(&signalPoll, &QTimer::timeout, [&window] {
    if (stopRequested) window.close();
  });
  signalPoll.start(100);
  return app.exec();
}
