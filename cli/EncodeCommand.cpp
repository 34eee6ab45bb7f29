// zelvora encode: probes the given files like the list does and converts them with the stored settings.
#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "cli/Commands.h"
#include "cli/Console.h"
#include "cli/Manifest.h"
#include "cli/ManifestReader.h"
#include "cli/Shard.h"
#include "cli/SettingsNotes.h"
#include "cli/TextOutput.h"
#include "cli/TerminalDisplay.h"
#include "encoder/BatchRun.h"
#include "encoder/FileList.h"
#include "encoder/PathText.h"
#include "encoder/SettingsFields.h"
#include "encoder/SettingsStore.h"
#include "platform/RegistryStore.h"
#include "cli/TextOutput.h"
#include "encoder/OutputFile.h"
#include "probe/ListRow.h"
#include "support/AsciiText.h"

namespace fs = std::filesystem;

namespace {

const char kEncodeUsage[] =
    "usage: zelvora encode [--output-dir DIR] [--set GROUP.NAME=VALUE]… [--settings FILE]\n"
    "                      [--shard I/N] [--manifest FILE] [--skip-done MANIFEST]…\n"
    "                      [--dry-run] [--shutdown-when-done] FILE…\n"
    "       zelvora encode --pending MANIFEST [--pending MANIFEST]… [--shard I/N] [-0] FILE…\n"
    "\n"
    "  --output-dir DIR        write the outputs to DIR (default: the stored output folder)\n"
    "  --set GROUP.NAME=VALUE  change one setting for this run only (not saved)\n"
    "  --settings FILE         read the settings from FILE (.reg syntax) instead of the store\n"
    "  --shard I/N             convert only every N-th file starting at the I-th (0 <= I < N),\n"
    "                          counted in the files' sorted absolute paths, so that N machines\n"
    "                          given the same files share them out, each file once\n"
    "  --manifest FILE         append one JSON line per finished file to FILE\n"
    "  --skip-done MANIFEST    leave out the files that MANIFEST marks done (its latest line\n"
    "                          about each file counts); may be given for several manifests.\n"
    "                          The other files still count for the shard split and for which\n"
    "                          file keeps an output name, so a re-run decides as the first run\n"
    "  --pending MANIFEST      print the FILEs that no MANIFEST marks done, one per line, and\n"
    "                          convert nothing; may be given for several manifests\n"
    "  --OPTION=VALUE          the same as --OPTION VALUE\n"
    "  -0, --null              with --pending: end each name with a NUL byte, not a newline\n"
    "  --dry-run               print each file's command line, run nothing\n"
    "  --shutdown-when-done    power the machine off when the run ends with files done\n"
    "\n"
    "Subtitle files given as FILE (.smi, .srt) are left out with a note: the subtitle beside a\n"
    "video is found by its name.\n"
    "A failed file's line, the error log and the manifest say why it failed.\n"
    "\n"
#ifdef _WIN32
    "Ctrl-C cancels (the current file goes back to waiting); a second Ctrl-C, Ctrl-Break, closing\n"
    "the console, logging off or shutting down quits at once. Either way the file being written\n"
    "is removed, never left cut short.\n"
    "Exit status: 0 every file done, 1 any file failed, 2 usage error; when it quits at once 130\n"
    "(Ctrl-C), 129 (the console closed) or 143 (Ctrl-Break, log-off, shut-down).\n";
#else
    "Ctrl-C cancels (the current file goes back to waiting); a second Ctrl-C, SIGTERM or SIGHUP\n"
    "quits at once. Either way the file being written is removed, never left cut short.\n"
    "Exit status: 0 every file done, 1 any file failed, 2 usage error.\n";
#endif

struct Options {
  std::string outputDir;
  std::vector<std::string> sets;
  std::string settingsFile;
  bool dryRun = false;
  bool shutdown = false;
  std::string shard;
  std::string manifest;
  std::vector<std::string> pending;   // manifests whose done files are listed out
  std::vector<std::string> skipDone;  // manifests whose done files are left out
  bool nullEnds = false;
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
    // "--name=value" is "--name value": a shell's brace expansion then repeats an option
    // (--skip-done=manifest-{0..3}.jsonl).
    std::optional<std::string> inlineValue;
    if (size_t eq = a.find('='); a.starts_with("--") && eq != std::string::npos) {
      inlineValue = a.substr(eq + 1);
      a.resize(eq);
    }
    if (inlineValue && a != "--output-dir" && a != "--set" && a != "--settings" && a != "--shard" &&
        a != "--manifest" && a != "--pending" && a != "--skip-done") {
      std::fprintf(stderr, "zelvora encode: %s takes no value (see zelvora encode --help)\n", a.c_str());
      return 2;
    }
    auto value = [&](const char* name) -> const char* {
      (void)name;
      if (inlineValue) return inlineValue->c_str();
      if (i + 1 >= argc) return nullptr;
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
    } else if (a == "--shard" || a == "--manifest") {
      const char* v = value(a.c_str());
      if (!v || !*v) return Usage(a == "--shard" ? "--shard needs I/N" : "--manifest needs a file");
      (a == "--shard" ? o.shard : o.manifest) = v;
    } else if (a == "--pending" || a == "--skip-done") {
      const char* v = value(a.c_str());
      if (!v || !*v) return Usage(a == "--pending" ? "--pending needs a manifest" : "--skip-done needs a manifest");
      (a == "--pending" ? o.pending : o.skipDone).push_back(v);
    } else if (a == "-0" || a == "--null") {
      o.nullEnds = true;
    } else if (a == "--dry-run") {
      o.dryRun = true;
    } else if (a == "--shutdown-when-done") {
      o.shutdown = true;
    } else if (a == "--") {
      for (++i; i < argc; ++i) o.files.push_back(argv[i]);
    } else if (a.size() > 1 && a[0] == '-') {
      std::fprintf(stderr, "zelvora encode: unknown option '%s' (see zelvora encode --help)\n", a.c_str());
      return 2;
    } else {
      o.files.push_back(a);
    }
  }
  if (o.files.empty()) return Usage("no files given");
  if (!o.pending.empty() && (!o.skipDone.empty() || o.dryRun || !o.manifest.empty() || o.shutdown))
    return Usage("--pending lists files and converts nothing: it goes with --shard and -0 only");
  if (o.nullEnds && o.pending.empty()) return Usage("-0 goes with --pending");
  return -1;
}

// Settings from a file given with --settings, read only. The encoders, the program folder and
// the error log belong to this machine: they come from the user's own store, whatever the
// file names, so a file handed over cannot make this run (or a dry run) start a program.
bool LoadSettingsFromFile(const std::string& file, EncodingSettings& s, StoredPaths& paths) {
  std::error_code ec;
  if (!fs::is_regular_file(FsPath(file), ec)) {
    std::fprintf(stderr, "zelvora encode: settings file '%s' not found\n", file.c_str());
    return false;
  }
  EncodingSettings unused;
  StoredPaths machine;
  LoadSettingsTelling(unused, machine);
  UseSettingsStoreFile(file, true);
  if (!LoadSettingsTelling(s, paths)) ResetSettings(s);
  for (auto field : {&StoredPaths::encoder_path_a, &StoredPaths::encoder_path_b, &StoredPaths::ProgramFolder,
                     &StoredPaths::error_log_path}) {
    if (!(paths.*field).empty() && paths.*field != machine.*field) {
      const char* name = field == &StoredPaths::encoder_path_a   ? "encoder_path_a"
                         : field == &StoredPaths::encoder_path_b ? "encoder_path_b"
                         : field == &StoredPaths::ProgramFolder  ? "ProgramFolder"
                                                                 : "error_log_path";
      std::fprintf(stderr, "zelvora encode: settings: encoder.%s is not taken from '%s'; this machine's own is used\n",
                   name, TerminalSafe(file).c_str());
    }
    paths.*field = machine.*field;
  }
  return true;
}

// The settings of this run: the store (or the given file, read only), then the --set changes.
bool LoadRunSettings(const Options& o, EncodingSettings& s, StoredPaths& paths) {
  if (!o.settingsFile.empty()) {
    if (!LoadSettingsFromFile(o.settingsFile, s, paths)) return false;
  } else if (!LoadSettingsTelling(s, paths)) {
    ResetSettings(s);
  }
  // The default output folder (the desktop) is made only when this run writes there.
  ApplyPathDefaults(paths, !o.dryRun && o.outputDir.empty());
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
    paths.output_folder = AbsolutePath(o.outputDir);
    // A root keeps its separator ("/", "C:\\").
    while (EndsWithPathSeparator(paths.output_folder) &&
           paths.output_folder != Utf8Path(FsTextPath(paths.output_folder).root_path()))
      paths.output_folder.pop_back();
  }
  return true;
}

// Ctrl-C: the first cancels like the cancel button, the second ends everything at once.
// SIGTERM and SIGHUP (the terminal closed), or on Windows Ctrl-Break and the console closed,
// end at once like a second Ctrl-C.
std::atomic<CBatchRun*> g_batch{nullptr};

bool OnStopRequest(const StopRequest& request) {
  static int interrupts = 0;  // the requests come one at a time
  CBatchRun* batch = g_batch.load();
  if (request.interrupt && ++interrupts == 1 && batch) {
    std::fputs("\nzelvora encode: cancelling (Ctrl-C again to quit at once)\n", stderr);
    if (batch->IsRunning()) batch->OnStartButton();
    return true;
  }
  if (batch) batch->Abandon();
  std::fprintf(stderr, "\nzelvora encode: stopped (%s)\n", request.name.c_str());
  return false;
}

// A cell of a result line: the line is tab-separated, so a tab or newline in a file name must
// not split it, nor may a control character reach the terminal.
std::string ResultCell(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    switch (c) {
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
#ifdef _WIN32
      // The path separator: Windows names hold no control character, so it stays as it is.
      case '\\': out += "\\"; break;
#else
      case '\\': out += "\\\\"; break;
#endif
      default:
        if (c < 0x20 || c == 0x7f) {
          char hex[8];
          std::snprintf(hex, sizeof hex, "\\x%02x", c);
          out += hex;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out;
}

bool IsSubtitleFile(const std::string& file) {
  std::string ext = Utf8Path(FsPath(file).extension());
  for (char& c : ext) c = AsciiLower(c);
  return ext == ".smi" || ext == ".srt";
}

void TellManifestProblem(const std::string& text) {
  std::fprintf(stderr, "zelvora encode: note: %s\n", TerminalSafe(text).c_str());
}

// A file's row as the list's probe pass makes it, and why it cannot be converted when it cannot.
struct FileRow {
  ListRowTexts row;
  std::string failure;      // empty for a row that waits
  bool unreadable = false;  // not even opened: the user is told at once
};

FileRow RowForFile(const std::string& full, const InterfaceTexts& texts, bool skipScan) {
  FileRow made;
  int result = -1;
  MediaInfo info;
  // Only regular files are probed or encoded: a FIFO or a device could block either forever.
  std::string notRegular = WhyNotRegularFile(full);
  RowProbe probed = RowProbe::kNotOpened;
  if (notRegular.empty()) {
    probed = ProbeListRow(full, texts, skipScan, made.row, result, info);
    if (probed == RowProbe::kNotOpened) notRegular = "cannot be opened for reading";
  }
  if (probed == RowProbe::kNoStatus) {
    // Without a scan only the size is looked at: an empty file is nothing to encode.
    made.row[kColStatus] = texts.status_failed;
    made.failure = "not a recognised media file";
  } else if (!notRegular.empty()) {
    made.row = NewListRow(full);
    made.row[kColStatus] = texts.status_failed;
    made.failure = notRegular;
    made.unreadable = true;
  } else if (made.row[kColStatus] != texts.status_waiting) {
    made.failure = info.unreadable_cause ? info.unreadable_cause : "not a recognised media file";
  }
  return made;
}

}  // namespace

int RunEncodeCommand(int argc, char** argv) {
  Options o;
  int status = ParseOptions(argc, argv, o);
  if (status >= 0) return status;
  // A wrong shard is a usage error before anything about the files is said.
  ShardSpec shard;
  if (!o.shard.empty()) {
    std::string error;
    if (!ParseShard(o.shard, shard, error)) return Usage(error.c_str());
  }
  // A subtitle is found beside its video by name; given as a file of its own (in/* catches it)
  // it is nothing to convert, so it is left out before the files are shared out.
  std::vector<std::string> files;
  for (const std::string& file : o.files) {
    if (IsSubtitleFile(file))
      std::fprintf(stderr, "zelvora encode: note: %s is a subtitle file, not a video; left out\n",
                   TerminalSafe(file).c_str());
    else
      files.push_back(file);
  }
  // The batch in its order: as given, or by path for a shard, so every shard sees one order.
  std::vector<size_t> order(files.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::vector<size_t> mine = order;
  if (!o.shard.empty()) {
    order = SortedByPath(files);
    mine.clear();
    for (size_t k = static_cast<size_t>(shard.index); k < order.size(); k += static_cast<size_t>(shard.count))
      mine.push_back(k);
  } else {
    mine = order;
  }
  // From here `mine` holds positions in `order`.
  if (!o.pending.empty() || !o.skipDone.empty()) {
    ManifestHistory history;
    std::string error;
    if (!history.Read(o.pending.empty() ? o.skipDone : o.pending, TellManifestProblem, error)) {
      std::fprintf(stderr, "zelvora encode: %s\n", TerminalSafe(error).c_str());
      return 2;
    }
    std::vector<size_t> left;
    for (size_t k : mine)
      if (!history.IsDone(AbsolutePath(files[order[k]]))) left.push_back(k);
    if (!o.pending.empty()) {
      for (size_t k : left) {
        std::fputs(files[order[k]].c_str(), stdout);
        std::fputc(o.nullEnds ? '\0' : '\n', stdout);
      }
      return std::fflush(stdout) == 0 ? 0 : 1;
    }
    if (left.size() < mine.size())
      std::fprintf(stderr, "zelvora encode: %zu of %zu files are done already; left out\n", mine.size() - left.size(),
                   mine.size());
    mine = left;
  }
  if (mine.empty()) {
    if (!o.skipDone.empty() && !files.empty())
      std::fprintf(stderr, "zelvora encode: %s%severy file is done already\n", o.shard.empty() ? "" : "shard ",
                   o.shard.empty() ? "" : (o.shard + ": ").c_str());
    else if (!o.shard.empty())
      std::fprintf(stderr, "zelvora encode: shard %s has no files\n", o.shard.c_str());
    else
      std::fprintf(stderr, "zelvora encode: no files to convert\n");
    return 0;
  }
  Manifest manifest;
  if (!o.manifest.empty() && !o.dryRun) {
    std::string error;
    if (!manifest.Open(o.manifest, "zelvora " + ShellCommandLine(argc, argv), error)) {
      std::fprintf(stderr, "zelvora encode: %s\n", error.c_str());
      return 2;
    }
  }

  EncodingSettings settings;
  StoredPaths paths;
  if (!LoadRunSettings(o, settings, paths)) return 2;
  const InterfaceTexts& texts = SelectInterfaceTexts(settings.language);
  const bool skipScan = settings.skip_scan == 1;

  FileList list;
  std::map<size_t, std::string> failedReasons;  // rows refused before the run, and why
  std::vector<long> rowAt(order.size(), -1);     // the list row of each position of the batch
  for (size_t k : mine) {
    const std::string& file = files[order[k]];
    FileRow made = RowForFile(AbsolutePath(file), texts, skipScan);
    if (!made.failure.empty()) failedReasons[list.size()] = made.failure;
    if (made.unreadable)
      std::fprintf(stderr, "zelvora encode: %s: %s\n", TerminalSafe(file).c_str(), made.failure.c_str());
    rowAt[k] = static_cast<long>(list.size());
    list.append(made.row);
  }
  // When this run converts part of a batch (a shard, or what a re-run leaves), the rest of the
  // batch still decides which file keeps an output name: an earlier file elsewhere that has
  // the same output name (letter case aside, as the output folder may fold it) and could be
  // converted takes it, as it would in one run over the whole batch.
  std::vector<BatchSource> batchSources;
  const bool partOfBatch = mine.size() < order.size();
  if (partOfBatch) {
    std::set<std::string> myNames;
    auto folded = [&settings](const std::string& path) {
      std::string name = OutputFileName(Utf8Path(FsPath(path).filename()), settings);
      for (char& c : name) c = AsciiLower(c);
      return name;
    };
    for (size_t k : mine) myNames.insert(folded(AbsolutePath(files[order[k]])));
    for (size_t k = 0; k < order.size(); ++k) {
      std::string full = AbsolutePath(files[order[k]]);
      if (rowAt[k] >= 0) {
        batchSources.push_back({full, rowAt[k]});
      } else if (myNames.count(folded(full)) &&
                 RowForFile(full, texts, skipScan).row[kColStatus] == texts.status_waiting) {
        batchSources.push_back({full, -1});
      }
    }
  }

  bool live = IsLiveTerminal(stderr);
  TerminalDisplay terminal(stderr, live);
  CBatchRun* running = nullptr;
  RowTimingDisplay display(terminal, [&](size_t row, double seconds) {
    if (!manifest.IsOpen() || !running) return;
    if (auto entry = EntryForRow(list, row, texts, running->Outcome(row), seconds)) manifest.Write(*entry);
  });
  BatchEnvironment env{&settings, &paths, &list, &texts, &display, nullptr, partOfBatch ? &batchSources : nullptr};
  CBatchRun batch(env);
  running = &batch;
  // Files that could not even be read are finished before the run starts: the error log and
  // the manifest get the same record and cause as a file that failed in the run.
  for (size_t i = 0; i < list.size() && !o.dryRun; ++i) {
    if (list.text(i, kColStatus) != texts.status_failed) continue;
    const std::string source = list.text(i, kColFullPath);
    RowOutcome refused;
    refused.cause = failedReasons.count(i) ? failedReasons[i] : "not a recognised media file";
    const std::string record = "Failed encoding media file, " + source;
    WriteErrorLog(paths.error_log_path, record);
    WriteErrorLog(paths.error_log_path, source + " => " + refused.cause);
    refused.message = refused.failure = record + " : " + refused.cause;
    if (manifest.IsOpen())
      if (auto entry = EntryForRow(list, i, texts, refused, 0)) manifest.Write(*entry);
  }

  if (o.dryRun) {
    int failures = 0;
    for (size_t i = 0; i < list.size(); ++i) {
      if (list.text(i, kColStatus) != texts.status_waiting) {
        std::string why = failedReasons.count(i) ? failedReasons[i] : "not a recognised media file";
        std::printf("# %s: %s\n", ResultCell(list.text(i, kColFullPath)).c_str(), ResultCell(why).c_str());
        ++failures;
        continue;
      }
      std::string error;
      std::string command = batch.DryRunCommand(i, &error);
      if (!error.empty()) {
        std::printf("# %s: %s\n", ResultCell(list.text(i, kColFullPath)).c_str(), ResultCell(error).c_str());
        ++failures;
      } else {
        std::printf("%s\n", command.c_str());
      }
    }
    return failures ? 1 : 0;
  }

  g_batch = &batch;
  WatchStopRequests(OnStopRequest);

  if (batch.OnStartButton(o.shutdown) == 1) batch.JoinThread();
  g_batch = nullptr;
  display.Finish();
  terminal.Finish();

  int failed = 0;
  std::set<std::string> notes;
  for (size_t i = 0; i < list.size(); ++i) {
    std::string rowStatus = list.text(i, kColStatus);
    RowOutcome outcome = batch.Outcome(i);
    std::string detail = rowStatus == texts.status_done ? outcome.outputPath : outcome.message;
    if (rowStatus != texts.status_done) ++failed;
    if (detail.empty() && rowStatus == texts.status_failed)
      detail = list.text(i, kColFullPath) + ": " +
               (failedReasons.count(i) ? failedReasons[i] : std::string("not a recognised media file"));
    if (!outcome.substitution.empty()) notes.insert(outcome.substitution);
    std::printf("%s\t%s\t%s\n", ResultCell(rowStatus).c_str(), ResultCell(list.text(i, kColFileName)).c_str(),
                ResultCell(detail).c_str());
  }
  // How this machine's encoders differ from the chosen ones: said once, not per file.
  for (const std::string& note : notes) std::fprintf(stderr, "zelvora encode: note: %s\n", TerminalSafe(note).c_str());
  if (batch.PowerOffResult() == 0) std::fputs("zelvora encode: the power-off was refused\n", stderr);
  return failed ? 1 : 0;
}
