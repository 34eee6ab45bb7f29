// zelvora encode: probes the given files like the list does and converts them with the stored settings.
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <pthread.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "cli/Commands.h"
#include "cli/TerminalDisplay.h"
#include "encoder/BatchRun.h"
#include "encoder/FileList.h"
#include "encoder/SettingsFields.h"
#include "encoder/SettingsStore.h"
#include "platform/RegistryStore.h"
#include "probe/ListRow.h"

namespace fs = std::filesystem;

namespace {

const char kEncodeUsage[] =
    "usage: zelvora encode [--output-dir DIR] [--set GROUP.NAME=VALUE]… [--settings FILE]\n"
    "                      [--dry-run] [--shutdown-when-done] FILE…\n"
    "\n"
    "  --output-dir DIR        write the outputs to DIR (default: the stored output folder)\n"
    "  --set GROUP.NAME=VALUE  change one setting for this run only (not saved)\n"
    "  --settings FILE         read the settings from FILE (.reg syntax) instead of the store\n"
    "  --dry-run               print each file's command line, run nothing\n"
    "  --shutdown-when-done    power the machine off when the run ends with files done\n"
    "\n"
    "Ctrl-C cancels (the current file goes back to waiting); a second Ctrl-C quits at once.\n"
    "Exit status: 0 every file done, 1 any file failed, 2 usage error.\n";

struct Options {
  std::string outputDir;
  std::vector<std::string> sets;
  std::string settingsFile;
  bool dryRun = false;
  bool shutdown = false;
  std::vector<std::string> files;
};

int Usage(const char* message) {
  if (message) std::fprintf(stderr, "zelvora encode: %s\n", message);
  std::fputs(kEncodeUsage, stderr);
  return 2;
}

// Returns -1 when the options are fine, else the exit status.
int ParseOptions(int argc, char** argv, Options& o) {
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&](const char* name) -> const char* {
      if (i + 1 >= argc) return nullptr;
      (void)name;
      return argv[++i];
    };
    if (a == "--help" || a == "-h") {
      std::fputs(kEncodeUsage, stdout);
      return 0;
    } else if (a == "--output-dir") {
      const char* v = value("--output-dir");
      if (!v || !*v) return Usage("--output-dir needs a folder");
      o.outputDir = v;
    } else if (a == "--set") {
      const char* v = value("--set");
      if (!v) return Usage("--set needs GROUP.NAME=VALUE");
      o.sets.push_back(v);
    } else if (a == "--settings") {
      const char* v = value("--settings");
      if (!v || !*v) return Usage("--settings needs a file");
      o.settingsFile = v;
    } else if (a == "--dry-run") {
      o.dryRun = true;
    } else if (a == "--shutdown-when-done") {
      o.shutdown = true;
    } else if (a == "--") {
      for (++i; i < argc; ++i) o.files.push_back(argv[i]);
    } else if (a.size() > 1 && a[0] == '-') {
      std::fprintf(stderr, "zelvora encode: unknown option '%s'\n", a.c_str());
      return 2;
    } else {
      o.files.push_back(a);
    }
  }
  if (o.files.empty()) return Usage("no files given");
  return -1;
}

// The settings of this run: the store (or the given file, read only), then the --set changes.
bool LoadRunSettings(const Options& o, EncodingSettings& s, StoredPaths& paths) {
  if (!o.settingsFile.empty()) {
    std::error_code ec;
    if (!fs::is_regular_file(o.settingsFile, ec)) {
      std::fprintf(stderr, "zelvora encode: settings file '%s' not found\n", o.settingsFile.c_str());
      return false;
    }
    UseSettingsStoreFile(o.settingsFile, true);
  }
  if (!LoadSettings(s, paths)) ResetSettings(s);
  ApplyPathDefaults(paths, !o.dryRun);
  for (const std::string& set : o.sets) {
    size_t eq = set.find('=');
    const SettingField* field = eq == std::string::npos ? nullptr : FindSettingField(set.substr(0, eq));
    if (!field) {
      std::fprintf(stderr, "zelvora encode: unknown setting '%s'\n", set.substr(0, eq).c_str());
      return false;
    }
    std::string error;
    if (!SetSettingValue(*field, set.substr(eq + 1), s, paths, error)) {
      std::fprintf(stderr, "zelvora encode: %s\n", error.c_str());
      return false;
    }
  }
  if (!o.outputDir.empty()) {
    std::error_code ec;
    fs::path dir = fs::absolute(o.outputDir, ec);
    paths.output_folder = dir.lexically_normal().string();
    while (paths.output_folder.size() > 1 && paths.output_folder.back() == '/') paths.output_folder.pop_back();
  }
  return true;
}

// Ctrl-C: the first cancels like the cancel button, the second ends everything at once.
std::atomic<CBatchRun*> g_batch{nullptr};

void WatchSignals(sigset_t set) {
  int interrupts = 0;
  for (;;) {
    int sig = 0;
    if (sigwait(&set, &sig) != 0) continue;
    CBatchRun* batch = g_batch.load();
    if (++interrupts == 1 && sig == SIGINT && batch) {
      std::fputs("\nzelvora encode: cancelling (Ctrl-C again to quit at once)\n", stderr);
      if (batch->IsRunning()) batch->OnStartButton();
      continue;
    }
    if (batch) {
      batch->m_zFLAG.bExit = true;
      int pid = batch->ActiveChildPid();
      if (pid > 0) ::kill(-pid, SIGKILL);
    }
    std::fputs("\nzelvora encode: stopped\n", stderr);
    ::_exit(130);
  }
}

}  // namespace

int RunEncodeCommand(int argc, char** argv) {
  Options o;
  int status = ParseOptions(argc, argv, o);
  if (status >= 0) return status;

  EncodingSettings settings;
  StoredPaths paths;
  if (!LoadRunSettings(o, settings, paths)) return 2;
  const InterfaceTexts& texts = SelectInterfaceTexts(settings.language);

  FileList list;
  for (const std::string& file : o.files) {
    std::error_code ec;
    std::string full = fs::absolute(file, ec).lexically_normal().string();
    ListRowTexts row;
    int result = -1;
    MediaInfo info;
    if (ProbeListRow(full, texts, settings.skip_scan == 1, row, result, info) == RowProbe::kNotOpened) {
      std::fprintf(stderr, "zelvora encode: cannot open '%s'\n", file.c_str());
      row[kColStatus] = texts.status_failed;
    }
    list.append(row);
  }

  bool live = ::isatty(STDERR_FILENO);
  TerminalDisplay display(stderr, live);
  BatchEnvironment env{&settings, &paths, &list, &texts, &display, nullptr};
  CBatchRun batch(env);

  if (o.dryRun) {
    int failures = 0;
    for (size_t i = 0; i < list.size(); ++i) {
      if (list.text(i, kColStatus) != texts.status_waiting) {
        std::printf("# %s: %s\n", list.text(i, kColFullPath).c_str(), list.text(i, kColStatus).c_str());
        ++failures;
        continue;
      }
      std::string error;
      std::string command = batch.DryRunCommand(i, &error);
      if (!error.empty()) {
        std::printf("# %s: %s\n", list.text(i, kColFullPath).c_str(), error.c_str());
        ++failures;
      } else {
        std::printf("%s\n", command.c_str());
      }
    }
    return failures ? 1 : 0;
  }

  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  g_batch = &batch;
  std::thread(WatchSignals, set).detach();

  if (batch.OnStartButton(o.shutdown) == 1) batch.JoinThread();
  g_batch = nullptr;
  display.Finish();

  int failed = 0;
  for (size_t i = 0; i < list.size(); ++i) {
    std::string rowStatus = list.text(i, kColStatus);
    RowOutcome outcome = batch.Outcome(i);
    std::string detail = rowStatus == texts.status_done ? outcome.outputPath : outcome.message;
    if (rowStatus != texts.status_done) ++failed;
    if (detail.empty() && rowStatus == texts.status_failed) detail = list.text(i, kColFullPath);
    std::printf("%s\t%s\t%s\n", rowStatus.c_str(), list.text(i, kColFileName).c_str(), detail.c_str());
  }
  if (batch.PowerOffResult() == 0) std::fputs("zelvora encode: the power-off was refused\n", stderr);
  return failed ? 1 : 0;
}
