// The weekly update check of the encoder and the start-up decision that runs it.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "platform/RegistryStore.h"
#include "support/InterfaceTexts.h"
#include "support/Minisign.h"

inline constexpr int kUpdatePort = 4654;
inline constexpr int64_t kUpdateInterval = 604800;  // one week, in seconds
inline constexpr const char* kEncoderSection = "zelvora_enc";
inline constexpr const char* kModuleSection = "skymod";
inline constexpr const char* kUpdateSettingsKey = "SOFTWARE\\Tarvesk\\zelvora\\encoder";
inline constexpr const char* kEncoderInstallFolder = "Tarvesk/zelvora/encoder";
inline constexpr const char* kModuleInstallFolder = "Tarvesk/zelvora/system";
#ifdef _WIN32
// Windows starts only a file that ends in .exe when no extension is given.
inline constexpr const char* kModuleFile = "skymod.exe";
#else
inline constexpr const char* kModuleFile = "skymod";
#endif

// Results of RunUpdateCheck.
inline constexpr int kUpdateStarted = 1;     // the module was refreshed and started: end the program
inline constexpr int kUpdateFailed = 0;      // no connection, refused, or an error on the way
inline constexpr int kUpdateWrongPath = -1;  // not run from the install folder; nothing asked
inline constexpr int kUpdateCurrent = -2;    // up to date
// RunStartupUpdateDecision only: no check ran (no server configured, or checked within the week).
inline constexpr int kUpdateNotRun = -3;

// Shows a message to the user: a message box in the GUI, a line on stderr in the CLI.
// `error`: the error icon (wrong install path); otherwise the warning icon.
using UpdateMessage = std::function<void(const std::string& text, const std::string& caption, bool error)>;

struct UpdateCheckSetup {
  std::string server;          // host name or dotted address
  int port = kUpdatePort;
  std::string programFiles;    // the P folder; empty: the platform's program-files folder
  std::string runningExe;      // empty: this process's executable
  int verdictTimeoutMs = 30000;  // bound of the server's silence: no block for this long ends the check
  int overallMs = 600000;        // bound of each exchange however the server behaves
  std::optional<MinisignKey> key;  // the publisher's key ("update_key"); none: nothing is installed
  std::string stagingParent;     // where downloads are staged; empty: the user's cache folder
  UpdateMessage message;
};

// Whether this copy was installed by the system's package manager (it lives below /usr), which
// updates it; such a copy never checks.
bool IsPackagedCopy(const std::string& runningExe);

// Asks the server whether the encoder's section has newer files; if so, brings the update
// module's section up to date and starts the module with its parameter text. Returns one of
// the results above. Each exchange ends after `verdictTimeoutMs` of silence or `overallMs` in
// all, and at once when the connection ends without a verdict. Only files signed with `key` for
// exactly their place are installed or started; `why` receives the reason of a failure.
int RunUpdateCheck(const UpdateCheckSetup& setup, std::string* why = nullptr);

// Reads "host[:port]" (the "update_server" setting); false for an empty or malformed text.
bool ParseUpdateServer(const std::string& text, std::string& host, int& port);

// What the program does at start, after loading its settings: with "update_server" set in
// `root` and "program_rebirth" more than a week before `now` (or `force`), runs the check,
// stores `now` as "program_rebirth" on results 1 and -2, and shows the "update did not
// complete" warning from `texts` on result 0, with the reason on a line of its own. Without a
// valid "update_key" nothing is asked: one warning says why, and the time is stored so that it
// is said once a week, not at every start. A copy installed by the package manager does not
// check. Returns the check's result, or kUpdateNotRun.
// On kUpdateStarted the caller ends the program without showing its window.
// (The server, port and the check's own messages in `setup` are filled here; the caller sets
// programFiles, runningExe and message as it needs.)
int RunStartupUpdateDecision(RegistryStore& root, int64_t now, const InterfaceTexts& texts, UpdateCheckSetup setup,
                             bool force = false);
