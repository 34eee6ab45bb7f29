// Child processes on Windows: CreateProcessW with a merged output pipe, a job object for the
// child and everything it starts, and overlapped reads that a wake event can interrupt.
//
// Why overlapped reads on a named pipe rather than a reader thread on an anonymous pipe: a
// blocked ReadFile on an anonymous pipe can only be ended by closing the pipe or by
// CancelSynchronousIo from another thread, and a reader thread would own the bytes it took
// after a wake, so the caller's later ReadAvailable would find the pipe empty. An overlapped
// read is waited for together with the wake event in one WaitForMultipleObjects, and on a wake
// it is cancelled and awaited in the calling thread, so no byte is ever held anywhere but the
// pipe or the caller's buffer. Wine implements named pipes, overlapped reads and CancelIoEx on
// them in its server, and the tests run this under Wine.
#include "platform/Process.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <mutex>

#include "platform/win32/CommandLine.h"
#include "platform/win32/SystemError.h"
#include "support/WideText.h"

namespace platform {

using win32::CloseHandleOnce;
using win32::ErrorText;

namespace {

using Clock = std::chrono::steady_clock;

// The exit code a child gets when Terminate ends it: what "taskkill /F" gives too.
constexpr UINT kTerminatedExitCode = 1;

DWORD Length(std::span<char> buffer) {
  return static_cast<DWORD>(std::min<size_t>(buffer.size(), 1u << 30));
}

// Milliseconds for one wait towards `deadline` (INFINITE without one).
DWORD WaitSlice(std::optional<Clock::time_point> deadline) {
  if (!deadline) return INFINITE;
  auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - Clock::now()).count();
  if (left <= 0) return 0;
  return static_cast<DWORD>(std::min<long long>(left, 0x7fffffff));
}

bool IsFile(const std::string& path) {
  DWORD attributes = ::GetFileAttributesW(WidePath(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::string JoinPath(const std::string& folder, const std::string& name) {
  if (folder.back() == '\\' || folder.back() == '/') return folder + name;
  return folder + "\\" + name;
}

std::string EnvironmentValue(const wchar_t* name) {
  DWORD n = ::GetEnvironmentVariableW(name, nullptr, 0);
  if (n == 0) return {};
  std::wstring value(n, L'\0');
  n = ::GetEnvironmentVariableW(name, value.data(), n);
  value.resize(n);
  return Utf8FromWide(value);
}

// All our starts go one at a time: where the system cannot take a list of the handles to
// inherit, a child inherits every inheritable handle, and ours are inheritable only inside this.
std::mutex& StartMutex() {
  static std::mutex mutex;
  return mutex;
}

// The output pipe: a named pipe, because only those take overlapped reads. The name is unique to
// this process and start, the first instance is ours alone (a squatter makes the create fail),
// and it takes one client: the write end we open at once.
bool CreateOutputPipe(HANDLE& read_end, HANDLE& write_end, std::string& error) {
  static std::atomic<unsigned long long> counter{0};
  for (int attempt = 0; attempt < 16; ++attempt) {
    std::wstring name = L"\\\\.\\pipe\\zelvora-output-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
                        std::to_wstring(counter.fetch_add(1)) + L"-" + std::to_wstring(::GetTickCount64());
    read_end = ::CreateNamedPipeW(name.c_str(), PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
                                  PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1,
                                  64 * 1024, 64 * 1024, 0, nullptr);
    if (read_end == INVALID_HANDLE_VALUE) {
      read_end = nullptr;
      DWORD e = ::GetLastError();
      if (e == ERROR_ACCESS_DENIED || e == ERROR_PIPE_BUSY) continue;  // the name is taken
      error = "output pipe: " + ErrorText(e);
      return false;
    }
    write_end = ::CreateFileW(name.c_str(), GENERIC_WRITE | FILE_READ_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (write_end == INVALID_HANDLE_VALUE) {
      write_end = nullptr;
      error = "output pipe: " + ErrorText(::GetLastError());
      CloseHandleOnce(read_end);
      return false;
    }
    return true;
  }
  error = "output pipe: no free pipe name";
  return false;
}

HANDLE OpenNul(DWORD access) {
  HANDLE h = ::CreateFileW(L"NUL", access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  return h == INVALID_HANDLE_VALUE ? nullptr : h;
}

// The job that holds the child and all it starts. Killing on close is what makes the children
// die with us: the system closes our handle however we end. A crash inside the job ends that
// process at once instead of leaving it waiting behind an error dialog nobody sees.
HANDLE CreateChildJob(bool kill_on_close) {
  HANDLE job = ::CreateJobObjectW(nullptr, nullptr);
  if (!job) return nullptr;
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION info{};
  DWORD kill = kill_on_close ? JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE : 0;
  info.BasicLimitInformation.LimitFlags = kill | JOB_OBJECT_LIMIT_DIE_ON_UNHANDLED_EXCEPTION;
  if (!::SetInformationJobObject(job, JobObjectExtendedLimitInformation, &info, sizeof info)) {
    info.BasicLimitInformation.LimitFlags = kill;
    if (kill && !::SetInformationJobObject(job, JobObjectExtendedLimitInformation, &info, sizeof info)) {
      ::CloseHandle(job);
      return nullptr;
    }
  }
  return job;
}

// The program file as CreateProcessW takes it. The system loads no program from a path of
// MAX_PATH characters or more, "\\?\" form or not; such a path is replaced by its short (8.3)
// form where the volume keeps short names, else the start is refused with that reason.
std::wstring ProgramPath(const std::string& path, std::string& error) {
  std::wstring wide = WideFromUtf8(path);
  for (auto& c : wide)
    if (c == L'/') c = L'\\';
  if (wide.size() < MAX_PATH) return wide;
  std::wstring full = WidePath(path);
  DWORD n = ::GetShortPathNameW(full.c_str(), nullptr, 0);
  std::wstring brief(n, L'\0');
  n = n ? ::GetShortPathNameW(full.c_str(), brief.data(), n) : 0;
  brief.resize(n);
  if (brief.rfind(L"\\\\?\\", 0) == 0 && brief.rfind(L"\\\\?\\UNC\\", 0) != 0) brief.erase(0, 4);
  if (n > 0 && brief.size() < MAX_PATH) return brief;
  error = path + ": the path is too long to start a program from (Windows allows " + std::to_string(MAX_PATH - 1) +
          " characters) and has no short form";
  return {};
}

}  // namespace

// ---------------------------------------------------------------- WakeEvent

struct WakeEvent::Impl {
  HANDLE event = nullptr;  // manual reset: once set, every wait on it returns
  std::atomic<bool> set{false};
};

WakeEvent::WakeEvent() : impl_(std::make_unique<Impl>()) {
  impl_->event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
}

WakeEvent::~WakeEvent() { CloseHandleOnce(impl_->event); }

bool WakeEvent::Valid() const { return impl_->event != nullptr; }

void WakeEvent::Set() {
  if (impl_->set.exchange(true)) return;
  if (impl_->event) ::SetEvent(impl_->event);
}

bool WakeEvent::IsSet() const { return impl_->set.load(); }

// ---------------------------------------------------------------- ChildProcess

struct ChildProcess::Impl {
  HANDLE process = nullptr;
  HANDLE job = nullptr;  // none only where the system refused to put the child in a job
  HANDLE out = nullptr;  // read end of the merged output pipe, overlapped
  HANDLE read_done = nullptr;  // the event of the one overlapped read in flight
  DWORD pid = 0;

  std::mutex mutex;  // serialises Terminate
  std::atomic<bool> reaped{false};
  ExitInfo exit;

  bool HasEnded() const { return reaped.load() || ::WaitForSingleObject(process, 0) == WAIT_OBJECT_0; }

  // One overlapped read of up to `size` bytes. Waits for it (and for `wake`, when given); on a
  // wake the read is cancelled, and what it had taken by then still counts as data.
  ReadResult Read(char* data, DWORD size, HANDLE wake) {
    OVERLAPPED ov{};
    ov.hEvent = read_done;
    DWORD n = 0;
    bool woken = false;
    BOOL ok = ::ReadFile(out, data, size, nullptr, &ov);
    DWORD e = ok ? 0 : ::GetLastError();
    if (ok || e == ERROR_IO_PENDING) {
      if (!ok) {
        HANDLE handles[2] = {read_done, wake};
        DWORD r = ::WaitForMultipleObjects(wake ? 2 : 1, handles, FALSE, INFINITE);
        if (r == WAIT_OBJECT_0 + 1) {
          woken = true;
          ::CancelIoEx(out, &ov);
        } else if (r != WAIT_OBJECT_0) {
          // The wait itself failed: the read must still be over before `ov` goes.
          ::CancelIoEx(out, &ov);
        }
      }
      ok = ::GetOverlappedResult(out, &ov, &n, TRUE);
      e = ok ? 0 : ::GetLastError();
    }
    if (ok && n > 0) return {ReadStatus::kData, n};
    if (woken) return {ReadStatus::kWoken, 0};
    // A writer's zero-byte write completes a read with nothing: not the end of the pipe.
    if (ok) return {ReadStatus::kEmpty, 0};
    if (e == ERROR_BROKEN_PIPE || e == ERROR_PIPE_NOT_CONNECTED) return {ReadStatus::kEnd, 0};
    return {ReadStatus::kError, 0};
  }
};

namespace {

bool IsFolderSeparator(char c) { return c == '/' || c == '\\'; }

}  // namespace

// Windows rules: a name with a folder in it ('\', '/' or a drive's ':') is that file, with
// ".exe" added when only that form exists; a bare name is looked for as a program file (the
// name itself when it ends in .exe or .com, else with ".exe" added) beside `folder`, then in the
// PATH folders. The current folder is never searched, unlike the system's own search.
std::string FindExecutable(const std::string& program, const std::string& folder) {
  if (program.empty()) return {};
  if (std::any_of(program.begin(), program.end(), [](char c) { return IsFolderSeparator(c) || c == ':'; })) {
    if (!win32::IsProgramName(program) && !IsFile(program) && IsFile(program + ".exe")) return program + ".exe";
    return program;
  }
  const std::string name = win32::IsProgramName(program) ? program : program + ".exe";
  if (!folder.empty() && IsFile(JoinPath(folder, name))) return JoinPath(folder, name);
  const std::string path = EnvironmentValue(L"PATH");
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find(';', start);
    if (end == std::string::npos) end = path.size();
    std::string entry = path.substr(start, end - start);
    // A folder with a ';' in its name is written in double quotes.
    entry.erase(std::remove(entry.begin(), entry.end(), '"'), entry.end());
    // An empty entry would mean the current folder; we never run programs from there by accident.
    if (!entry.empty() && IsFile(JoinPath(entry, name))) return JoinPath(entry, name);
    start = end + 1;
  }
  return {};
}

std::unique_ptr<ChildProcess> ChildProcess::Start(const std::vector<std::string>& argv,
                                                  const ProcessOptions& options, std::string& error) {
  error.clear();
  if (argv.empty() || argv[0].empty()) {
    error = "no program named";
    return nullptr;
  }
  const std::string path = FindExecutable(argv[0]);
  if (path.empty()) {
    error = argv[0] + ": not found in PATH";
    return nullptr;
  }
  if (win32::IsBatchName(path)) {
    error = path + ": a batch file needs a shell and is not run";
    return nullptr;
  }
  std::optional<std::wstring> line = win32::BuildCommandLine(argv, error);
  if (!line) return nullptr;

  auto impl = std::make_unique<Impl>();
  HANDLE write_end = nullptr, nul_in = nullptr, nul_err = nullptr;
  auto close_ours = [&] {
    for (HANDLE* h : {&write_end, &nul_in, &nul_err}) CloseHandleOnce(*h);
  };
  if (!CreateOutputPipe(impl->out, write_end, error)) return nullptr;
  impl->read_done = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  nul_in = OpenNul(GENERIC_READ);
  if (options.discard_error_output) nul_err = OpenNul(GENERIC_WRITE);
  if (!impl->read_done || !nul_in || (options.discard_error_output && !nul_err)) {
    error = "child handles: " + ErrorText(::GetLastError());
    close_ours();
    ChildProcess doomed(std::move(impl));
    return nullptr;
  }
  impl->job = CreateChildJob(options.die_with_parent);
  if (!impl->job) {
    error = "job object: " + ErrorText(::GetLastError());
    close_ours();
    ChildProcess doomed(std::move(impl));
    return nullptr;
  }

  std::vector<HANDLE> inherited = {nul_in, write_end};
  if (nul_err) inherited.push_back(nul_err);
  STARTUPINFOEXW si{};
  si.StartupInfo.cb = sizeof si;
  si.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  si.StartupInfo.hStdInput = nul_in;
  si.StartupInfo.hStdOutput = write_end;
  si.StartupInfo.hStdError = nul_err ? nul_err : write_end;
  // Only the child's own three handles are passed on: the list of handles to inherit.
  SIZE_T list_size = 0;
  ::InitializeProcThreadAttributeList(nullptr, 1, 0, &list_size);
  std::vector<char> list_storage(list_size);
  auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(list_storage.data());
  bool listed = list_size > 0 && ::InitializeProcThreadAttributeList(list, 1, 0, &list_size);
  if (listed) {
    if (::UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited.data(),
                                    inherited.size() * sizeof(HANDLE), nullptr, nullptr))
      si.lpAttributeList = list;
    else
      ::DeleteProcThreadAttributeList(list), listed = false;
  }
  // Suspended until it is in its job, so that nothing it starts can escape the job.
  DWORD flags = CREATE_SUSPENDED | CREATE_NO_WINDOW | (listed ? EXTENDED_STARTUPINFO_PRESENT : 0) |
                (options.below_normal_priority ? BELOW_NORMAL_PRIORITY_CLASS : 0);
  std::wstring application = ProgramPath(path, error);
  if (application.empty()) {
    close_ours();
    ChildProcess doomed(std::move(impl));
    return nullptr;
  }
  PROCESS_INFORMATION pi{};
  BOOL started;
  DWORD start_error = 0;
  {
    std::lock_guard lock(StartMutex());
    for (HANDLE h : inherited) ::SetHandleInformation(h, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    started = ::CreateProcessW(application.c_str(), line->data(), nullptr, nullptr, TRUE, flags, nullptr, nullptr,
                               &si.StartupInfo, &pi);
    if (!started) start_error = ::GetLastError();
    close_ours();  // the child has its copies; ours would keep the pipe open forever
  }
  if (listed) ::DeleteProcThreadAttributeList(list);
  if (!started) {
    error = path + ": " + ErrorText(start_error);
    ChildProcess doomed(std::move(impl));
    return nullptr;
  }
  impl->process = pi.hProcess;
  impl->pid = pi.dwProcessId;
  if (!::AssignProcessToJobObject(impl->job, pi.hProcess)) {
    // Only where we run in a job of our own that takes no nested job (before Windows 8) and
    // lets nothing break away: the child then runs without one, and Terminate reaches the
    // child alone, not what it starts.
    CloseHandleOnce(impl->job);
  }
  // Also set here: the creation flag alone does not reach every system (Wine ignores it).
  if (options.below_normal_priority) ::SetPriorityClass(pi.hProcess, BELOW_NORMAL_PRIORITY_CLASS);
  ::ResumeThread(pi.hThread);
  ::CloseHandle(pi.hThread);
  return std::unique_ptr<ChildProcess>(new ChildProcess(std::move(impl)));
}

ChildProcess::ChildProcess(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

ChildProcess::~ChildProcess() {
  if (impl_->process) Terminate();
  CloseHandleOnce(impl_->out);
  CloseHandleOnce(impl_->read_done);
  CloseHandleOnce(impl_->process);
  CloseHandleOnce(impl_->job);
}

int ChildProcess::Pid() const { return static_cast<int>(impl_->pid); }

ReadResult ChildProcess::ReadOutput(std::span<char> buffer, const WakeEvent* wake) {
  HANDLE wake_event = wake ? wake->impl().event : nullptr;
  for (;;) {
    if (wake && wake->IsSet()) return {ReadStatus::kWoken, 0};
    ReadResult r = impl_->Read(buffer.data(), Length(buffer), wake_event);
    if (r.status != ReadStatus::kEmpty) return r;
  }
}

ReadResult ChildProcess::ReadAvailable(std::span<char> buffer) {
  for (;;) {
    DWORD available = 0;
    if (!::PeekNamedPipe(impl_->out, nullptr, 0, nullptr, &available, nullptr)) {
      DWORD e = ::GetLastError();
      return {e == ERROR_BROKEN_PIPE || e == ERROR_PIPE_NOT_CONNECTED ? ReadStatus::kEnd : ReadStatus::kError, 0};
    }
    if (available == 0) return {ReadStatus::kEmpty, 0};
    // The bytes are there, so this read completes at once.
    ReadResult r = impl_->Read(buffer.data(), std::min(available, Length(buffer)), nullptr);
    if (r.status != ReadStatus::kEmpty) return r;
  }
}

WaitStatus ChildProcess::WaitForExit(std::optional<std::chrono::milliseconds> timeout, const WakeEvent* wake) {
  if (impl_->reaped.load()) return WaitStatus::kExited;
  std::optional<Clock::time_point> deadline;
  if (timeout) deadline = Clock::now() + *timeout;
  HANDLE wake_event = wake ? wake->impl().event : nullptr;
  for (;;) {
    if (wake && wake->IsSet()) return WaitStatus::kWoken;
    // The wake event first: when both are signalled, the wake wins, as it does on POSIX.
    HANDLE handles[2] = {wake_event, impl_->process};
    DWORD r = wake_event ? ::WaitForMultipleObjects(2, handles, FALSE, WaitSlice(deadline))
                         : ::WaitForSingleObject(impl_->process, WaitSlice(deadline));
    if (wake_event && r == WAIT_OBJECT_0) return WaitStatus::kWoken;
    if (r == (wake_event ? WAIT_OBJECT_0 + 1 : WAIT_OBJECT_0) || r == WAIT_FAILED) return WaitStatus::kExited;
    if (r == WAIT_TIMEOUT && deadline && Clock::now() >= *deadline) return WaitStatus::kTimeout;
  }
}

bool ChildProcess::IsRunning() { return !impl_->HasEnded(); }

// Windows has no request to end that a console program without a console of ours would get:
// GenerateConsoleCtrlEvent reaches only processes that share our console, and the child runs
// without one (CREATE_NO_WINDOW), as do we when started from the desktop. So nothing is asked,
// and waiting out `grace` would only delay the end: the job (the child and all it started) is
// ended at once, also when the child has already ended, for anything it left behind. The
// child's exit code is then kTerminatedExitCode unless it had ended by itself.
ExitInfo ChildProcess::Terminate(std::chrono::milliseconds /*grace*/) {
  std::lock_guard lock(impl_->mutex);
  if (impl_->reaped.load()) return impl_->exit;
  if ((!impl_->job || !::TerminateJobObject(impl_->job, kTerminatedExitCode)) && !impl_->HasEnded())
    ::TerminateProcess(impl_->process, kTerminatedExitCode);
  ::WaitForSingleObject(impl_->process, INFINITE);
  DWORD code = kTerminatedExitCode;
  ::GetExitCodeProcess(impl_->process, &code);
  impl_->exit = ExitInfo{false, static_cast<int>(code)};
  impl_->reaped.store(true);
  return impl_->exit;
}

std::optional<ExitInfo> ChildProcess::Exit() const {
  if (!impl_->reaped.load()) return std::nullopt;
  return impl_->exit;
}

}  // namespace platform
