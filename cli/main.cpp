// The zelvora command: entry point.
#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "--version") == 0) {
    std::printf("zelvora %s\n", ZELVORA_VERSION);
    return 0;
  }
  std::fprintf(stderr, "usage: zelvora --version\n");
  return 2;
}
