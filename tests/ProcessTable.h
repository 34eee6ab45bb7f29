// Reading /proc in tests: whether a process (or anything of its process group, or anything
// running a given program) is still there.
#pragma once

#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

struct ProcEntry {
  int pid = 0;
  char state = '?';
  int pgrp = 0;
  int nice = 0;
};

// The fields of /proc/PID/stat that the tests look at; none when the process is gone.
inline std::optional<ProcEntry> ReadProc(int pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  size_t close = text.rfind(')');
  if (close == std::string::npos) return std::nullopt;
  std::istringstream fields(text.substr(close + 1));
  ProcEntry e;
  e.pid = pid;
  std::string skip;
  int ppid = 0;
  fields >> e.state >> ppid >> e.pgrp;
  for (int i = 6; i <= 18; ++i) fields >> skip;  // session … priority
  fields >> e.nice;
  if (!fields) return std::nullopt;
  return e;
}

// The processes for which `wanted(pid, entry)` holds.
template <typename Wanted>
std::vector<ProcEntry> ProcessesWhere(Wanted wanted) {
  std::vector<ProcEntry> out;
  for (const auto& d : std::filesystem::directory_iterator("/proc")) {
    const std::string name = d.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    if (auto e = ReadProc(std::stoi(name)); e && wanted(*e)) out.push_back(*e);
  }
  return out;
}

inline std::vector<ProcEntry> GroupMembers(int pgid) {
  return ProcessesWhere([pgid](const ProcEntry& e) { return e.pgrp == pgid; });
}

// Live processes (zombies do not count) whose command line mentions `needle`.
inline size_t CountRunning(const std::string& needle) {
  return ProcessesWhere([&needle](const ProcEntry& e) {
           if (e.state == 'Z') return false;
           std::ifstream in("/proc/" + std::to_string(e.pid) + "/cmdline");
           std::string cmdline((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
           return cmdline.find(needle) != std::string::npos;
         }).size();
}

// Whether every process of the group has ended. Grandchildren are not ours to reap: they
// stay zombies until init gets to them, which on a busy machine can take a while, so a
// zombie counts as ended.
inline bool GroupGoneWithin(int pgid, std::chrono::seconds limit) {
  auto end = std::chrono::steady_clock::now() + limit;
  auto alive = [pgid] {
    return !ProcessesWhere([pgid](const ProcEntry& e) { return e.pgrp == pgid && e.state != 'Z'; }).empty();
  };
  while (alive()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

}  // namespace testsupport
