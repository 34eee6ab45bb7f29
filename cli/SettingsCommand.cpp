// zelvora settings: show, get, set and reset the stored settings, under their stored names.
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "cli/Commands.h"
#include "cli/SettingsNotes.h"
#include "encoder/SettingsFields.h"
#include "encoder/PathText.h"
#include "encoder/SettingsStore.h"
#include "support/FileUtils.h"

namespace {

const char kUsage[] =
    "usage: zelvora settings show\n"
    "       zelvora settings get GROUP.NAME\n"
    "       zelvora settings set GROUP.NAME=VALUE…\n"
    "       zelvora settings reset\n"
    "       zelvora settings export FILE\n"
    "Names are the stored ones (see 'settings show'); values of the main key are named\n"
    "encoder.NAME, and setting a path to nothing (encoder.output_folder=) brings back its\n"
    "default. 'reset' restores the encoding settings and keeps the paths.\n"
    "'export' writes the settings in use (stored, else their defaults) to FILE in the .reg\n"
    "syntax that 'zelvora encode --settings FILE' reads, so other machines can convert with\n"
    "them; the paths that belong to this machine (the encoders, the program folder, the error\n"
    "log) are left out, and so is an output folder that was never set.\n";

// The settings as the program would see them at start, plus what the store holds.
struct Snapshot {
  bool keyExists = false;
  EncodingSettings settings;  // loaded, or the reset record when nothing is stored
  StoredPaths storedPaths;    // the paths as stored
  StoredPaths paths;          // with the start-up defaults applied
};

Snapshot TakeSnapshot(bool createFolders) {
  Snapshot snap;
  snap.keyExists = LoadSettingsTelling(snap.settings, snap.storedPaths) == 1;
  if (!snap.keyExists) ResetSettings(snap.settings);
  snap.paths = snap.storedPaths;
  ApplyPathDefaults(snap.paths, createFolders);
  return snap;
}

std::string FullName(const SettingField& f) { return std::string(f.group) + "." + f.name; }

bool IsText(const SettingField& f) { return f.kind == SettingKind::kText || f.kind == SettingKind::kPath; }

std::string Quoted(const std::string& s) { return "\"" + s + "\""; }

// Where a shown value comes from: what the store holds for it and how loading treated it.
std::string SourceOf(const SettingField& f, const Snapshot& snap, const std::string& shown) {
  RegistryStore& root = CurrentUserStore();
  if (f.kind == SettingKind::kPath) {
    const std::string& stored = snap.storedPaths.*f.path;
    if (stored.empty()) return "default";
    return stored == shown ? "stored" : "default, replacing the stored " + Quoted(stored);
  }
  if (!snap.keyExists) return "default";
  const std::string key =
      std::string_view(f.group) == "encoder" ? std::string(kSettingsKey) : std::string(kSettingsKey) + "\\" + f.group;
  RegValue probe;
  if (RegReadValue(root, key, "", probe) != 1) return "not stored (group missing)";
  RegValue v;
  if (RegReadValue(root, key, f.name, v) != 1 || v.type != (IsText(f) ? kRegSz : kRegDword))
    return f.hasMissingDefault || f.text == &EncodingSettings::fn_prefix ? "default" : "not stored";
  std::string raw = v.type == kRegSz ? v.text
                    : f.kind == SettingKind::kTime ? std::to_string(v.dword)
                                                   : std::to_string(static_cast<int32_t>(v.dword));
  if (f.text == &EncodingSettings::fn_prefix && raw == kNoPrefixSentinel) return "stored as no prefix";
  if (raw == shown) return "stored";
  return "stored " + (IsText(f) ? Quoted(raw) : raw) + ", adjusted";
}

int Show() {
  Snapshot snap = TakeSnapshot(false);
  RegistryStore& root = CurrentUserStore();
  std::printf("# settings file: %s%s\n", root.path().c_str(),
              snap.keyExists ? "" : " (nothing stored: the defaults of a first start)");
  std::string group;
  for (const auto& f : SettingFields()) {
    if (group != f.group) {
      group = f.group;
      std::printf("\n");
    }
    const std::string value = SettingValueText(f, snap.settings, snap.paths);
    std::string name = FullName(f);
    std::string shown = IsText(f) ? Quoted(value) : value;
    std::printf("%-32s = %-10s # %s; %s\n", name.c_str(), shown.c_str(), SourceOf(f, snap, value).c_str(),
                f.meaning);
  }
  return 0;
}

int Get(const char* name) {
  const SettingField* f = FindSettingField(name);
  if (!f) {
    std::fprintf(stderr, "zelvora: unknown setting '%s' (see zelvora settings show)\n", name);
    return 2;
  }
  Snapshot snap = TakeSnapshot(false);
  std::printf("%s\n", SettingValueText(*f, snap.settings, snap.paths).c_str());
  return 0;
}

// Saves the record and the paths; the update time too when `withUpdateTime` (the settings save
// leaves it to the update check). All of it reaches the disk in one file replacement.
int Save(const Snapshot& snap, const StoredPaths& paths, bool withUpdateTime = false) {
  RegistryStore& root = CurrentUserStore();
  RegistryStore::Batch batch(root);
  bool ok = SaveSettings(snap.settings, paths, root) == 1;
  if (ok && withUpdateTime) ok = RegWriteDword(root, kSettingsKey, "program_rebirth", paths.program_rebirth) == 1;
  ok = batch.Commit() && ok;
  if (!ok) {
    std::fprintf(stderr, "zelvora: the settings could not be written to %s\n", CurrentUserStore().path().c_str());
    return 1;
  }
  return 0;
}

int Set(int count, char** assignments) {
  Snapshot snap = TakeSnapshot(false);
  StoredPaths paths = snap.storedPaths;  // the start-up defaults are not written back
  std::vector<std::pair<const SettingField*, std::string>> changed;
  bool updateTime = false;
  for (int i = 0; i < count; ++i) {
    const char* eq = std::strchr(assignments[i], '=');
    if (!eq) {
      std::fprintf(stderr, "zelvora: '%s' is not GROUP.NAME=VALUE\n", assignments[i]);
      return 2;
    }
    std::string name(assignments[i], static_cast<size_t>(eq - assignments[i]));
    const SettingField* f = FindSettingField(name);
    if (!f) {
      std::fprintf(stderr, "zelvora: unknown setting '%s' (see zelvora settings show)\n", name.c_str());
      return 2;
    }
    std::string error;
    if (!SetSettingValue(*f, eq + 1, snap.settings, paths, error)) {
      std::fprintf(stderr, "zelvora: %s\n", error.c_str());
      return 2;
    }
    changed.emplace_back(f, eq + 1);
    updateTime = updateTime || f->kind == SettingKind::kTime;
  }
  if (int rc = Save(snap, paths, updateTime)) return rc;
  for (const auto& [f, given] : changed) {
    std::string value = SettingValueText(*f, snap.settings, paths);
    std::printf("%s = %s%s\n", FullName(*f).c_str(), value.c_str(),
                value == given || IsText(*f) ? "" : (" (given " + given + ")").c_str());
  }
  return 0;
}

int Reset() {
  Snapshot snap = TakeSnapshot(false);
  ResetSettings(snap.settings);
  if (int rc = Save(snap, snap.storedPaths)) return rc;
  std::printf("encoding settings reset to their defaults in %s (paths kept)\n", CurrentUserStore().path().c_str());
  return 0;
}

// Writes the settings in use to `file` (replaced whole), through a store of its own beside it.
int Export(const char* file) {
  Snapshot snap = TakeSnapshot(false);
  StoredPaths paths = snap.storedPaths;  // defaults of paths are this machine's: not written
  for (std::string* own : {&paths.encoder_path_a, &paths.encoder_path_b, &paths.ProgramFolder, &paths.error_log_path})
    own->clear();
  const std::string target = file;
  std::error_code ec;
  if (std::filesystem::is_directory(FsPath(target), ec)) {
    std::fprintf(stderr, "zelvora settings: %s is a folder; give the file to write\n", file);
    return 2;
  }
  const std::filesystem::path parent = FsPath(target).parent_path();
  if (!parent.empty() && !std::filesystem::is_directory(parent, ec)) {
    std::fprintf(stderr, "zelvora settings: cannot write %s: its folder does not exist\n", file);
    return 1;
  }
  const std::string scratch = target + ".zelvora-export-" + std::to_string(std::random_device{}());
  bool ok;
  {
    RegistryStore out(scratch, false);
    RegistryStore::Batch batch(out);
    ok = SaveSettings(snap.settings, paths, out) == 1;
    ok = batch.Commit() && ok;
  }
  if (ok) std::filesystem::rename(FsPath(scratch), FsPath(target), ec);
  if (!ok || ec) {
    std::filesystem::remove(FsPath(scratch), ec);
    std::fprintf(stderr, "zelvora settings: cannot write %s%s%s\n", file, ec ? ": " : "", ec ? ec.message().c_str() : "");
    return 1;
  }
  std::printf("settings written to %s%s\n", file, snap.keyExists ? "" : " (nothing stored: the defaults)");
  return 0;
}

}  // namespace

int RunSettingsCommand(int argc, char** argv) {
  const char* action = argc >= 2 ? argv[1] : "";
  // --help anywhere (zelvora settings show --help) asks for this text, as with other commands.
  for (int i = 1; i < argc; ++i)
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) action = argv[i];
  if (std::strcmp(action, "show") == 0 && argc == 2) return Show();
  if (std::strcmp(action, "get") == 0 && argc == 3) return Get(argv[2]);
  if (std::strcmp(action, "set") == 0 && argc >= 3) return Set(argc - 2, argv + 2);
  if (std::strcmp(action, "reset") == 0 && argc == 2) return Reset();
  if (std::strcmp(action, "export") == 0 && argc == 3 && *argv[2]) return Export(argv[2]);
  if (std::strcmp(action, "--help") == 0 || std::strcmp(action, "-h") == 0) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (*action) std::fprintf(stderr, "zelvora settings: unknown action or wrong arguments: '%s'\n", action);
  std::fputs(kUsage, stderr);
  return 2;
}
