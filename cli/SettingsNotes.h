// Loading the stored settings for a command, with what had to be corrected told on stderr.
#pragma once

#include "encoder/EncodingSettings.h"
#include "platform/RegistryStore.h"

// LoadSettings over `root`, each note printed to stderr as "zelvora: settings: …".
// Returns what LoadSettings returns.
int LoadSettingsTelling(EncodingSettings& s, StoredPaths& paths, RegistryStore& root = CurrentUserStore());
