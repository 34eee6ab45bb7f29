// zelvora-update-server --root DIR [--listen ADDR:PORT]: publishes sections to update clients.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tools/update-server/UpdateServer.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/resource.h>
#endif

namespace {

UpdateServer* g_server = nullptr;

#ifdef _WIN32
// Set when Run() has returned and every exchange is closed.
HANDLE g_stopped = nullptr;

// Ctrl+C, Ctrl+Break and the console closing stop the server as SIGINT and SIGTERM do elsewhere.
BOOL WINAPI OnConsoleEvent(DWORD event) {
  if (g_server) g_server->Stop();
  // After a close, log-off or shut-down event the system ends the process as soon as the
  // handler returns: the loop is given its few seconds to close the exchanges first.
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && g_stopped) ::WaitForSingleObject(g_stopped, 4000);
  return TRUE;
}
#else
void OnSignal(int) {
  if (g_server) g_server->Stop();
}
#endif

const char kUsage[] =
    "usage: zelvora-update-server --root DIR [--listen ADDR:PORT] [--max-clients N]\n"
    "                             [--max-per-address N] [--idle SECONDS] [--deadline SECONDS]\n"
    "       zelvora-update-server --version | --help\n"
    "\n"
    "Serves every signed DIR/SECTION/manifest.tsv with its signed files below DIR/SECTION/files/\n"
    "(each FILE beside its FILE.minisig). Default address 127.0.0.1:4654; port 0 picks a free\n"
    "port. At most 1024 clients, 64 from one address, each dropped after 30 s without progress\n"
    "or 900 s in all. SIGTERM or SIGINT stops it.\n";

// A whole number in [low, high] for a numeric option; false otherwise.
bool ParseCount(const std::string& text, long low, long high, int& out) {
  char* end = nullptr;
  const long v = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || v < low || v > high) return false;
  out = static_cast<int>(v);
  return true;
}

bool ParseListen(const std::string& text, UpdateServerOptions& opt) {
  const size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0) return false;
  char* end = nullptr;
  const long port = std::strtol(text.c_str() + colon + 1, &end, 10);
  if (end == text.c_str() + colon + 1 || *end != '\0' || port < 0 || port > 65535) return false;
  opt.address = text.substr(0, colon);
  opt.port = static_cast<int>(port);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  UpdateServerOptions opt;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool counted = arg == "--max-clients" || arg == "--max-per-address" || arg == "--idle" || arg == "--deadline";
    if ((arg == "--root" || arg == "--listen" || counted) && i + 1 < argc) {
      const std::string value = argv[++i];
      if (arg == "--root") opt.root = value;
      else if (arg == "--listen" && !ParseListen(value, opt)) {
        std::fprintf(stderr, "zelvora-update-server: --listen wants ADDR:PORT, not '%s'\n", value.c_str());
        return 2;
      } else if (counted) {
        int& field = arg == "--max-clients" ? opt.maxClients
                     : arg == "--max-per-address" ? opt.maxPerAddress
                     : arg == "--idle" ? opt.idleSeconds
                     : opt.deadlineSeconds;
        if (!ParseCount(value, 1, 1000000, field)) {
          std::fprintf(stderr, "zelvora-update-server: %s wants a whole number from 1 to 1000000, not '%s'\n",
                       arg.c_str(), value.c_str());
          return 2;
        }
      }
    } else if (arg == "--version") {
      std::printf("zelvora-update-server %s\n", ZELVORA_VERSION);
      return 0;
    } else if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    } else {
      std::fputs(kUsage, stderr);
      return 2;
    }
  }
  if (opt.root.empty()) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  UpdateServer server(opt);
  std::string error;
  if (!server.Listen(&error)) {
    std::fprintf(stderr, "zelvora-update-server: %s\n", error.c_str());
    return 1;
  }
  g_server = &server;
#ifdef _WIN32
  g_stopped = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  // A program started in a process group of its own has Ctrl+C switched off: on again, so
  // that Ctrl+C stops the server however it was started.
  ::SetConsoleCtrlHandler(nullptr, FALSE);
  ::SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
#else
  // Every published file stays open while it is listed: take every descriptor the system allows.
  rlimit files{};
  if (::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
    files.rlim_cur = files.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &files);
  }
  struct sigaction sa{};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  std::signal(SIGPIPE, SIG_IGN);
#endif
  // The bound port on stdout, so that whoever started the server on port 0 can find it.
  std::printf("listening on %s:%d\n", opt.address.c_str(), server.Port());
  std::fflush(stdout);
  const int status = server.Run();
  g_server = nullptr;
#ifdef _WIN32
  if (g_stopped) ::SetEvent(g_stopped);
#endif
  std::fprintf(stderr, "zelvora-update-server: stopped\n");
  return status;
}
