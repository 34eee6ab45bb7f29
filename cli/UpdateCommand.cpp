// zelvora update [--check]: the weekly update check, as the program runs it at start.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "cli/Commands.h"
#include "cli/Console.h"
#include "encoder/PathText.h"
#include "encoder/SettingsStore.h"
#include "support/FileUtils.h"
#include "support/InterfaceTexts.h"
#include "update/UpdateCheck.h"

namespace {

const char kUpdateUsage[] =
    "usage: zelvora update [--check]\n"
    "\n"
    "Asks the update server (setting encoder.update_server, HOST[:PORT]) whether newer program\n"
    "files exist, at most once a week; --check asks now. When an update is due the update\n"
    "module is refreshed and started. Only files signed with the publisher's minisign key\n"
    "(setting encoder.update_key) are installed or started. The install folder is /opt\n"
    "(ZELVORA_PROGRAM_FILES overrides it); the encoder must run from Tarvesk/zelvora/encoder\n"
    "below it. A copy installed by the package manager is updated by the package manager.\n";

void PrintMessage(const std::string& text, const std::string&, bool error) {
  std::fprintf(stderr, "zelvora: %s%s\n", error ? "" : "warning: ", text.c_str());
}

}  // namespace

int RunUpdateCommand(int argc, char** argv) {
  bool force = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--check") == 0) {
      force = true;
    } else if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::fputs(kUpdateUsage, stdout);
      return 0;
    } else {
      std::fputs(kUpdateUsage, stderr);
      return 2;
    }
  }
  if (IsPackagedCopy(RunningExecutablePath())) {
    std::printf("This copy was installed by the package manager, which updates it; zelvora update does nothing here.\n");
    return 0;
  }
  RegistryStore& root = CurrentUserStore();
  EncodingSettings settings;
  StoredPaths paths;
  if (LoadSettings(settings, paths, root) == 0) ResetSettings(settings);
  if (paths.update_server.empty()) {
    std::printf("No update server is set (zelvora settings set encoder.update_server=HOST[:PORT]); nothing to do.\n");
    return 0;
  }
  UpdateCheckSetup setup;
  if (const char* p = std::getenv("ZELVORA_PROGRAM_FILES"); p && FsPath(p).is_absolute()) setup.programFiles = p;
  setup.message = PrintMessage;
  const int result = RunStartupUpdateDecision(root, static_cast<int64_t>(std::time(nullptr)),
                                              SelectInterfaceTexts(settings.language), setup, force);
  switch (result) {
    case kUpdateNotRun: {
      const std::time_t next = static_cast<std::time_t>(static_cast<int32_t>(paths.program_rebirth)) + kUpdateInterval;
      const std::tm tm = UtcTime(next);
      char when[32] = "?";
      std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S UTC", &tm);
      std::printf("Checked less than a week ago; the next check is due after %s (zelvora update --check asks now).\n",
                  when);
      return 0;
    }
    case kUpdateCurrent:
      std::printf("Zelvora Media Encoder is up to date.\n");
      return 0;
    case kUpdateStarted:
      std::printf("An update is due: the update module was refreshed and started.\n");
      return 0;
    default:
      return 1;
  }
}
