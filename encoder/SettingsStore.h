// Loading, saving and resetting the encoding settings and the paths stored beside them.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "encoder/EncodingSettings.h"
#include "platform/RegistryStore.h"

// The key of all settings, below the current user's root.
inline constexpr const char* kSettingsKey = "SOFTWARE\\Tarvesk\\zelvora\\encoder";
inline constexpr const char* kSettingsKeyDefault = "Zelvora Media Encoder";

// The text that stands for an empty output-name prefix in the store: an absent or empty
// stored prefix means "use the default prefix", so an empty one needs its own marker.
inline constexpr const char* kNoPrefixSentinel = "!!_NO_DATA_!!";
inline constexpr const char* kDefaultPrefix = "_ZLVR_";

// Caps of the stored texts, in characters as the user sees and types them (code points, so a
// Korean prefix holds as many syllables as an English one letters).
inline constexpr size_t kMaxOptionalChars = 1023;
inline constexpr size_t kMaxPathChars = 259;
inline constexpr size_t kMaxPrefixChars = 63;

// Fills `s` with the defaults of a first start (every field without a default is 0 or empty).
void ResetSettings(EncodingSettings& s);

// Loads the record and the stored paths. Returns 1 when the settings key exists (whatever its
// groups hold), 0 when it does not; then the caller resets the record. Fields whose group is
// missing keep their content; missing values of a present group take their load defaults;
// sizes are made even, the video bit rate raised to 100, the volume cut to 500.
// Every stored value gets the checks of a value typed with `settings set`; what is corrected,
// refused or unreadable is noted, the notes going to the diagnostic log.
int LoadSettings(EncodingSettings& s, StoredPaths& paths, RegistryStore& root = CurrentUserStore());

// The same, handing the notes (one line each, naming the setting) to the caller to show.
using SettingsNotes = std::vector<std::string>;
int LoadSettings(EncodingSettings& s, StoredPaths& paths, SettingsNotes& notes,
                 RegistryStore& root = CurrentUserStore());

// Saves the record and the paths (not program_rebirth) with one replacement of the store
// file. An empty prefix is stored as the sentinel; the record itself is not changed.
// Returns 1 on success, 0 when the key or a group could not be created or the file not written.
int SaveSettings(const EncodingSettings& s, const StoredPaths& paths, RegistryStore& root = CurrentUserStore());

// Writes back only what differs between `before` (the record and paths as last loaded or
// saved) and `now`, so that changes another program made to the store meanwhile (`zelvora
// settings set` while the window is open) survive. When the store holds no settings yet, the
// whole record is saved as SaveSettings does. Nothing to write is a success. Returns 1 or 0 as
// SaveSettings does.
int SaveChangedSettings(const EncodingSettings& before, const StoredPaths& beforePaths, const EncodingSettings& now,
                        const StoredPaths& nowPaths, RegistryStore& root = CurrentUserStore());

// The start-up defaults of the paths: an empty last-open folder becomes the home folder, an
// empty output folder the desktop (created when `createFolders`); a stored ffmpeg path naming
// no file clears it, ProgramFolder and error_log_path; a stored mencoder path naming no file
// clears it; then the empty ones are filled from the program folder (the encoders: there,
// else the first on PATH).
void ApplyPathDefaults(StoredPaths& paths, bool createFolders = true);

// Cuts UTF-8 `text` to at most `maxChars` characters (code points).
std::string CutText(std::string text, size_t maxChars);
// The number of characters (code points) of UTF-8 `text`.
size_t CountChars(std::string_view text);
