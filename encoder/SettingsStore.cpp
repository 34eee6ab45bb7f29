// Loading and saving the settings record through the registry primitives, table-driven.
#include "encoder/SettingsStore.h"

#include <cstdlib>
#include <filesystem>

#include "encoder/EncoderSystem.h"
#include "encoder/PathText.h"
#include "encoder/SettingsFields.h"
#include "platform/Process.h"
#include "platform/KnownFolders.h"
#include "support/AsciiText.h"
#include "support/DebugLog.h"
#include "support/FileUtils.h"

namespace {

std::string SubKey(const char* group) { return std::string(kSettingsKey) + "\\" + group; }

bool ReadDword(RegistryStore& root, const std::string& key, const char* name, uint32_t& out) {
  RegValue v;
  if (RegReadValue(root, key, name, v) != 1 || v.type != kRegDword) return false;
  out = v.dword;
  return true;
}

bool ReadText(RegistryStore& root, const std::string& key, const char* name, size_t maxChars, std::string& out) {
  RegValue v;
  if (RegReadValue(root, key, name, v) != 1 || v.type != kRegSz) return false;
  out = CutText(std::move(v.text), maxChars);
  return true;
}

// The line of the store file that named this value but could not be read, if any.
const RegProblem* UnreadLine(const std::vector<RegProblem>& problems, const std::string& key, const char* name) {
  for (const RegProblem& p : problems)
    if (!p.name.empty() && SameIgnoringCase(p.key, key) && SameIgnoringCase(p.name, name)) return &p;
  return nullptr;
}

std::string FieldName(const SettingField& f) { return std::string(f.group) + "." + f.name; }

// Whether an unreadable line held the value of a known setting.
bool NamesASetting(const RegProblem& p) {
  if (p.name.empty()) return false;
  for (const auto& f : SettingFields()) {
    const std::string key = std::string_view(f.group) == "encoder" ? std::string(kSettingsKey) : SubKey(f.group);
    if (SameIgnoringCase(p.key, key) && SameIgnoringCase(p.name, f.name)) return true;
  }
  return false;
}

// Loads one value of a group. A stored value gets the checks of a typed one; a value whose line
// could not be read takes its default, and either is noted for the user.
void LoadField(RegistryStore& root, const std::string& key, const SettingField& f, EncodingSettings& s,
               const std::vector<RegProblem>& problems, SettingsNotes& notes) {
  const RegProblem* unread = UnreadLine(problems, key, f.name);
  auto noteUnread = [&](const std::string& value) {
    notes.push_back(FieldName(f) + ": line " + std::to_string(unread->line) + " cannot be read (" + unread->reason +
                    "); it takes its default " + value);
  };
  if (f.kind == SettingKind::kText) {
    std::string text;
    if (ReadText(root, key, f.name, f.maxChars, text)) {
      // The prefix is checked after its sentinel is read, by the caller.
      if (f.text != &EncodingSettings::fn_prefix) {
        std::string note = CheckStoredText(f, text, SettingTextDefault(f));
        if (!note.empty()) notes.push_back(note);
      }
      s.*f.text = std::move(text);
    } else if ((f.hasMissingDefault || unread) && f.text != &EncodingSettings::fn_prefix) {
      s.*f.text = SettingTextDefault(f);
      if (unread) noteUnread("\"" + s.*f.text + "\"");
    } else if (unread) {
      noteUnread(std::string("\"").append(SettingTextDefault(f)).append("\""));
    }
    return;
  }
  uint32_t raw = 0;
  int32_t value = 0;
  if (ReadDword(root, key, f.name, raw)) {
    value = static_cast<int32_t>(raw);
    std::string note = CheckStoredNumber(f, value);
    if (!note.empty()) notes.push_back(note);
  } else if (f.hasMissingDefault || unread) {
    value = SettingLoadDefault(f);
    if (unread) noteUnread(std::to_string(value));
  } else {
    return;
  }
  s.*f.number = value;
}

void LoadPaths(RegistryStore& root, StoredPaths& paths, const std::vector<RegProblem>& problems,
               SettingsNotes& notes) {
  for (const auto& f : SettingFields()) {
    if (f.kind == SettingKind::kPath) {
      std::string text;
      if (ReadText(root, kSettingsKey, f.name, f.maxChars, text)) {
        // A support address edited by hand into something no browser should be given is
        // refused here, so the about box opens the home page instead.
        if (f.path == &StoredPaths::support_address)
          if (std::string note = CheckStoredText(f, text, ""); !note.empty()) notes.push_back(note);
        paths.*f.path = std::move(text);
      }
      else if (const RegProblem* unread = UnreadLine(problems, kSettingsKey, f.name))
        notes.push_back(FieldName(f) + ": line " + std::to_string(unread->line) + " cannot be read (" +
                        unread->reason + "); it takes its default");
    } else if (f.kind == SettingKind::kTime) {
      uint32_t t = 0;
      if (ReadDword(root, kSettingsKey, f.name, t)) paths.program_rebirth = t;
    }
  }
}

}  // namespace

size_t CountChars(std::string_view text) {
  size_t count = 0;
  for (char c : text) count += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  return count;
}

std::string CutText(std::string text, size_t maxChars) {
  size_t chars = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    // A character begins at every byte that is not a continuation byte.
    if ((static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) continue;
    if (chars++ == maxChars) {
      text.resize(i);
      break;
    }
  }
  return text;
}

void ResetSettings(EncodingSettings& s) {
  s = EncodingSettings{};
  for (const auto& f : SettingFields()) {
    if (f.kind == SettingKind::kNumber || f.kind == SettingKind::kSwitch)
      s.*f.number = f.recordDefault;
    else if (f.kind == SettingKind::kText)
      s.*f.text = SettingTextDefault(f);
  }
}

int LoadSettings(EncodingSettings& s, StoredPaths& paths, RegistryStore& root) {
  SettingsNotes notes;
  int result = LoadSettings(s, paths, notes, root);
  for (const std::string& note : notes) DebugLog(kDebugTarget, "settings: %s", note.c_str());
  return result;
}

int LoadSettings(EncodingSettings& s, StoredPaths& paths, SettingsNotes& notes, RegistryStore& root) {
  const std::vector<RegProblem> problems = root.Problems();
  for (const RegProblem& p : problems) {
    if (p.line == 0)
      notes.push_back("the settings file " + root.path() + " cannot be read (" + p.reason +
                      "); every setting takes its default, and the file is kept aside when settings are next saved");
    else if (!NamesASetting(p))  // the lines of settings are noted with the setting they hold
      notes.push_back("line " + std::to_string(p.line) + " of " + root.path() + " cannot be read (" + p.reason +
                      "): " + p.text);
  }
  RegValue mainDefault;
  if (RegReadValue(root, kSettingsKey, "", mainDefault) != 1) return 0;
  for (const auto& group : SettingGroups()) {
    const std::string key = SubKey(group.name);
    RegValue description;
    if (RegReadValue(root, key, "", description) != 1) continue;  // a missing group keeps its fields
    for (const auto& f : SettingFields())
      if (std::string_view(f.group) == group.name) LoadField(root, key, f, s, problems, notes);
  }
  // An absent or empty prefix means the default one; only the sentinel means "no prefix".
  if (s.fn_prefix.empty())
    s.fn_prefix = kDefaultPrefix;
  else if (s.fn_prefix == kNoPrefixSentinel)
    s.fn_prefix.clear();
  if (const SettingField* prefix = FindSettingField("etc_conf.fn_prefix")) {
    std::string note = CheckStoredText(*prefix, s.fn_prefix, kDefaultPrefix);
    if (!note.empty()) notes.push_back(note);
  }
  LoadPaths(root, paths, problems, notes);
  return 1;
}

int SaveSettings(const EncodingSettings& s, const StoredPaths& paths, RegistryStore& root) {
  if (root.readOnly()) return 0;
  RegistryStore::Batch batch(root);
  // A value that cannot be stored (a text with a line break) would be lost silently: the
  // whole save reports failure instead, so that the caller logs it.
  bool allWritten = true;
  auto check = [&](int result) { allWritten = allWritten && result == 1; };
  RegValue mainDefault;
  if (RegReadValue(root, kSettingsKey, "", mainDefault) != 1) {
    if (RegEnsureKey(root, kSettingsKey) == 0) return 0;
    check(RegWriteValue(root, kSettingsKey, "", kSettingsKeyDefault, kRegSz, 0));
  }
  for (const auto& group : SettingGroups()) {
    const std::string key = SubKey(group.name);
    if (RegEnsureKey(root, key) == 0) return 0;
    check(RegWriteValue(root, key, "", group.description, kRegSz, 0));
    for (const auto& f : SettingFields()) {
      if (std::string_view(f.group) != group.name) continue;
      if (f.kind == SettingKind::kText) {
        const std::string& text = s.*f.text;
        const bool noPrefix = f.text == &EncodingSettings::fn_prefix && text.empty();
        check(RegWriteValue(root, key, f.name, noPrefix ? kNoPrefixSentinel : text, kRegSz, 0));
      } else {
        check(RegWriteDword(root, key, f.name, static_cast<uint32_t>(s.*f.number)));
      }
    }
  }
  for (const auto& f : SettingFields())
    if (f.kind == SettingKind::kPath) check(RegWriteValue(root, kSettingsKey, f.name, paths.*f.path, kRegSz, 0));
  return batch.Commit() && allWritten ? 1 : 0;
}

int SaveChangedSettings(const EncodingSettings& before, const StoredPaths& beforePaths, const EncodingSettings& now,
                        const StoredPaths& nowPaths, RegistryStore& root) {
  if (root.readOnly()) return 0;
  RegValue mainDefault;
  if (RegReadValue(root, kSettingsKey, "", mainDefault) != 1) return SaveSettings(now, nowPaths, root);
  RegistryStore::Batch batch(root);
  bool allWritten = true;
  auto check = [&](int result) { allWritten = allWritten && result == 1; };
  for (const auto& group : SettingGroups()) {
    const std::string key = SubKey(group.name);
    bool groupReady = false;
    for (const auto& f : SettingFields()) {
      if (std::string_view(f.group) != group.name || f.kind == SettingKind::kPath || f.kind == SettingKind::kTime)
        continue;
      const bool text = f.kind == SettingKind::kText;
      if (text ? before.*f.text == now.*f.text : before.*f.number == now.*f.number) continue;
      // A group is read only when its key has its description, so a changed value makes sure of both.
      if (!groupReady) {
        RegValue description;
        if (RegReadValue(root, key, "", description) != 1) {
          if (RegEnsureKey(root, key) == 0) return 0;
          check(RegWriteValue(root, key, "", group.description, kRegSz, 0));
        }
        groupReady = true;
      }
      if (text) {
        const bool noPrefix = f.text == &EncodingSettings::fn_prefix && (now.*f.text).empty();
        check(RegWriteValue(root, key, f.name, noPrefix ? kNoPrefixSentinel : now.*f.text, kRegSz, 0));
      } else {
        check(RegWriteDword(root, key, f.name, static_cast<uint32_t>(now.*f.number)));
      }
    }
  }
  for (const auto& f : SettingFields())
    if (f.kind == SettingKind::kPath && beforePaths.*f.path != nowPaths.*f.path)
      check(RegWriteValue(root, kSettingsKey, f.name, nowPaths.*f.path, kRegSz, 0));
  return batch.Commit() && allWritten ? 1 : 0;
}

void ApplyPathDefaults(StoredPaths& paths, bool createFolders) {
  if (paths.last_open_folder.empty()) paths.last_open_folder = HomeFolder();
  if (paths.output_folder.empty())
    paths.output_folder = createFolders ? GetSpecialFolder(kFolderDesktop) : SpecialFolderPath(kFolderDesktop);

  const std::string programFolder = GetProgramFolder();
  if (!paths.encoder_path_a.empty() && !FileExists(paths.encoder_path_a)) {
    paths.encoder_path_a.clear();
    paths.ProgramFolder.clear();
    paths.error_log_path.clear();
  }
  if (!paths.encoder_path_b.empty() && !FileExists(paths.encoder_path_b)) paths.encoder_path_b.clear();

  // Beside the program first, else the one installed on PATH; with neither, the name beside
  // the program shows the user where the encoder is expected.
  auto encoder = [&](const char* name) {
    std::string found = platform::FindExecutable(name, programFolder);
    return found.empty() ? JoinPath(programFolder, name) : found;
  };
#ifdef _WIN32
  if (paths.encoder_path_a.empty()) paths.encoder_path_a = encoder("ffmpeg.exe");
  if (paths.encoder_path_b.empty()) paths.encoder_path_b = encoder("mencoder.exe");
#else
  if (paths.encoder_path_a.empty()) paths.encoder_path_a = encoder("ffmpeg");
  if (paths.encoder_path_b.empty()) paths.encoder_path_b = encoder("mencoder");
#endif
  if (paths.ProgramFolder.empty()) paths.ProgramFolder = programFolder;
  // Earlier versions kept the log beside the program; that default moves to the user's state
  // (on Windows: the user's local application data).
  if (paths.error_log_path.empty() || paths.error_log_path == JoinPath(programFolder, "error_log.txt")) {
#ifdef _WIN32
    paths.error_log_path = JoinPath(UserLocalDataFolder(), "zelvora\\error_log.txt");
#else
    paths.error_log_path = DefaultErrorLogPath();
#endif
    if (createFolders) {
      std::error_code ec;
      std::filesystem::create_directories(FsPath(paths.error_log_path).parent_path(), ec);
    }
  }
}
