// zelvora-update-server --root DIR [--listen ADDR:PORT]: publishes sections to update clients.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tools/update-server/UpdateServer.h"

#ifdef _WIN32
#include <windows.h>
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
    "usage: zelvora-update-server --root DIR [--listen ADDR:PORT]\n"
    "       zelvora-update-server --version | --help\n"
    "\n"
    "Serves every DIR/SECTION/manifest.tsv with its files below DIR/SECTION/files/.\n"
    "Default address 127.0.0.1:4654; port 0 picks a free port. SIGTERM or SIGINT stops it.\n";

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
    if ((arg == "--root" || arg == "--listen") && i + 1 < argc) {
      const std::string value = argv[++i];
      if (arg == "--root") opt.root = value;
      else if (!ParseListen(value, opt)) {
        std::fprintf(stderr, "zelvora-update-server: --listen wants ADDR:PORT, not '%s'\n", value.c_str());
        return 2;
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
