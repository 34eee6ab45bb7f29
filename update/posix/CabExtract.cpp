// Cabinet extraction through libmspack, with its file access routed through our own calls so
// that members are written only by MemberWriter (no links followed, no half files).
#include "update/CabExtract.h"

#include <fcntl.h>
#include <iconv.h>
#include <mspack.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include "support/DebugLog.h"
#include "update/MemberWriter.h"

namespace {

// The name under which the decoder asks to open the member being written.
constexpr const char* kPendingName = "\x01pending-member";

struct CabSystem {
  mspack_system sys;  // first, so that the decoder's pointer leads back here
  int pendingFd = -1;
  const std::atomic<bool>* stop = nullptr;  // set around one extraction
};

struct CabFile {
  int fd = -1;
  bool owned = false;
  const CabSystem* system = nullptr;  // whose stop flag applies at each call
};

// The decoder cannot be interrupted from outside, but it gives up on a failed read or write:
// once a stop is asked, the next one of either fails. It reads the cabinet even while it
// decodes data it discards (members before the one asked for in the same folder), so the read
// side matters as much as the write side.
bool StopAsked(const CabSystem& system) { return system.stop && system.stop->load(std::memory_order_relaxed); }
bool StopAsked(const CabFile* file) { return StopAsked(*file->system); }

CabFile* AsFile(mspack_file* file) { return reinterpret_cast<CabFile*>(file); }

mspack_file* Open(mspack_system* self, const char* filename, int mode) {
  auto* system = reinterpret_cast<CabSystem*>(self);
  auto* file = new (std::nothrow) CabFile;
  if (!file) return nullptr;
  file->system = system;
  if (mode == MSPACK_SYS_OPEN_READ) {
    file->fd = ::open(filename, O_RDONLY | O_CLOEXEC);
    file->owned = true;
  } else if (mode == MSPACK_SYS_OPEN_WRITE && std::strcmp(filename, kPendingName) == 0) {
    file->fd = system->pendingFd;
  }
  if (file->fd < 0) {
    delete file;
    return nullptr;
  }
  return reinterpret_cast<mspack_file*>(file);
}

void Close(mspack_file* file) {
  CabFile* f = AsFile(file);
  if (f->owned) ::close(f->fd);
  delete f;
}

int Read(mspack_file* file, void* buffer, int bytes) {
  if (StopAsked(AsFile(file))) return -1;
  for (;;) {
    ssize_t n = ::read(AsFile(file)->fd, buffer, static_cast<size_t>(bytes));
    if (n < 0 && errno == EINTR) continue;
    return n < 0 ? -1 : static_cast<int>(n);
  }
}

int Write(mspack_file* file, void* buffer, int bytes) {
  if (StopAsked(AsFile(file))) return -1;
  const char* p = static_cast<const char*>(buffer);
  for (int done = 0; done < bytes;) {
    ssize_t n = ::write(AsFile(file)->fd, p + done, static_cast<size_t>(bytes - done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return -1;
    done += static_cast<int>(n);
  }
  return bytes;
}

int Seek(mspack_file* file, off_t offset, int mode) {
  const int whence = mode == MSPACK_SYS_SEEK_START ? SEEK_SET : mode == MSPACK_SYS_SEEK_CUR ? SEEK_CUR : SEEK_END;
  return ::lseek(AsFile(file)->fd, offset, whence) < 0 ? -1 : 0;
}

off_t Tell(mspack_file* file) { return ::lseek(AsFile(file)->fd, 0, SEEK_CUR); }

void Message(mspack_file*, const char*, ...) {}
void* Alloc(mspack_system*, size_t bytes) { return std::malloc(bytes); }
void Free(void* p) { std::free(p); }
void Copy(void* src, void* dest, size_t bytes) { std::memmove(dest, src, bytes); }

// An open cabinet, closed again at the end of its scope.
class OpenCabinet {
 public:
  OpenCabinet(mscab_decompressor* decoder, const std::string& path)
      : m_decoder(decoder), m_cab(decoder->open(decoder, path.c_str())) {}
  ~OpenCabinet() {
    if (m_cab) m_decoder->close(m_decoder, m_cab);
  }
  OpenCabinet(const OpenCabinet&) = delete;
  OpenCabinet& operator=(const OpenCabinet&) = delete;
  mscabd_cabinet* get() const { return m_cab; }

 private:
  mscab_decompressor* m_decoder;
  mscabd_cabinet* m_cab;
};

// Names flagged as UTF-8 are taken as they are; others are in the maker's code page.
std::string MemberName(const mscabd_file& file) {
  std::string name = file.filename ? file.filename : "";
  bool plain = true;
  for (unsigned char c : name) plain = plain && c < 0x80;
  if (plain || (file.attribs & MSCAB_ATTRIB_UTF_NAME)) return name;
  iconv_t cd = iconv_open("UTF-8", "CP949");
  if (cd == reinterpret_cast<iconv_t>(-1)) return name;
  std::string out(name.size() * 3 + 1, '\0');
  char* in = name.data();
  size_t inLeft = name.size(), outLeft = out.size();
  char* o = out.data();
  const bool ok = iconv(cd, &in, &inLeft, &o, &outLeft) != static_cast<size_t>(-1);
  iconv_close(cd);
  if (!ok) return name;
  out.resize(out.size() - outLeft);
  return out;
}

std::optional<std::time_t> FileTime(const mscabd_file& f) {
  if (f.date_y < 1980 || f.date_y > 2107) return std::nullopt;
  const auto date = static_cast<uint16_t>(((f.date_y - 1980) << 9) | (f.date_m << 5) | f.date_d);
  const auto time = static_cast<uint16_t>((f.time_h << 11) | (f.time_m << 5) | (f.time_s / 2));
  return DosDateTimeToUnix(date, time);
}

std::string LimitsError(const mscabd_cabinet& cab, const std::string& path) {
  uint64_t total = 0;
  for (const mscabd_file* f = cab.files; f; f = f->next) total += f->length;
  if (total > kMaxArchiveTotal) return "files declare more than " + std::to_string(kMaxArchiveTotal) + " bytes in total";
  struct stat st{};
  const uint64_t size = ::stat(path.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
  if (ExceedsArchiveRatio(total, size))
    return "files declare a compression ratio above " + std::to_string(kMaxArchiveRatio) + ":1";
  return {};
}

}  // namespace

class CabContext {
 public:
  CabContext() {
    m_system.sys = {Open, Close, Read, Write, Seek, Tell, Message, Alloc, Free, Copy, nullptr};
    m_decoder = mspack_create_cab_decompressor(&m_system.sys);
  }
  ~CabContext() {
    if (m_decoder) mspack_destroy_cab_decompressor(m_decoder);
  }
  CabContext(const CabContext&) = delete;
  CabContext& operator=(const CabContext&) = delete;

  mscab_decompressor* decoder() const { return m_decoder; }
  CabSystem& system() { return m_system; }

 private:
  CabSystem m_system;
  mscab_decompressor* m_decoder = nullptr;
};

void CabContextDeleter::operator()(CabContext* context) const { delete context; }

CabHandle CabOpen(const std::string& path, int* reason) {
  int why = 0;
  CabHandle context(new (std::nothrow) CabContext);
  if (!context || !context->decoder()) {
    why = -1;
  } else if (int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC); fd < 0) {
    why = -2;
  } else {
    ::close(fd);
    OpenCabinet cab(context->decoder(), path);
    if (!cab.get()) why = -3;
  }
  if (reason) *reason = why;
  if (why != 0) context.reset();
  return context;
}

namespace {

// Decodes one file into a temporary file and puts it in place; false when the decoder failed.
bool ExtractOne(CabContext& context, MemberWriter& writer, mscabd_file& file, const std::string& path,
                ArchiveReport& report) {
  MemberWriter::Pending pending;
  std::string error;
  if (!writer.Begin(path, pending, error)) {
    DebugLog(kDebugTarget, "ExceptErr[%s]", path.c_str());
    DebugLog(kDebugTarget, "CAB member not written: %s", error.c_str());
    ++report.failed;
    return true;
  }
  mscab_decompressor* decoder = context.decoder();
  context.system().pendingFd = static_cast<int>(pending.fd);
  const int result = decoder->extract(decoder, &file, kPendingName);
  context.system().pendingFd = -1;
  if (StopAsked(context.system())) {
    writer.Abort(pending);
    DebugLog(kDebugTarget, "CAB extraction stopped in [%s]", path.c_str());
    report.stopped = true;
    return false;
  }
  if (result != MSPACK_ERR_OK) {
    writer.Abort(pending);
    DebugLog(kDebugTarget, "CAB member not extracted [%s]: decoder error %d", path.c_str(), result);
    ++report.failed;
    return false;
  }
  const unsigned mode = (file.attribs & MSCAB_ATTRIB_RDONLY) ? 0444 : 0644;
  if (!writer.Commit(pending, mode, FileTime(file), error)) {
    DebugLog(kDebugTarget, "ExceptErr[%s]", path.c_str());
    DebugLog(kDebugTarget, "CAB member not written: %s", error.c_str());
    ++report.failed;
    return true;
  }
  ++report.extracted;
  return true;
}

}  // namespace

int CabExtractAll(CabContext& context, const std::string& cabinetPath, const std::string& destFolder,
                  ArchiveReport* report, const std::atomic<bool>* stop) {
  ArchiveReport local;
  ArchiveReport& r = report ? *report : local;
  r = {};
  // The decoder's files carry the flag from their opening on; the context keeps it no longer
  // than this call.
  struct StopScope {
    CabSystem& system;
    StopScope(CabSystem& s, const std::atomic<bool>* stop) : system(s) { system.stop = stop; }
    ~StopScope() { system.stop = nullptr; }
  } scope(context.system(), stop);
  OpenCabinet cab(context.decoder(), cabinetPath);
  if (!cab.get()) {
    r.stopped = StopAsked(context.system());
    DebugLog(kDebugTarget, "CAB cannot be decoded: %s", cabinetPath.c_str());
    return -1;
  }
  for (const mscabd_file* f = cab.get()->files; f; f = f->next) ++r.members;
  if (std::string refusal = LimitsError(*cab.get(), cabinetPath); !refusal.empty()) {
    DebugLog(kDebugTarget, "CAB refused [%s]: %s", cabinetPath.c_str(), refusal.c_str());
    return -1;
  }
  MemberWriter writer(destFolder);
  if (!writer.Valid()) {
    DebugLog(kDebugTarget, "ExceptErr[%s]", destFolder.c_str());
    return -1;
  }
  for (mscabd_file* f = cab.get()->files; f; f = f->next) {
    if (StopAsked(context.system())) {
      r.stopped = true;
      return -1;
    }
    const std::string name = MemberName(*f);
    std::optional<std::string> path = SafeMemberPath(name);
    if (!path) {
      DebugLog(kDebugTarget, "CAB member skipped, its name leaves the destination: %s", name.c_str());
      ++r.skipped;
      continue;
    }
    if (!ExtractOne(context, writer, *f, *path, r)) return -1;
  }
  return r.extracted;
}

std::optional<std::string> CabMemberName(CabContext& context, const std::string& cabinetPath, int position) {
  if (position < 0) return std::nullopt;
  OpenCabinet cab(context.decoder(), cabinetPath);
  if (!cab.get()) return std::nullopt;
  int index = 0;
  for (const mscabd_file* f = cab.get()->files; f; f = f->next, ++index)
    if (index == position) return SafeMemberPath(MemberName(*f));
  return std::nullopt;
}

void CabClose(CabHandle& context) { context.reset(); }
