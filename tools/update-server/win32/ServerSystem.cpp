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

bool Inspect(const std::string& path, bool followLinks, FileFacts& facts) {
  const std::wstring wide = widepath::Long(path);
  if (wide.empty()) return false;
  // Without following, a link is opened itself (FILE_FLAG_OPEN_REPARSE_POINT); folders need
  // backup semantics to be opened at all.
  const DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | (followLinks ? 0 : FILE_FLAG_OPEN_REPARSE_POINT);
  HANDLE h = ::CreateFileW(wide.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, flags, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION info{};
  const bool ok = ::GetFileInformationByHandle(h, &info) != 0;
  ::CloseHandle(h);
  if (!ok) return false;
  facts.regular = !(info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE));
  facts.size = static_cast<int64_t>((static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow);
  const int64_t ticks = static_cast<int64_t>((static_cast<uint64_t>(info.ftLastWriteTime.dwHighDateTime) << 32) |
                                             info.ftLastWriteTime.dwLowDateTime);
  facts.mtimeTicks = ticks;
  facts.mtime = ticks / 10000000 - 11644473600LL;
  facts.device = info.dwVolumeSerialNumber;
  facts.index = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  return true;
}

// The final path of the opened file: links and junctions resolved. The "\\?\" prefix stays,
// so that every resolved path compares in the same form.
std::string ResolvedPath(const std::string& path) {
  const std::wstring wide = widepath::Long(path);
  if (wide.empty()) return {};
  HANDLE h = ::CreateFileW(wide.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return {};
  std::wstring out(1024, L'\0');
  DWORD n = ::GetFinalPathNameByHandleW(h, out.data(), static_cast<DWORD>(out.size()), FILE_NAME_NORMALIZED);
  if (n >= out.size()) {
    out.resize(n + 1);
    n = ::GetFinalPathNameByHandleW(h, out.data(), static_cast<DWORD>(out.size()), FILE_NAME_NORMALIZED);
  }
  ::CloseHandle(h);
  if (n == 0 || n >= out.size()) return {};
  out.resize(n);
  return widepath::Narrow(out);
}

std::tm UtcTime(std::time_t t) {
  std::tm tm{};
  ::gmtime_s(&tm, &t);
  return tm;
}

FileHandle OpenForReading(const std::string& path) {
  const std::wstring wide = widepath::Long(path);
  if (wide.empty()) return kNoFile;
  HANDLE h = ::CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  return h == INVALID_HANDLE_VALUE ? kNoFile : reinterpret_cast<FileHandle>(h);
}

long long ReadSome(FileHandle file, char* data, size_t size) {
  DWORD got = 0;
  const DWORD want = size > 0x40000000u ? 0x40000000u : static_cast<DWORD>(size);
  if (!::ReadFile(reinterpret_cast<HANDLE>(file), data, want, &got, nullptr)) return -1;
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

sockio::SocketHandle AcceptOne(sockio::SocketHandle listener, std::string& peer) {
  sockaddr_in a{};
  int len = sizeof a;
  SOCKET s = ::accept(ToSocket(listener), reinterpret_cast<sockaddr*>(&a), &len);
  if (s == INVALID_SOCKET) return sockio::kNoSocket;
  if (!SetNonBlocking(s)) {
    ::closesocket(s);
    return sockio::kNoSocket;
  }
  ::SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
  char ip[INET_ADDRSTRLEN] = "?";
  ::inet_ntop(AF_INET, &a.sin_addr, ip, sizeof ip);
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
