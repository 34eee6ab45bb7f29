// Child processes: start a program from an argument vector, read its merged output, wait for it, stop it.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace platform {

// A manual-reset event that the blocking calls below can wait for besides their own
// condition. Setting it wakes every present and future wait on it; it never resets.
class WakeEvent {
 public:
  WakeEvent();
  ~WakeEvent();
  WakeEvent(const WakeEvent&) = delete;
  WakeEvent& operator=(const WakeEvent&) = delete;

  // False only when the system could not give us the event's descriptors.
  bool Valid() const;
  void Set();
  bool IsSet() const;

  struct Impl;
  const Impl& impl() const { return *impl_; }

 private:
  std::unique_ptr<Impl> impl_;
};

struct ProcessOptions {
  // Below-normal priority (nice +10) so that the desktop stays responsive during long encodes.
  bool below_normal_priority = true;
  // Standard error on /dev/null instead of the output pipe, for helpers whose answer is what
  // they print on standard output.
  bool discard_error_output = false;
  // The child is killed when this process ends, however it ends (even by SIGKILL), so an
  // encoder never runs on without the program that judges its output. Off only for a
  // program that must outlive us.
  bool die_with_parent = true;
};

// Why a read call returned.
enum class ReadStatus {
  kData,   // `bytes` bytes were read
  kEnd,    // every writer of the pipe has closed it
  kWoken,  // the wake event is set
  kEmpty,  // nothing to read at the moment (ReadAvailable only)
  kError,  // the pipe failed
};

struct ReadResult {
  ReadStatus status = ReadStatus::kError;
  size_t bytes = 0;
};

enum class WaitStatus {
  kExited,   // the child has ended (it may still await reaping)
  kTimeout,
  kWoken,
};

// How a reaped child ended.
struct ExitInfo {
  bool signalled = false;  // ended by a signal rather than by exiting (never on Windows)
  int code = 0;            // exit status, or the signal number when signalled
};

// One running child. It runs in a process group of its own (so that everything it
// starts can be stopped with it), with standard input on /dev/null and standard
// output and standard error joined on one pipe that only this object reads (unless
// the options discard standard error). No shell
// is ever involved: argv[0] is the program (searched on PATH when it holds no '/').
// On Windows the group is a job object, and the child has no console window.
//
// Thread safety: one thread may read, another wait, and a third terminate at the same
// time. Destroying the object terminates and reaps the child.
class ChildProcess {
 public:
  // Starts argv. On failure returns null and says why in `error` ("could not start"
  // is never confused with an exit: a program that cannot be executed is reported
  // here, not as an exit status).
  static std::unique_ptr<ChildProcess> Start(const std::vector<std::string>& argv,
                                             const ProcessOptions& options, std::string& error);

  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  int Pid() const;

  // Blocks until output arrives, every writer has closed the pipe, or `wake` is set.
  ReadResult ReadOutput(std::span<char> buffer, const WakeEvent* wake = nullptr);

  // Reads what the pipe holds now without waiting: kData, kEnd, or kEmpty. Once the
  // child has ended, everything it wrote is in the pipe, so this takes the rest of
  // its output even while something it left behind keeps the pipe open.
  ReadResult ReadAvailable(std::span<char> buffer);

  // Blocks until the child has ended, `timeout` has passed (none: no limit) or `wake`
  // is set. The child is not reaped here, so its process group stays ours to signal.
  WaitStatus WaitForExit(std::optional<std::chrono::milliseconds> timeout,
                         const WakeEvent* wake = nullptr);

  // True until the child has ended.
  bool IsRunning();

  // Sends SIGTERM to the child's process group, then SIGKILL to the group after
  // `grace` (or at once when the child has already ended, for anything it left
  // behind), and reaps the child. Safe to call again and from several threads.
  // Windows has no SIGTERM to send: there the job is ended at once, `grace` unused.
  ExitInfo Terminate(std::chrono::milliseconds grace = std::chrono::milliseconds(2000));

  // How the child ended, once Terminate has reaped it.
  std::optional<ExitInfo> Exit() const;

  struct Impl;

 private:
  explicit ChildProcess(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

// The file that `program` names: itself when it holds a '/'; else `folder`/`program` when
// `folder` is given and that is an executable file; else the first executable match in the
// PATH folders (an empty entry, which would mean the current folder, is skipped). Empty when
// there is none. Every program we start is found this way. On Windows '\' and a drive's ':'
// mark a folder too, PATH is split at ';', and a bare name is looked for with ".exe" added
// unless it ends in .exe or .com.
std::string FindExecutable(const std::string& program, const std::string& folder = {});

}  // namespace platform
