// The zelvora command: dispatches to its subcommands.
#include <cstdio>
#include <cstring>

#include "cli/Commands.h"
#include "cli/Console.h"

namespace {

const char kUsage[] =
    "usage: zelvora COMMAND [ARGS…]\n"
    "       zelvora --help | --version\n"
    "\n"
    "commands:\n"
    "  settings show                 every stored setting (defaults marked)\n"
    "  settings get GROUP.NAME       one setting\n"
    "  settings set GROUP.NAME=VALUE change one setting\n"
    "  settings reset                back to the defaults\n"
    "  settings export FILE          the settings in use, as a file for encode --settings\n"
    "  probe [--json] FILE…          what each media file holds\n"
    "  encode [options] FILE…        convert files with the stored settings\n"
    "                                (zelvora encode --help for its options: output folder,\n"
    "                                shards, manifest, re-runs)\n"
    "  encode --pending MANIFEST FILE…\n"
    "                                the FILEs that no manifest marks done (--pending may\n"
    "                                be repeated, one per manifest)\n"
    "  update [--check]              the weekly update check (--check: now)\n"
    "  help [COMMAND]                this text, or the options of COMMAND\n"
    "\n"
    "options:\n"
    "  --version                     the program version\n"
    "  -h, --help                    this text\n"
    "\n"
    "Exit status: 0 success, 1 failure, 2 usage error.\n";

}  // namespace

int main(int argc, char** argv) {
  PrepareProcess(argc, argv);
  if (argc < 2) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  const char* command = argv[1];
  if (std::strcmp(command, "--version") == 0) {
    std::printf("zelvora %s\n", ZELVORA_VERSION);
    return 0;
  }
  if (std::strcmp(command, "--help") == 0 || std::strcmp(command, "-h") == 0) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (std::strcmp(command, "help") == 0) {
    if (argc == 2) {
      std::fputs(kUsage, stdout);
      return 0;
    }
    // "zelvora help encode" is "zelvora encode --help".
    char help[] = "--help";
    char* args[] = {argv[2], help, nullptr};
    if (std::strcmp(argv[2], "settings") == 0) return RunSettingsCommand(2, args);
    if (std::strcmp(argv[2], "probe") == 0) return RunProbeCommand(2, args);
    if (std::strcmp(argv[2], "encode") == 0) return RunEncodeCommand(2, args);
    if (std::strcmp(argv[2], "update") == 0) return RunUpdateCommand(2, args);
    std::fprintf(stderr, "zelvora: unknown command '%s' (see zelvora --help)\n", argv[2]);
    return 2;
  }
  if (std::strcmp(command, "settings") == 0) return RunSettingsCommand(argc - 1, argv + 1);
  if (std::strcmp(command, "probe") == 0) return RunProbeCommand(argc - 1, argv + 1);
  if (std::strcmp(command, "encode") == 0) return RunEncodeCommand(argc - 1, argv + 1);
  if (std::strcmp(command, "update") == 0) return RunUpdateCommand(argc - 1, argv + 1);
  std::fprintf(stderr, "zelvora: unknown command '%s' (see zelvora --help)\n", command);
  return 2;
}
