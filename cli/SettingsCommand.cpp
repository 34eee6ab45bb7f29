// zelvora settings: placeholder until the command lands.
#include <cstdio>

#include "cli/Commands.h"

int RunSettingsCommand(int, char**) {
  std::fprintf(stderr, "zelvora: 'settings' is not available in this build\n");
  return 2;
}
