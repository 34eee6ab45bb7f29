// The desktop program's speed: drops probed and shown, stalls of the window's thread, the start of a run,
// the window's share of a core during a run, and a run's time against `zelvora encode`.
//
// bench_gui MEDIA_DIR CLI_PATH [--runs-only]: MEDIA_DIR holds the clips run.sh made (drop/*, encode.avi).
#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QProgressBar>
#include <QTimer>
#include <QTreeView>
#include <algorithm>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "app/AppStartup.h"
#include "app/FileListModel.h"
#include "app/MainDLG.h"
#include "encoder/EncoderCaps.h"
#include "encoder/SettingsStore.h"
#include "platform/CaptureRun.h"

namespace fs = std::filesystem;

namespace {

double ThreadCpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
}

// Longest gap between the ticks of a 10 ms timer on the window's thread, beyond its period.
struct StallMeter {
  QTimer timer;
  QElapsedTimer clock;
  qint64 last = 0;
  qint64 worst = 0;
  StallMeter() {
    timer.setInterval(10);
    timer.setTimerType(Qt::PreciseTimer);
    QObject::connect(&timer, &QTimer::timeout, [this] {
      qint64 now = clock.elapsed();
      worst = std::max(worst, now - last - 10);
      last = now;
    });
    clock.start();
    timer.start();
  }
};

// Serves the window's events until `done`, sleeping between them as the window's own loop does;
// a slow timer wakes it for conditions that other threads change without an event.
void Pump(const std::function<bool()>& done) {
  QTimer wake;
  wake.start(50);
  while (!done()) QApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

std::unique_ptr<CMainDLG> OpenWindow(const std::string& output) {
  EncodingSettings settings;
  ResetSettings(settings);
  StoredPaths paths;
  paths.output_folder = output;
  ApplyPathDefaults(paths, true);
  KeepPrivateFilesOutOfProgramFolder(paths);
  MainWindowOptions options;
  options.saveOnExit = false;
  options.trayIcon = false;
  options.showDropHint = false;
  auto window = std::make_unique<CMainDLG>(settings, paths, options);
  window->show();
  QApplication::processEvents();
  return window;
}

// Drops `count` files and waits until each row is probed and in the list's model.
void DropBench(const std::string& media, int count) {
  QStringList files;
  for (const auto& e : fs::directory_iterator(media + "/drop")) files << QString::fromStdString(e.path().string());
  files.sort();
  files = files.mid(0, count);
  count = static_cast<int>(files.size());
  auto window = OpenWindow(media + "/out-drop");
  StallMeter stalls;
  QElapsedTimer clock;
  clock.start();
  window->RunDropFiles(files);
  const double dropCall = clock.nsecsElapsed() / 1e9;
  Pump([&] { return !window->IsAnalysing() && window->Model()->rowCount() == count; });
  window->ListView()->viewport()->repaint();
  const double seconds = clock.nsecsElapsed() / 1e9;
  int waiting = 0;
  for (int i = 0; i < count; ++i) waiting += window->List().text(i, kColStatus) == window->Texts().status_waiting;
  std::printf("drop %5d files: probed and shown in %.3f s (target %.1f s), %d waiting, longest stall %lld ms (target 50),"
              " the drop itself %.3f s\n",
              count, seconds, count <= 1000 ? 0.5 : 5.0, waiting, static_cast<long long>(stalls.worst), dropCall);
}

// One GUI run of `clip`: seconds to the first progress shown, the run's seconds, the window
// thread's CPU seconds meanwhile.
struct RunFigures {
  double firstProgress = 0;
  double total = 0;
  double guiCpu = 0;
};

RunFigures GuiRun(const std::string& media, const std::string& clip, int round) {
  auto window = OpenWindow(media + "/out-gui-" + std::to_string(round));
  window->RunDropFiles({QString::fromStdString(clip)});
  Pump([&] { return !window->IsAnalysing(); });
  auto* bar = window->findChild<QProgressBar*>("FileBar");
  auto* percent = window->findChild<QLabel*>("FilePercent");
  RunFigures f;
  QElapsedTimer clock;
  const double cpu0 = ThreadCpuSeconds();
  clock.start();
  window->OnStartButton();
  // The first progress line moves the bar or the percentage past the reset's "0%"/"00%".
  Pump([&] {
    const QString t = percent->text();
    return bar->value() > 0 || (t != "0%" && t != "00%" && !t.isEmpty()) || !window->IsRunning();
  });
  f.firstProgress = clock.nsecsElapsed() / 1e9;
  Pump([&] { return !window->IsRunning(); });
  f.total = clock.nsecsElapsed() / 1e9;
  f.guiCpu = ThreadCpuSeconds() - cpu0;
  window->Batch().JoinThread();
  return f;
}

double CliRun(const std::string& cli, const std::string& media, const std::string& clip, int round) {
  QElapsedTimer clock;
  clock.start();
  CaptureResult r = RunAndCapture({cli, "encode", "--output-dir", media + "/out-cli-" + std::to_string(round), clip},
                                  600000, 1 << 20);
  if (!r.started || r.exitStatus != 0) std::fprintf(stderr, "zelvora encode failed: %s\n", r.output.c_str());
  return clock.nsecsElapsed() / 1e9;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fputs("usage: bench_gui MEDIA_DIR CLI_PATH\n", stderr);
    return 2;
  }
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  QApplication app(argc, argv);
  ApplyProgramLook(SelectInterfaceTexts(0));
  const std::string media = argv[1], cli = argv[2];

  const bool runsOnly = argc > 3 && std::string(argv[3]) == "--runs-only";
  if (!runsOnly) {
    DropBench(media, 1000);
    DropBench(media, 10000);
  }

  // Caches warm, as after the background warm-up of a start.
  StoredPaths paths;
  ApplyPathDefaults(paths, false);
  GetFfmpegCapabilities(paths.encoder_path_a);
  if (!paths.encoder_path_b.empty()) GetMencoderCapabilities(paths.encoder_path_b, paths.encoder_path_a);

  const std::string clip = media + "/encode.avi";
  std::vector<double> gui, cliTimes, first, cpuShare;
  for (int round = 0; round < 3; ++round) {
    RunFigures f = GuiRun(media, clip, round);
    gui.push_back(f.total);
    first.push_back(f.firstProgress);
    cpuShare.push_back(100.0 * f.guiCpu / f.total);
    cliTimes.push_back(CliRun(cli, media, clip, round));
  }
  std::printf("start to first progress: %.3f s median (target 1 s)\n", Median(first));
  std::printf("window thread during a run: %.2f %% of one core median (target < 2 %%)\n", Median(cpuShare));
  std::printf("encode: gui %.2f s, zelvora encode %.2f s, ratio %.3f (target <= 1.05)\n", Median(gui),
              Median(cliTimes), Median(gui) / Median(cliTimes));
  return 0;
}
