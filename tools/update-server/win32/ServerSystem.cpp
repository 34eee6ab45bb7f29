// The update server's system calls over Win32 and Winsock 2.2, with wide long paths.
#include "tools/update-server/ServerSystem.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include "update/win32/WidePath.h"

namespace srvsys {

namespace {

SOCKET ToSocket(sockio::SocketHandle socket) { return static_cast<SOCKET>(socket); }

bool SetNonBlocking(SOCKET s) {
  u_long on = 1;
  return ::ioctlsocket(s, FIONBIO, &on) == 0;
}

}  // namespace

namespace {

void FactsOf(const BY_HANDLE_FILE_INFORMATION& info, FileFacts& facts) {
  facts.regular = !(info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE));
  facts.size = static_cast<int64_t>((static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow);
  const int64_t ticks = static_cast<int64_t>((static_cast<uint64_t>(info.ftLastWriteTime.dwHighDateTime) << 32) |
                                             info.ftLastWriteTime.dwLowDateTime);
  facts.mtimeTicks = ticks;
  facts.mtime = ticks / 10000000 - 11644473600LL;
  facts.device = info.dwVolumeSerialNumber;
  facts.index = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
}

// Opens `path` itself (a link is opened as the link, never followed); folders need backup
// semantics to be opened at all. Writers and renames stay possible, as they are on POSIX.
HANDLE OpenItself(const std::string& path, DWORD access, bool followLinks = false) {
  const std::wstring wide = widepath::Long(path);
  if (wide.empty()) return INVALID_HANDLE_VALUE;
  const DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | (followLinks ? 0 : FILE_FLAG_OPEN_REPARSE_POINT);
  return ::CreateFileW(wide.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, flags, nullptr);
}

// The final path of an open handle: links and junctions resolved, "\\?\" prefix kept, so that
// every resolved path compares in the same form.
std::wstring FinalPath(HANDLE h) {
  std::wstring out(1024, L'\0');
  DWORD n = ::GetFinalPathNameByHandleW(h, out.data(), static_cast<DWORD>(out.size()), FILE_NAME_NORMALIZED);
  if (n >= out.size()) {
    out.resize(n + 1);
    n = ::GetFinalPathNameByHandleW(h, out.data(), static_cast<DWORD>(out.size()), FILE_NAME_NORMALIZED);
  }
  if (n == 0 || n >= out.size()) return {};
  out.resize(n);
  return out;
}

void Failed(OpenFailure& failure, const std::string& what, DWORD error) {
  failure.outOfHandles = error == ERROR_TOO_MANY_OPEN_FILES || error == ERROR_NO_SYSTEM_RESOURCES;
  failure.why = what + ": " + widepath::ErrorText(error);
}

// The handle kept when it is a regular file that is no link; closed otherwise.
FileHandle KeepRegular(HANDLE h, const std::string& what, FileFacts& facts, OpenFailure& failure) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!::GetFileInformationByHandle(h, &info)) {
    Failed(failure, what, ::GetLastError());
    ::CloseHandle(h);
    return kNoFile;
  }
  FactsOf(info, facts);
  if (!facts.regular) {
    failure = {what + ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ? ": is a link" : ": not a regular file"),
               false};
    ::CloseHandle(h);
    return kNoFile;
  }
  return reinterpret_cast<FileHandle>(h);
}

}  // namespace

bool Inspect(const std::string& path, bool followLinks, FileFacts& facts) {
  HANDLE h = OpenItself(path, FILE_READ_ATTRIBUTES, followLinks);
  if (h == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION info{};
  const bool ok = ::GetFileInformationByHandle(h, &info) != 0;
  ::CloseHandle(h);
  if (ok) FactsOf(info, facts);
  return ok;
}

std::tm UtcTime(std::time_t t) {
  std::tm tm{};
  ::gmtime_s(&tm, &t);
  return tm;
}

// Windows has no openat: each folder on the way is opened itself and must be no link, and the
// opened file's final path must still lie below the base, which catches a folder swapped for a
// junction between the two steps.
FileHandle OpenBelow(const std::string& base, const std::string& relative, FileFacts& facts, OpenFailure& failure) {
  HANDLE root = OpenItself(base, FILE_READ_ATTRIBUTES, true);
  if (root == INVALID_HANDLE_VALUE) {
    Failed(failure, base, ::GetLastError());
    return kNoFile;
  }
  const std::wstring realBase = FinalPath(root);
  ::CloseHandle(root);
  for (size_t slash = relative.find('/'); slash != std::string::npos; slash = relative.find('/', slash + 1)) {
    const std::string sofar = relative.substr(0, slash);
    HANDLE d = OpenItself(base + "/" + sofar, FILE_READ_ATTRIBUTES);
    if (d == INVALID_HANDLE_VALUE) {
      Failed(failure, sofar, ::GetLastError());
      return kNoFile;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    const bool ok = ::GetFileInformationByHandle(d, &info) != 0;
    ::CloseHandle(d);
    if (!ok || (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) || !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
      failure = {sofar + (ok && (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ? ": is a link" : ": not a folder"),
                 false};
      return kNoFile;
    }
  }
  HANDLE h = OpenItself(base + "/" + relative, GENERIC_READ);
  if (h == INVALID_HANDLE_VALUE) {
    Failed(failure, relative, ::GetLastError());
    return kNoFile;
  }
  const std::wstring real = FinalPath(h);
  if (realBase.empty() || real.size() <= realBase.size() || real.compare(0, realBase.size(), realBase) != 0 ||
      real[realBase.size()] != L'\\') {
    failure = {relative + ": leads outside " + base, false};
    ::CloseHandle(h);
    return kNoFile;
  }
  return KeepRegular(h, relative, facts, failure);
}

FileHandle OpenRegular(const std::string& path, FileFacts& facts, OpenFailure& failure) {
  HANDLE h = OpenItself(path, GENERIC_READ, true);
  if (h == INVALID_HANDLE_VALUE) {
    Failed(failure, path, ::GetLastError());
    return kNoFile;
  }
  return KeepRegular(h, path, facts, failure);
}

bool Describe(FileHandle file, FileFacts& facts) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!::GetFileInformationByHandle(reinterpret_cast<HANDLE>(file), &info)) return false;
  FactsOf(info, facts);
  return true;
}

long long ReadAt(FileHandle file, int64_t offset, char* data, size_t size) {
  OVERLAPPED at{};
  at.Offset = static_cast<DWORD>(static_cast<uint64_t>(offset) & 0xFFFFFFFFu);
  at.OffsetHigh = static_cast<DWORD>(static_cast<uint64_t>(offset) >> 32);
  DWORD got = 0;
  const DWORD want = size > 0x40000000u ? 0x40000000u : static_cast<DWORD>(size);
  if (!::ReadFile(reinterpret_cast<HANDLE>(file), data, want, &got, &at))
    return ::GetLastError() == ERROR_HANDLE_EOF ? 0 : -1;
  return got;
}

void CloseFile(FileHandle file) {
  if (file != kNoFile) ::CloseHandle(reinterpret_cast<HANDLE>(file));
}

sockio::SocketHandle ListenOn(const std::string& address, int port, int& boundPort, std::string& error) {
  int startError = 0;
  if (!sockio::Startup(startError)) {
    error = "cannot start Winsock: " + sockio::ErrorName(startError);
    return sockio::kNoSocket;
  }
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (::getaddrinfo(address.c_str(), nullptr, &hints, &found) != 0 || !found) {
    error = "cannot resolve " + address;
    return sockio::kNoSocket;
  }
  sockaddr_in a = *reinterpret_cast<sockaddr_in*>(found->ai_addr);
  ::freeaddrinfo(found);
  a.sin_port = htons(static_cast<u_short>(port));
  SOCKET s = ::WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
  if (s == INVALID_SOCKET) {
    error = "socket: " + sockio::ErrorName(::WSAGetLastError());
    return sockio::kNoSocket;
  }
  // Exclusive: on Windows SO_REUSEADDR would let another program take over a bound port.
  BOOL on = TRUE;
  ::setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&on), sizeof on);
  if (::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(s, 256) != 0 || !SetNonBlocking(s)) {
    error = "cannot listen on " + address + ":" + std::to_string(port) + ": " + sockio::ErrorName(::WSAGetLastError());
    ::closesocket(s);
    return sockio::kNoSocket;
  }
  int len = sizeof a;
  ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
  boundPort = ntohs(a.sin_port);
  return static_cast<sockio::SocketHandle>(s);
}

sockio::SocketHandle AcceptOne(sockio::SocketHandle listener, std::string& address, std::string& peer,
                               bool& outOfHandles) {
  sockaddr_in a{};
  int len = sizeof a;
  SOCKET s = ::accept(ToSocket(listener), reinterpret_cast<sockaddr*>(&a), &len);
  outOfHandles = s == INVALID_SOCKET && (::WSAGetLastError() == WSAEMFILE || ::WSAGetLastError() == WSAENOBUFS);
  if (s == INVALID_SOCKET) return sockio::kNoSocket;
  if (!SetNonBlocking(s)) {
    ::closesocket(s);
    return sockio::kNoSocket;
  }
  ::SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
  char ip[INET_ADDRSTRLEN] = "?";
  ::inet_ntop(AF_INET, &a.sin_addr, ip, sizeof ip);
  address = ip;
  peer = std::string(ip) + ":" + std::to_string(ntohs(a.sin_port));
  return static_cast<sockio::SocketHandle>(s);
}

void ShutdownSending(sockio::SocketHandle socket) { ::shutdown(ToSocket(socket), SD_SEND); }

void CloseSocket(sockio::SocketHandle socket) {
  if (socket != sockio::kNoSocket) ::closesocket(ToSocket(socket));
}

int WaitAny(std::vector<Watch>& watches, int ms) {
  std::vector<WSAPOLLFD> fds(watches.size());
  for (size_t i = 0; i < watches.size(); ++i) {
    fds[i].fd = ToSocket(watches[i].socket);
    fds[i].events = static_cast<SHORT>(((watches[i].events & kReadable) ? POLLRDNORM : 0) |
                                       ((watches[i].events & kWritable) ? POLLWRNORM : 0));
  }
  int ready = ::WSAPoll(fds.data(), static_cast<ULONG>(fds.size()), ms);
  if (ready < 0) return ::WSAGetLastError() == WSAEINTR ? 0 : -1;
  for (size_t i = 0; i < watches.size(); ++i) {
    const SHORT re = fds[i].revents;
    watches[i].ready = ((re & POLLRDNORM) ? kReadable : 0) | ((re & POLLWRNORM) ? kWritable : 0) |
                       ((re & (POLLHUP | POLLERR)) ? kHangup : 0);
  }
  return ready;
}

// WSAPoll waits on sockets only, so the loop is woken by a datagram that a loopback UDP socket
// sends to itself.
bool MakeWaker(Waker& waker) {
  SOCKET s = ::WSASocketW(AF_INET, SOCK_DGRAM, IPPROTO_UDP, nullptr, 0, WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
  if (s == INVALID_SOCKET) return false;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int len = sizeof a;
  if (::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) != 0 ||
      ::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || !SetNonBlocking(s)) {
    ::closesocket(s);
    return false;
  }
  waker.watchable = static_cast<sockio::SocketHandle>(s);
  waker.trigger = static_cast<std::intptr_t>(s);
  return true;
}

void Wake(const Waker& waker) {
  if (waker.trigger < 0) return;
  const char x = 'x';
  ::send(static_cast<SOCKET>(waker.trigger), &x, 1, 0);
}

void CloseWaker(Waker& waker) {
  if (waker.watchable != sockio::kNoSocket) ::closesocket(ToSocket(waker.watchable));
  waker = {};
}

}  // namespace srvsys
