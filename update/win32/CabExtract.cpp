// Cabinet extraction through the system's own decoder (FDI in cabinet.dll). Its file access goes
// through our callbacks, so the cabinet is opened by its wide long path and members are written
// only by MemberWriter (no links followed, no half files); the same limits as elsewhere apply.
#include "update/CabExtract.h"

#include <windows.h>
// Before fdi.h: its callbacks name these open and seek constants.
#include <fcntl.h>
#include <fdi.h>
#include <io.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "support/DebugLog.h"
#include "update/MemberWriter.h"
#include "update/win32/WidePath.h"

namespace {

// The name under which FDI is asked to open the cabinet; the real (wide) path stays with us,
// since FDI's narrow names would be read in the ANSI code page.
char kCabinetToken[] = "\x01" "cabinet";
char kNoFolder[] = "";

// A file FDI works on: the cabinet (ours to close) or a member being written (MemberWriter's).
struct FdiFile {
  HANDLE handle = INVALID_HANDLE_VALUE;
  bool owned = false;
  uint64_t written = 0;
  uint64_t declared = 0;
};

// The wide path FDI is about to open, set around each FDI call on this thread.
thread_local const std::wstring* tCabinetPath = nullptr;
// The stop flag of the extraction under way on this thread. FDI cannot be interrupted from
// outside, but it gives up on a failed read or write: once a stop is asked, the next one fails.
thread_local const std::atomic<bool>* tStop = nullptr;

bool StopAsked() { return tStop && tStop->load(std::memory_order_relaxed); }

FNALLOC(Alloc) { return std::malloc(cb); }
FNFREE(Free) { std::free(pv); }

FNOPEN(Open) {
  (void)oflag;
  (void)pmode;
  if (!tCabinetPath || std::string(pszFile) != kCabinetToken) return -1;
  HANDLE h = ::CreateFileW(tCabinetPath->c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return -1;
  auto* file = new (std::nothrow) FdiFile{h, true};
  if (!file) ::CloseHandle(h);
  return file ? reinterpret_cast<INT_PTR>(file) : -1;
}

FNREAD(Read) {
  if (StopAsked()) return static_cast<UINT>(-1);
  DWORD got = 0;
  return ::ReadFile(reinterpret_cast<FdiFile*>(hf)->handle, pv, cb, &got, nullptr) ? got : static_cast<UINT>(-1);
}

// A member may not grow past the size its entry declared: the limits were judged on that.
FNWRITE(Write) {
  auto* file = reinterpret_cast<FdiFile*>(hf);
  if (file->owned || cb > file->declared - file->written || StopAsked()) return static_cast<UINT>(-1);
  const char* p = static_cast<const char*>(pv);
  for (UINT done = 0; done < cb;) {
    DWORD wrote = 0;
    if (!::WriteFile(file->handle, p + done, cb - done, &wrote, nullptr) || wrote == 0) return static_cast<UINT>(-1);
    done += wrote;
  }
  file->written += cb;
  return cb;
}

FNCLOSE(Close) {
  auto* file = reinterpret_cast<FdiFile*>(hf);
  if (file->owned) ::CloseHandle(file->handle);
  delete file;
  return 0;
}

FNSEEK(Seek) {
  const DWORD method = seektype == SEEK_SET ? FILE_BEGIN : seektype == SEEK_CUR ? FILE_CURRENT : FILE_END;
  LARGE_INTEGER distance{}, at{};
  distance.QuadPart = dist;
  if (!::SetFilePointerEx(reinterpret_cast<FdiFile*>(hf)->handle, distance, &at, method) || at.QuadPart > 0x7fffffff)
    return -1;
  return static_cast<__LONG32>(at.QuadPart);
}

// Names flagged as UTF-8 are taken as they are; others are in the maker's code page.
std::string MemberName(const FDINOTIFICATION& note) {
  std::string name = note.psz1 ? note.psz1 : "";
  bool plain = true;
  for (unsigned char c : name) plain = plain && c < 0x80;
  if (plain || (note.attribs & _A_NAME_IS_UTF)) return name;
  const int n = ::MultiByteToWideChar(949, 0, name.data(), static_cast<int>(name.size()), nullptr, 0);
  if (n <= 0) return name;
  std::wstring wide(static_cast<size_t>(n), L'\0');
  ::MultiByteToWideChar(949, 0, name.data(), static_cast<int>(name.size()), wide.data(), n);
  return widepath::Narrow(wide);
}

uint64_t FileSize(const std::wstring& path) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return 0;
  return (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

}  // namespace

class CabContext {
 public:
  CabContext() {
    m_fdi = ::FDICreate(Alloc, Free, Open, Read, Write, Close, Seek, cpuUNKNOWN, &m_error);
  }
  ~CabContext() {
    if (m_fdi) ::FDIDestroy(m_fdi);
  }
  CabContext(const CabContext&) = delete;
  CabContext& operator=(const CabContext&) = delete;

  HFDI fdi() const { return m_fdi; }

  // One pass of FDI over the cabinet at `path`, each file's entry handed to `notify`.
  bool Copy(const std::wstring& path, PFNFDINOTIFY notify, void* user) {
    tCabinetPath = &path;
    const bool ok = ::FDICopy(m_fdi, kCabinetToken, kNoFolder, 0, notify, nullptr, user) != FALSE;
    tCabinetPath = nullptr;
    return ok;
  }

 private:
  ERF m_error{};
  HFDI m_fdi = nullptr;
};

void CabContextDeleter::operator()(CabContext* context) const { delete context; }

CabHandle CabOpen(const std::string& path, int* reason) {
  int why = 0;
  CabHandle context(new (std::nothrow) CabContext);
  const std::wstring wide = widepath::Long(path);
  if (!context || !context->fdi()) {
    why = -1;
  } else {
    tCabinetPath = &wide;
    INT_PTR file = wide.empty() ? -1 : Open(kCabinetToken, _O_RDONLY | _O_BINARY, 0);
    tCabinetPath = nullptr;
    if (file == -1) {
      why = -2;
    } else {
      FDICABINETINFO info{};
      if (!::FDIIsCabinet(context->fdi(), file, &info)) why = -3;
      Close(file);
    }
  }
  if (reason) *reason = why;
  if (why != 0) context.reset();
  return context;
}

namespace {

// The first pass: how many files, and how much they declare in total.
struct Survey {
  int members = 0;
  uint64_t total = 0;
  int wanted = -1;  // CabMemberName: the position asked for
  std::optional<std::string> name;
};

FNFDINOTIFY(SurveyNote) {
  auto* survey = static_cast<Survey*>(pfdin->pv);
  if (fdint == fdintCOPY_FILE) {
    if (survey->members == survey->wanted) survey->name = SafeMemberPath(MemberName(*pfdin));
    ++survey->members;
    survey->total += static_cast<uint32_t>(pfdin->cb);
    return 0;  // skip: nothing is written in this pass
  }
  return fdint == fdintNEXT_CABINET ? -1 : 0;
}

// The second pass: each safe file into a temporary file, put in place when whole.
struct Extraction {
  MemberWriter* writer = nullptr;
  ArchiveReport* report = nullptr;
  MemberWriter::Pending pending;
  std::string path;  // of the pending member, empty when none
  bool broken = false;
};

FNFDINOTIFY(ExtractNote) {
  auto* x = static_cast<Extraction*>(pfdin->pv);
  if (fdint == fdintCOPY_FILE) {
    if (StopAsked()) return -1;
    const std::string name = MemberName(*pfdin);
    std::optional<std::string> path = SafeMemberPath(name);
    if (!path) {
      DebugLog(kDebugTarget, "CAB member skipped, its name leaves the destination: %s", name.c_str());
      ++x->report->skipped;
      return 0;
    }
    std::string error;
    x->pending = {};
    if (!x->writer->Begin(*path, x->pending, error)) {
      DebugLog(kDebugTarget, "ExceptErr[%s]", path->c_str());
      DebugLog(kDebugTarget, "CAB member not written: %s", error.c_str());
      ++x->report->failed;
      return 0;
    }
    auto* file = new (std::nothrow) FdiFile{reinterpret_cast<HANDLE>(x->pending.fd), false, 0,
                                            static_cast<uint32_t>(pfdin->cb)};
    if (!file) {
      x->writer->Abort(x->pending);
      return -1;
    }
    x->path = *path;
    return reinterpret_cast<INT_PTR>(file);
  }
  if (fdint == fdintCLOSE_FILE_INFO) {
    auto* file = reinterpret_cast<FdiFile*>(pfdin->hf);
    const bool whole = file->written == file->declared;
    delete file;
    std::string error;
    if (!whole) {
      x->writer->Abort(x->pending);
      DebugLog(kDebugTarget, "CAB member not extracted [%s]: shorter than declared", x->path.c_str());
      ++x->report->failed;
      x->broken = true;
    } else {
      const unsigned mode = (pfdin->attribs & _A_RDONLY) ? 0444 : 0644;
      if (!x->writer->Commit(x->pending, mode, DosDateTimeToUnix(pfdin->date, pfdin->time), error)) {
        DebugLog(kDebugTarget, "ExceptErr[%s]", x->path.c_str());
        DebugLog(kDebugTarget, "CAB member not written: %s", error.c_str());
        ++x->report->failed;
      } else {
        ++x->report->extracted;
      }
    }
    x->path.clear();
    return x->broken ? -1 : TRUE;
  }
  return fdint == fdintNEXT_CABINET ? -1 : 0;
}

}  // namespace

int CabExtractAll(CabContext& context, const std::string& cabinetPath, const std::string& destFolder,
                  ArchiveReport* report, const std::atomic<bool>* stop) {
  ArchiveReport local;
  ArchiveReport& r = report ? *report : local;
  r = {};
  struct StopScope {
    explicit StopScope(const std::atomic<bool>* stop) { tStop = stop; }
    ~StopScope() { tStop = nullptr; }
  } scope(stop);
  const std::wstring wide = widepath::Long(cabinetPath);
  Survey survey;
  if (wide.empty() || !context.Copy(wide, SurveyNote, &survey)) {
    r.stopped = StopAsked();
    DebugLog(kDebugTarget, "CAB cannot be decoded: %s", cabinetPath.c_str());
    return -1;
  }
  r.members = survey.members;
  std::string refusal;
  if (survey.total > kMaxArchiveTotal)
    refusal = "files declare more than " + std::to_string(kMaxArchiveTotal) + " bytes in total";
  else if (ExceedsArchiveRatio(survey.total, FileSize(wide)))
    refusal = "files declare a compression ratio above " + std::to_string(kMaxArchiveRatio) + ":1";
  if (!refusal.empty()) {
    DebugLog(kDebugTarget, "CAB refused [%s]: %s", cabinetPath.c_str(), refusal.c_str());
    return -1;
  }
  MemberWriter writer(destFolder);
  if (!writer.Valid()) {
    DebugLog(kDebugTarget, "ExceptErr[%s]", destFolder.c_str());
    return -1;
  }
  Extraction x;
  x.writer = &writer;
  x.report = &r;
  const bool ok = context.Copy(wide, ExtractNote, &x);
  if (StopAsked()) {
    if (!x.path.empty()) writer.Abort(x.pending);
    DebugLog(kDebugTarget, "CAB extraction stopped: %s", cabinetPath.c_str());
    r.stopped = true;
    return -1;
  }
  if (!x.path.empty()) {
    // The decoder stopped inside a member: FDI has closed its handle, the half file goes.
    writer.Abort(x.pending);
    DebugLog(kDebugTarget, "CAB member not extracted [%s]: decoder error", x.path.c_str());
    ++r.failed;
  }
  if (!ok || x.broken) {
    DebugLog(kDebugTarget, "CAB cannot be decoded: %s", cabinetPath.c_str());
    return -1;
  }
  return r.extracted;
}

std::optional<std::string> CabMemberName(CabContext& context, const std::string& cabinetPath, int position) {
  if (position < 0) return std::nullopt;
  const std::wstring wide = widepath::Long(cabinetPath);
  Survey survey;
  survey.wanted = position;
  if (wide.empty() || !context.Copy(wide, SurveyNote, &survey)) return std::nullopt;
  return survey.name;
}

void CabClose(CabHandle& context) { context.reset(); }
