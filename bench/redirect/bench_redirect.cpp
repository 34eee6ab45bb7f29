// How much CPU our side of a redirected child costs while the child runs and prints nothing.
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "encoder/Redirect.h"

namespace {

double CpuSeconds(int who) {
  rusage ru{};
  getrusage(who, &ru);
  return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
         static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

// Voluntary plus involuntary context switches of every thread of this process.
long ContextSwitches() {
  std::ifstream in("/proc/self/status");
  std::string line;
  long total = 0;
  while (std::getline(in, line))
    if (line.rfind("voluntary_ctxt_switches:", 0) == 0 || line.rfind("nonvoluntary_ctxt_switches:", 0) == 0)
      total += std::atol(line.c_str() + line.find(':') + 1);
  return total;
}

struct Counter {
  long bytes = 0;
  static void Output(void* user, std::string_view text) { static_cast<Counter*>(user)->bytes += static_cast<long>(text.size()); }
};

}  // namespace

int main(int argc, char** argv) {
  const std::string seconds = argc > 1 ? argv[1] : "10";
  Counter counter;
  CRedir redir(&counter, &Counter::Output);
  const double cpu0 = CpuSeconds(RUSAGE_SELF);
  const long switches0 = ContextSwitches();
  const auto wall0 = std::chrono::steady_clock::now();
  if (!redir.StartChildProcess("\"sleep\" " + seconds, 0, 0)) {
    std::fprintf(stderr, "bench_redirect: %s\n", redir.StartError().c_str());
    return 1;
  }
  // The owner waits the way the batch run does: a 50 ms poll of IsChildRunning.
  while (redir.IsChildRunning()) redir.WaitForChildEnd(std::chrono::milliseconds(50));
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
  const double cpu = CpuSeconds(RUSAGE_SELF) - cpu0;
  const long switches = ContextSwitches() - switches0;
  redir.TerminateChildProcess();
  std::printf("child: sleep %s   wall %.2f s   our CPU %.4f s = %.3f %% of one core   context switches %ld   output %ld bytes\n",
              seconds.c_str(), wall, cpu, 100.0 * cpu / wall, switches, counter.bytes);
  return cpu / wall < 0.02 ? 0 : 2;
}
