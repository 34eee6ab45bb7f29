// Settings notes on stderr: a value the program did not take as stored is never replaced silently.
#include "cli/SettingsNotes.h"

#include <cstdio>

#include "cli/TextOutput.h"
#include "encoder/SettingsStore.h"

int LoadSettingsTelling(EncodingSettings& s, StoredPaths& paths, RegistryStore& root) {
  SettingsNotes notes;
  int result = LoadSettings(s, paths, notes, root);
  for (const std::string& note : notes) std::fprintf(stderr, "zelvora: settings: %s\n", TerminalSafe(note).c_str());
  return result;
}
