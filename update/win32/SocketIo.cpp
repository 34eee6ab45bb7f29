// The packet socket's TCP calls over Winsock 2.2.
#include "update/SocketIo.h"
#include "update/DottedAddress.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <chrono>
#include <mutex>

namespace sockio {

namespace {

SOCKET ToSocket(SocketHandle socket) { return static_cast<SOCKET>(socket); }

// inet_addr reads the same shorthand forms as inet_aton ("127.1", "0x7f.1"); only the
// all-ones address is ambiguous with its failure value, so that one is read by hand.
std::optional<uint32_t> DottedReading(const std::string& address) {
  if (address == "255.255.255.255") return INADDR_BROADCAST;
  unsigned long a = ::inet_addr(address.c_str());
  if (a == INADDR_NONE) return std::nullopt;
  return static_cast<uint32_t>(a);
}

// Waits for `events` on the socket for at most `ms`. WSAPoll reports a refused non-blocking
// connect as POLLERR/POLLHUP, which counts as ready: the caller reads SO_ERROR next.
int PollFor(SOCKET s, short events, int ms, int& error) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    WSAPOLLFD p{};
    p.fd = s;
    p.events = events;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    int r = ::WSAPoll(&p, 1, static_cast<INT>(std::max<long long>(0, left.count())));
    if (r >= 0) return r > 0 ? 1 : 0;
    const int e = ::WSAGetLastError();
    if (e != WSAEINTR) {
      error = e;
      return -1;
    }
  }
}

std::once_flag gStartOnce;
int gStartError = 0;

}  // namespace

// Winsock is started once for the whole process and left running until it ends: every
// socket shares it, and a cleanup by one socket must never pull it from under another.
bool Startup(int& error) {
  std::call_once(gStartOnce, [] {
    WSADATA data{};
    gStartError = ::WSAStartup(MAKEWORD(2, 2), &data);
    if (gStartError == 0 && (LOBYTE(data.wVersion) != 2 || HIBYTE(data.wVersion) != 2)) {
      ::WSACleanup();
      gStartError = WSAVERNOTSUPPORTED;
    }
  });
  error = gStartError;
  return gStartError == 0;
}

void Cleanup() {}

SocketHandle Create(int sendBuffer, int recvBuffer, int& error) {
  if (!Startup(error)) return kNoSocket;
  // Not inherited: an encoder started while the socket is open must not keep it alive.
  SOCKET s = ::WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
  if (s == INVALID_SOCKET) {
    error = ::WSAGetLastError();
    return kNoSocket;
  }
  if ((sendBuffer > 0 &&
       ::setsockopt(s, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&sendBuffer), sizeof sendBuffer) != 0) ||
      (recvBuffer > 0 &&
       ::setsockopt(s, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&recvBuffer), sizeof recvBuffer) != 0)) {
    error = ::WSAGetLastError();
    ::closesocket(s);
    return kNoSocket;
  }
  return static_cast<SocketHandle>(s);
}

void ShutdownAndClose(SocketHandle socket) {
  if (socket == kNoSocket) return;
  ::shutdown(ToSocket(socket), SD_BOTH);
  ::closesocket(ToSocket(socket));
}

std::optional<uint32_t> ResolveIPv4(const std::string& address) {
  int error = 0;
  if (LooksDotted(address) || !Startup(error)) return DottedReading(address);
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  if (::getaddrinfo(address.c_str(), nullptr, &hints, &list) == 0 && list) {
    uint32_t a = reinterpret_cast<const sockaddr_in*>(list->ai_addr)->sin_addr.s_addr;
    ::freeaddrinfo(list);
    return a;
  }
  return DottedReading(address);
}

bool ConnectWithTimeout(SocketHandle socket, uint32_t address, int port, int timeoutSeconds, int& error) {
  const SOCKET s = ToSocket(socket);
  if (port <= 0 || port > 65535) {
    error = WSAEINVAL;
    return false;
  }
  u_long nonBlocking = 1;
  if (::ioctlsocket(s, FIONBIO, &nonBlocking) != 0) {
    error = ::WSAGetLastError();
    return false;
  }
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<u_short>(port));
  to.sin_addr.s_addr = address;
  if (::connect(s, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0) return true;
  const int started = ::WSAGetLastError();
  if (started != WSAEWOULDBLOCK && started != WSAEINPROGRESS && started != WSAEINTR) {
    error = started;
    return false;
  }
  int r = PollFor(s, POLLOUT, timeoutSeconds * 1000, error);
  if (r < 0) return false;
  if (r == 0) {
    error = WSAETIMEDOUT;
    return false;
  }
  // Ready does not mean connected: a refused connection is ready too, with its error pending.
  int pending = 0;
  int len = sizeof pending;
  if (::getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&pending), &len) != 0) pending = ::WSAGetLastError();
  if (pending != 0) {
    error = pending;
    return false;
  }
  return true;
}

int WaitReadable(SocketHandle socket, int ms, int& error) { return PollFor(ToSocket(socket), POLLRDNORM, ms, error); }

IoResult Receive(SocketHandle socket, char* data, size_t size) {
  const int chunk = static_cast<int>(std::min<size_t>(size, 1 << 30));
  int n = ::recv(ToSocket(socket), data, chunk, 0);
  if (n > 0) return {IoStatus::kDone, static_cast<size_t>(n), 0};
  if (n == 0) return {IoStatus::kClosed, 0, 0};
  const int e = ::WSAGetLastError();
  if (e == WSAEWOULDBLOCK || e == WSAEINTR) return {IoStatus::kWouldBlock, 0, 0};
  return {IoStatus::kError, 0, e};
}

// Winsock never raises a signal for a peer that went away: that is an error result already.
IoResult Send(SocketHandle socket, const char* data, size_t size) {
  const int chunk = static_cast<int>(std::min<size_t>(size, 1 << 30));
  int n = ::send(ToSocket(socket), data, chunk, 0);
  if (n > 0) return {IoStatus::kDone, static_cast<size_t>(n), 0};
  if (n == 0) return {IoStatus::kClosed, 0, 0};
  const int e = ::WSAGetLastError();
  if (e == WSAEWOULDBLOCK || e == WSAEINTR || e == WSAENOBUFS) return {IoStatus::kWouldBlock, 0, 0};
  return {IoStatus::kError, 0, e};
}

long PendingBytes(SocketHandle socket) {
  u_long n = 0;
  return ::ioctlsocket(ToSocket(socket), FIONREAD, &n) == 0 ? static_cast<long>(n) : -1;
}

std::string ErrorName(int error) {
  switch (error) {
#define ZV_WSA_NAME(code) \
  case code: return #code;
    ZV_WSA_NAME(WSAEINTR)
    ZV_WSA_NAME(WSAEBADF)
    ZV_WSA_NAME(WSAEACCES)
    ZV_WSA_NAME(WSAEFAULT)
    ZV_WSA_NAME(WSAEINVAL)
    ZV_WSA_NAME(WSAEMFILE)
    ZV_WSA_NAME(WSAEWOULDBLOCK)
    ZV_WSA_NAME(WSAEINPROGRESS)
    ZV_WSA_NAME(WSAEALREADY)
    ZV_WSA_NAME(WSAENOTSOCK)
    ZV_WSA_NAME(WSAEDESTADDRREQ)
    ZV_WSA_NAME(WSAEMSGSIZE)
    ZV_WSA_NAME(WSAEPROTOTYPE)
    ZV_WSA_NAME(WSAENOPROTOOPT)
    ZV_WSA_NAME(WSAEPROTONOSUPPORT)
    ZV_WSA_NAME(WSAESOCKTNOSUPPORT)
    ZV_WSA_NAME(WSAEOPNOTSUPP)
    ZV_WSA_NAME(WSAEPFNOSUPPORT)
    ZV_WSA_NAME(WSAEAFNOSUPPORT)
    ZV_WSA_NAME(WSAEADDRINUSE)
    ZV_WSA_NAME(WSAEADDRNOTAVAIL)
    ZV_WSA_NAME(WSAENETDOWN)
    ZV_WSA_NAME(WSAENETUNREACH)
    ZV_WSA_NAME(WSAENETRESET)
    ZV_WSA_NAME(WSAECONNABORTED)
    ZV_WSA_NAME(WSAECONNRESET)
    ZV_WSA_NAME(WSAENOBUFS)
    ZV_WSA_NAME(WSAEISCONN)
    ZV_WSA_NAME(WSAENOTCONN)
    ZV_WSA_NAME(WSAESHUTDOWN)
    ZV_WSA_NAME(WSAETIMEDOUT)
    ZV_WSA_NAME(WSAECONNREFUSED)
    ZV_WSA_NAME(WSAEHOSTDOWN)
    ZV_WSA_NAME(WSAEHOSTUNREACH)
    ZV_WSA_NAME(WSASYSNOTREADY)
    ZV_WSA_NAME(WSAVERNOTSUPPORTED)
    ZV_WSA_NAME(WSANOTINITIALISED)
#undef ZV_WSA_NAME
    default: return "WSA" + std::to_string(error);
  }
}

std::string SelectErrorText(int error) {
  const char* name = "ETCE";
  switch (error) {
    case WSANOTINITIALISED: name = "WSANOTINITIALISED"; break;
    case WSAEINTR: name = "WSAEINTR"; break;
    case WSAEFAULT: name = "WSAEFAULT"; break;
    case WSAEINVAL: name = "WSAEINVAL"; break;
    case WSAEINPROGRESS: name = "WSAEINPROGRESS"; break;
    case WSAENOTSOCK: name = "WSAENOTSOCK"; break;
    case WSAENETDOWN: name = "WSAENETDOWN"; break;
    default: break;
  }
  return std::string("Socket Selection Error:") + name;
}

}  // namespace sockio
