// The redirected child process: start, reader thread, watcher thread, stop.
#include "encoder/Redirect.h"

#include <array>
#include <span>
#include <vector>

#include "encoder/CommandArgs.h"
#include "support/DebugLog.h"

namespace {

constexpr size_t kChunkBytes = 2048;

// Once the child has ended, the reader takes what is left in the pipe. Something the
// child left behind may keep writing into it; that is not the child's output, so the
// reader stops after this much even if more keeps coming.
constexpr size_t kDrainLimit = 1 << 20;

}  // namespace

CRedirect::CRedirect() = default;

CRedirect::~CRedirect() {
  TerminateChildProcess();
  JoinThreads();
}

void CRedirect::OnChildStarted(const std::string&) {}
void CRedirect::OnChildStdOutWrite(std::string_view) {}
void CRedirect::OnChildTerminate() {}

int CRedirect::StartChildProcess(const std::string& commandLine, int /*show*/, int flag) {
  if (m_bStarted.exchange(true) || m_iTerminating.load() != 0) {
    m_sStartError = "a child was already started by this object";
    return 0;
  }
  m_sStartError.clear();
  m_bRunThread = true;

  std::vector<std::string> args;
  std::string error;
  m_stopEvent = std::make_unique<platform::WakeEvent>();
  if (!m_stopEvent->Valid()) {
    error = "cannot create the stop event";
  } else if (SplitCommandLine(commandLine, args, error)) {
    platform::ProcessOptions options;
    options.below_normal_priority = flag == 0;
    m_child = platform::ChildProcess::Start(args, options, error);
  }
  if (!m_child) {
    m_sStartError = error;
    OnChildStdOutWrite("Unable to start " + commandLine + "\n");
    DebugLog(Trace(), "Unable to start %s", commandLine.c_str());
    DebugLog(Trace(), "proth:%d // %s", m_iProth, error.c_str());
    {
      std::lock_guard lock(m_mutex);
      m_bRunThread = false;
      m_bRunEnded = true;
    }
    m_cv.notify_all();
    return 0;
  }

  m_iChildPid = m_child->Pid();
  // Set here rather than by the reader, so the watcher can never see "not started".
  m_iReaderState = 1;
  m_hStdOutThread = std::thread(&CRedirect::ReadOutput, this);
  m_hProcessThread = std::thread(&CRedirect::WatchChild, this);
  DebugLog(Trace(), "Exit PrepAndLaunchRedirectedChild :%08X", static_cast<unsigned>(m_child->Pid()));
  OnChildStarted(commandLine);
  return 1;
}

void CRedirect::ReadOutput() {
  DebugLog(Trace(), "Start StdOutThread");
  std::array<char, kChunkBytes + 1> buffer;
  const std::span<char> space(buffer.data(), kChunkBytes);
  bool draining = false;  // the stop event is set: take what the pipe holds, then end
  size_t drained = 0;
  while (m_bRunThread) {
    platform::ReadResult r =
        draining ? m_child->ReadAvailable(space) : m_child->ReadOutput(space, m_stopEvent.get());
    if (r.status == platform::ReadStatus::kWoken) {
      draining = true;
      continue;
    }
    if (r.status != platform::ReadStatus::kData) {
      DebugLog(Trace(), "proth:%d // StdOutThread read ended : %d", m_iProth, static_cast<int>(r.status));
      break;
    }
    buffer[r.bytes] = '\0';
    OnChildStdOutWrite(std::string_view(buffer.data(), r.bytes));
    if (draining && (drained += r.bytes) >= kDrainLimit) break;
  }
  DebugLog(Trace(), "proth:%d // end StdOutThread Thread - m_bRunThread:%d", m_iProth, m_bRunThread ? 1 : 0);
  {
    std::lock_guard lock(m_mutex);
    m_iReaderState = 2;
  }
  m_cv.notify_all();
}

void CRedirect::WaitForReader() {
  std::unique_lock lock(m_mutex);
  m_cv.wait(lock, [this] { return m_iReaderState.load() == 2; });
}

void CRedirect::WatchChild() {
  // Blocks on the child itself (or the stop event); no polling.
  platform::WaitStatus w = m_child->WaitForExit(std::nullopt, m_stopEvent.get());
  if (w == platform::WaitStatus::kExited) {
    DebugLog(Trace(), "proth:%d // child process exit : %08X", m_iProth, static_cast<unsigned>(m_child->Pid()));
    // Everything the child wrote is in the pipe by now: the reader delivers all of it
    // before the run counts as ended.
    m_stopEvent->Set();
  } else {
    DebugLog(Trace(), "exit on event : %08X", static_cast<unsigned>(m_child->Pid()));
    m_bRunThread = false;
  }
  WaitForReader();
  m_bRunThread = false;
  OnChildTerminate();
  DebugLog(Trace(), "proth:%d // end ProcessThread Thread : %08X", m_iProth, static_cast<unsigned>(m_child->Pid()));
  {
    std::lock_guard lock(m_mutex);
    m_bRunEnded = true;
  }
  m_cv.notify_all();
}

int CRedirect::IsChildRunning() const {
  std::lock_guard lock(m_mutex);
  return m_bStarted.load() && !m_bRunEnded ? 1 : 0;
}

bool CRedirect::WaitForChildEnd(std::chrono::milliseconds timeout) {
  std::unique_lock lock(m_mutex);
  return m_cv.wait_for(lock, timeout, [this] { return !m_bStarted.load() || m_bRunEnded; });
}

void CRedirect::TerminateChildProcess() {
  int expected = 0;
  if (!m_iTerminating.compare_exchange_strong(expected, -1)) {
    DebugLog(Trace(), "proth:%d // exit : m_iTerminating :%d", m_iProth, expected);
    return;
  }
  if (m_stopEvent) m_stopEvent->Set();
  if (m_child) {
    m_exit = m_child->Terminate();
    DebugLog(Trace(), "proth:%d // Close Process : %08X", m_iProth, static_cast<unsigned>(m_child->Pid()));
  }
  JoinThreads();
  // The pipe and the process handle go only when no thread of ours can still use them.
  if (!m_hStdOutThread.joinable() && !m_hProcessThread.joinable()) m_child.reset();
  m_iTerminating = 1;
}

void CRedirect::JoinThreads() {
  // A callback may stop the run from the reader or the watcher; that thread ends by
  // itself after the callback returns and is joined later, by the destructor.
  const auto self = std::this_thread::get_id();
  for (std::thread* t : {&m_hStdOutThread, &m_hProcessThread})
    if (t->joinable() && t->get_id() != self) t->join();
}

std::optional<platform::ExitInfo> CRedirect::ChildExit() const { return m_exit; }

int CRedirect::ChildPid() const { return m_iChildPid.load(); }

// ---------------------------------------------------------------- CRedir

CRedir::CRedir(void* user, OutputCallback output, TerminateCallback terminate)
    : m_pUser(user), m_pfnOutput(output), m_pfnTerminate(terminate) {}

CRedir::~CRedir() { TerminateChildProcess(); }

void CRedir::OnChildStarted(const std::string&) {}

void CRedir::OnChildStdOutWrite(std::string_view text) {
  if (m_pfnOutput && m_pUser && m_bRunThread) m_pfnOutput(m_pUser, text);
}

void CRedir::OnChildTerminate() {
  if (m_pfnTerminate && m_pUser) m_pfnTerminate(m_pUser);
}
