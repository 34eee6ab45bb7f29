// Cost of loading and saving the settings: a fresh store per load (one read and parse of the
// file) and one atomic file replacement per save. bench_settings [rounds]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

#include "encoder/SettingsStore.h"

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::atoi(argv[1]) : 200;
  char folder[] = "/tmp/zelvora-bench-settings-XXXXXX";
  if (!::mkdtemp(folder)) return 1;
  const std::string path = std::string(folder) + "/registry.reg";
  using Clock = std::chrono::steady_clock;

  EncodingSettings s;
  ResetSettings(s);
  StoredPaths paths{"/in", "/out", "/usr/bin/ffmpeg", "/usr/bin/mencoder", "/opt/z", "/opt/z/error_log.txt", 0};
  RegistryStore saver(path);
  auto t0 = Clock::now();
  for (int i = 0; i < rounds; ++i) {
    s.video_bitrate = 800 + i;
    if (SaveSettings(s, paths, saver) != 1) return 1;
  }
  auto t1 = Clock::now();
  for (int i = 0; i < rounds; ++i) {
    RegistryStore store(path);
    EncodingSettings t;
    StoredPaths p;
    if (LoadSettings(t, p, store) != 1) return 1;
  }
  auto t2 = Clock::now();
  auto us = [&](auto a, auto b) { return std::chrono::duration<double, std::micro>(b - a).count() / rounds; };
  std::printf("save (one fsync'd file replacement): %.1f us per save\n", us(t0, t1));
  std::printf("load (fresh store, one read and parse): %.1f us per load\n", us(t1, t2));
  std::remove(path.c_str());
  ::rmdir(folder);
  return 0;
}
