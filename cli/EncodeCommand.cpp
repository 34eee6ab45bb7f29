// zelvora encode: placeholder until the command lands.
#include <cstdio>

#include "cli/Commands.h"

int RunEncodeCommand(int, char**) {
  std::fprintf(stderr, "zelvora: 'encode' is not available in this build\n");
  return 2;
}
