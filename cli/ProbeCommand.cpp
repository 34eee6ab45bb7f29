// zelvora probe: placeholder until the command lands.
#include <cstdio>

#include "cli/Commands.h"

int RunProbeCommand(int, char**) {
  std::fprintf(stderr, "zelvora: 'probe' is not available in this build\n");
  return 2;
}
