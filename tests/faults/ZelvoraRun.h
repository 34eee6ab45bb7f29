// The zelvora command run as a user runs it (stdout and stderr apart), media made by ffmpeg, and
// snapshots of folders to prove what a run did not touch.
#pragma once

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <poll.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "TestSupport.h"

namespace faults {

namespace fs = std::filesystem;

struct CliResult {
  int status = -1;  // exit status, or 128 + signal
  std::string out;
  std::string err;
};

// The command under test. ZELVORA_CLI_UNDER_TEST runs the suite against another build of it (an
// older one, to see each case fail there).
inline std::string CliPath() {
  const char* other = std::getenv("ZELVORA_CLI_UNDER_TEST");
  return other && *other ? other : ZELVORA_CLI_PATH;
}

// Runs the zelvora command with `args`; `env` entries ("NAME=value") are set for it only.
inline CliResult Zelvora(const std::vector<std::string>& args, const std::vector<std::string>& env = {}) {
  CliResult r;
  int outPipe[2], errPipe[2];
  if (::pipe(outPipe) != 0 || ::pipe(errPipe) != 0) return r;
  std::vector<std::string> argv = {CliPath()};
  argv.insert(argv.end(), args.begin(), args.end());
  pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(outPipe[1], 1);
    ::dup2(errPipe[1], 2);
    ::close(outPipe[0]), ::close(outPipe[1]), ::close(errPipe[0]), ::close(errPipe[1]);
    for (const std::string& e : env) ::putenv(const_cast<char*>(e.c_str()));
    std::vector<char*> raw;
    for (auto& a : argv) raw.push_back(const_cast<char*>(a.c_str()));
    raw.push_back(nullptr);
    ::execv(raw[0], raw.data());
    ::_exit(127);
  }
  ::close(outPipe[1]);
  ::close(errPipe[1]);
  // Both pipes are read together, so that neither can fill up and stall the command.
  pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
  std::string* sinks[2] = {&r.out, &r.err};
  int open = 2;
  while (open > 0) {
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      char buf[4096];
      ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
      if (n > 0) {
        sinks[i]->append(buf, static_cast<size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        ::close(fds[i].fd);
        fds[i].fd = -1;
        --open;
      }
    }
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return r;
}

// Every entry below `root` with what identifies its content: files by their bytes and
// modification time (a file written again with the same bytes counts as touched), links by
// their target, folders by their presence. Two equal snapshots mean nothing was touched.
inline std::map<std::string, std::string> Snapshot(const fs::path& root) {
  std::map<std::string, std::string> entries;
  std::error_code ec;
  if (!fs::exists(fs::symlink_status(root, ec))) return entries;
  for (auto it = fs::recursive_directory_iterator(root, ec); !ec && it != fs::recursive_directory_iterator();
       it.increment(ec)) {
    const fs::path& p = it->path();
    std::string rel = fs::relative(p, root, ec).string();
    if (it->is_symlink(ec))
      entries[rel] = "link:" + fs::read_symlink(p, ec).string();
    else if (it->is_directory(ec))
      entries[rel] = "folder";
    else
      entries[rel] = "file:" + std::to_string(std::hash<std::string>{}(testsupport::ReadFile(p.string()))) + "@" +
                     std::to_string(fs::last_write_time(p, ec).time_since_epoch().count());
  }
  return entries;
}

// A tiny clip made with ffmpeg from lavfi sources, e.g. {"color=c=black:size=160x120:rate=25:duration=2"}.
inline bool MakeClip(const std::string& path, const std::vector<std::string>& inputs,
                     const std::vector<std::string>& options) {
  std::vector<std::string> argv = {"ffmpeg", "-hide_banner", "-nostdin", "-loglevel", "error", "-y"};
  for (const std::string& in : inputs) argv.insert(argv.end(), {"-f", "lavfi", "-i", in});
  argv.insert(argv.end(), options.begin(), options.end());
  argv.push_back(path);
  return testsupport::RunCommand(argv) == 0;
}

// An executable script at `path`.
inline void WriteScript(const std::string& path, const std::string& body) {
  testsupport::WriteFile(path, "#!/bin/sh\n" + body);
  fs::permissions(path, fs::perms::owner_all);
}

// The lines of `text` that contain `needle`.
inline std::vector<std::string> LinesWith(const std::string& text, const std::string& needle) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    std::string line = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (line.find(needle) != std::string::npos) lines.push_back(line);
    start = end == std::string::npos ? text.size() : end + 1;
  }
  return lines;
}

}  // namespace faults
