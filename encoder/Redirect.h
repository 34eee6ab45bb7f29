// An encoder run as a child process: its merged output read on one thread, the child watched on another.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "platform/Process.h"

// Starts one child per object. Its standard output and standard error arrive together,
// as raw chunks of at most 2048 bytes, through OnChildStdOutWrite on the reader thread;
// chunks do not respect line ends. The watcher thread ends the run when the child exits
// (after the reader has delivered every byte the child wrote) or when a stop is asked,
// and then calls OnChildTerminate. Anything the child left running in its process group
// is stopped with it by TerminateChildProcess.
//
// A subclass whose callbacks use its own members must call TerminateChildProcess in its
// destructor, so that no callback runs while the subclass is being torn down.
// A callback must not wait for the thread that calls TerminateChildProcess.
class CRedirect {
 public:
  CRedirect();
  virtual ~CRedirect();
  CRedirect(const CRedirect&) = delete;
  CRedirect& operator=(const CRedirect&) = delete;

  // Splits `commandLine` into arguments (double quotes group, nothing is expanded, no
  // shell) and starts it in a process group of its own, standard input on /dev/null.
  // `flag` 0 runs it at below-normal priority. `show` is accepted for the callers'
  // sake: a console child has no window here. Returns 1 when the child runs; 0 when it
  // could not be started, after "Unable to start <commandLine>\n" went to
  // OnChildStdOutWrite and the reason to StartError().
  int StartChildProcess(const std::string& commandLine, int show = 0, int flag = 0);

  // 1 from a successful start until the run has ended: the child exited and all its
  // output was delivered (or a stop was asked), and OnChildTerminate has returned.
  int IsChildRunning() const;

  // Blocks until the run has ended or `timeout` passed; true when it has ended (also
  // when nothing was started). Lets an owner wait without polling.
  bool WaitForChildEnd(std::chrono::milliseconds timeout);

  // Stops the child's process group (SIGTERM, then SIGKILL after a short grace), reaps
  // the child, ends both threads and releases the pipe. A second call does nothing.
  void TerminateChildProcess();

  // Why the last start failed; empty after a successful start.
  const std::string& StartError() const { return m_sStartError; }

  // How the child ended, once TerminateChildProcess has reaped it.
  std::optional<platform::ExitInfo> ChildExit() const;

  // Process id of the child, or -1.
  int ChildPid() const;

  // Target of the trace records (see DebugLog); empty drops them.
  void SetTraceTarget(std::string target, int proth) {
    m_sTraceTarget = std::move(target);
    m_iProth = proth;
  }

 protected:
  virtual void OnChildStarted(const std::string& commandLine);
  // `text` is one chunk; text.data()[text.size()] is a NUL for callers that want C text.
  virtual void OnChildStdOutWrite(std::string_view text);
  virtual void OnChildTerminate();

  // True while the threads are to run; the watcher clears it when the run ends.
  std::atomic<bool> m_bRunThread{false};

 private:
  void ReadOutput();
  void WatchChild();
  void WaitForReader();
  void JoinThreads();
  const char* Trace() const { return m_sTraceTarget.c_str(); }

  int m_iProth = 0;
  std::string m_sTraceTarget;
  std::atomic<int> m_iReaderState{0};  // 0 not started, 1 running, 2 ended
  std::atomic<int> m_iTerminating{0};  // 0 normal, -1 while stopping, 1 stopped
  std::atomic<bool> m_bStarted{false};
  std::atomic<int> m_iChildPid{-1};
  bool m_bRunEnded = false;  // guarded by m_mutex

  std::unique_ptr<platform::WakeEvent> m_stopEvent;
  std::unique_ptr<platform::ChildProcess> m_child;
  std::optional<platform::ExitInfo> m_exit;
  std::string m_sStartError;
  std::thread m_hStdOutThread;
  std::thread m_hProcessThread;
  mutable std::mutex m_mutex;
  std::condition_variable m_cv;
};

// CRedirect that hands the output and the end of the run to plain callbacks with a user
// pointer. Output is delivered while the run is active.
class CRedir : public CRedirect {
 public:
  using OutputCallback = void (*)(void* user, std::string_view text);
  using TerminateCallback = void (*)(void* user);

  CRedir(void* user, OutputCallback output, TerminateCallback terminate = nullptr);
  ~CRedir() override;

 protected:
  void OnChildStarted(const std::string& commandLine) override;
  void OnChildStdOutWrite(std::string_view text) override;
  void OnChildTerminate() override;

 private:
  void* m_pUser;
  OutputCallback m_pfnOutput;
  TerminateCallback m_pfnTerminate;
};
