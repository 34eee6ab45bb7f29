// A stand-in for an encoder, written in C++ so that the tests run a real child process on every
// system (on Windows no shell script can play the encoder). It answers ffmpeg's capability
// listings, prints progress as ffmpeg does and writes its output by copying its source; small
// modes of its own serve the tests of the redirected child.
//
//   standin -hide_banner -encoders | -filters    the listings of an ffmpeg with every encoder the
//                                                option builder may choose
//   standin … -i SOURCE … OUTPUT                 a "Duration:" line, progress lines, SOURCE
//                                                copied to OUTPUT (the last argument)
//   standin --print TEXT                         TEXT on standard output
//   standin --out-and-err                        "out" on standard output, then "err" on
//                                                standard error; exit status 1
//   standin --count N                            the lines "progress line 0" … "progress line N-1"
//   standin --numbers N                          the lines "0" … "N-1"
//   standin --args A…                            every argument as [A]
//   standin --sleep SECONDS                      sleeps
//   standin --flood                              writes lines without end
//   standin --leave-behind sleep|flood           starts a copy of itself (sleeping 30 s, or
//                                                flooding) on the same output, says "bye", ends
//   standin --started-then-sleep                 starts a sleeping copy of itself, says
//                                                "started PID" with the copy's process id, sleeps 30 s
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>

#include <fcntl.h>
#include <io.h>
#else
#include <unistd.h>
#endif

namespace {

// A file name given as UTF-8 (the arguments are taken as UTF-8 on every system).
std::filesystem::path FilePath(const std::string& utf8) {
#ifdef _WIN32
  int n = ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(n > 0 ? n : 0), L'\0');
  if (n > 0) ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(), n);
  return std::filesystem::path(wide);
#else
  return std::filesystem::path(utf8);
#endif
}

// The arguments as UTF-8: on Windows from the wide command line, which holds every name.
std::vector<std::string> Arguments(int argc, char** argv) {
#ifdef _WIN32
  int count = 0;
  std::vector<std::string> args;
  if (wchar_t** wide = ::CommandLineToArgvW(::GetCommandLineW(), &count)) {
    for (int i = 1; i < count; ++i) {
      int n = ::WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, nullptr, 0, nullptr, nullptr);
      std::string text(static_cast<size_t>(n > 0 ? n : 1), '\0');
      if (n > 0) ::WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, text.data(), n, nullptr, nullptr);
      text.resize(text.size() - 1);
      args.push_back(text);
    }
    ::LocalFree(wide);
    return args;
  }
#endif
  return std::vector<std::string>(argv + 1, argv + argc);
}

void Out(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

// Starts this program again with `args`, on the same standard output and error; its process id or -1.
long StartCopy(const std::vector<std::string>& args) {
#ifdef _WIN32
  wchar_t self[32768];
  DWORD n = ::GetModuleFileNameW(nullptr, self, 32768);
  if (n == 0 || n >= 32768) return -1;
  std::wstring line = L"\"" + std::wstring(self, n) + L"\"";
  for (const std::string& a : args) line += L" " + std::wstring(a.begin(), a.end());  // ASCII words only
  STARTUPINFOW si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
  si.hStdOutput = ::GetStdHandle(STD_OUTPUT_HANDLE);
  si.hStdError = ::GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION pi{};
  if (!::CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi)) return -1;
  ::CloseHandle(pi.hThread);
  ::CloseHandle(pi.hProcess);
  return static_cast<long>(pi.dwProcessId);
#else
  char self[4096];
  ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return -1;
  self[n] = '\0';
  pid_t pid = ::fork();
  if (pid == 0) {
    std::vector<std::string> all{self};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    ::execv(self, argv.data());
    ::_exit(127);
  }
  return pid;
#endif
}

void SleepSeconds(int seconds) { std::this_thread::sleep_for(std::chrono::seconds(seconds)); }

[[noreturn]] void Flood() {
  for (;;) Out("y\n");
}

// ffmpeg's part: progress on standard error as ffmpeg writes it, then the source copied.
int Encode(const std::vector<std::string>& args) {
  std::string source;
  for (size_t i = 0; i + 1 < args.size(); ++i)
    if (args[i] == "-i") source = args[i + 1];
  const std::string output = args.back();
  std::fputs("Input #0, mov,mp4,m4a,3gp,3g2,mj2, from 'source':\n  Duration: 00:00:02.00, start: 0.000000, bitrate: 100 kb/s\n",
             stderr);
  for (int second = 0; second <= 2; ++second) {
    std::fprintf(stderr, "frame=%5d fps= 25 q=2.0 size=%6dkB time=00:00:%02d.00 bitrate= 100.0kbits/s speed=1x\r",
                 second * 25, second * 12, second);
    std::fflush(stderr);
  }
  std::ifstream in(FilePath(source), std::ios::binary);
  std::ofstream out(FilePath(output), std::ios::binary | std::ios::trunc);
  out << in.rdbuf();
  if (!in || !out.flush()) {
    std::fprintf(stderr, "\n%s: Invalid argument\n", output.c_str());
    return 1;
  }
  std::fputs("\nvideo:10kB audio:2kB subtitle:0kB other streams:0kB global headers:0kB muxing overhead: 1%\n", stderr);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
#ifdef _WIN32
  // Line ends as an encoder writes them, "\n" alone.
  ::_setmode(::_fileno(stdout), _O_BINARY);
  ::_setmode(::_fileno(stderr), _O_BINARY);
#endif
  std::vector<std::string> args = Arguments(argc, argv);
  if (args.empty()) return 2;
  const std::string& mode = args[0];
  const std::string value = args.size() > 1 ? args[1] : "";
  for (const std::string& a : args) {
    if (a == "-encoders") {
      Out("Encoders:\n ------\n V..... libx264 H.264\n V..... libxvid Xvid\n V..... mpeg4 MPEG-4\n"
          " A..... aac AAC\n A..... libmp3lame MP3\n A..... mp2 MP2\n A..... libvorbis Vorbis\n");
      return 0;
    }
    if (a == "-filters") {
      Out("Filters:\n ... subtitles V->V Render text subtitles\n");
      return 0;
    }
  }
  if (mode == "--print") {
    Out(value);
  } else if (mode == "--out-and-err") {
    Out("out\n");
    std::fputs("err\n", stderr);
    return 1;
  } else if (mode == "--count" || mode == "--numbers") {
    const int n = std::atoi(value.c_str());
    std::string text;
    for (int i = 0; i < n; ++i) text += (mode == "--count" ? "progress line " : "") + std::to_string(i) + "\n";
    Out(text);
  } else if (mode == "--args") {
    std::string text;
    for (size_t i = 1; i < args.size(); ++i) text += "[" + args[i] + "]";
    Out(text);
  } else if (mode == "--sleep") {
    SleepSeconds(std::atoi(value.c_str()));
  } else if (mode == "--flood") {
    Flood();
  } else if (mode == "--leave-behind") {
    StartCopy(value == "flood" ? std::vector<std::string>{"--flood"} : std::vector<std::string>{"--sleep", "30"});
    Out("bye\n");
  } else if (mode == "--started-then-sleep") {
    long copy = StartCopy({"--sleep", "30"});
    Out("started " + std::to_string(copy) + "\n");
    SleepSeconds(30);
  } else {
    return Encode(args);
  }
  return 0;
}
