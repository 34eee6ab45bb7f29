// The few TCP calls the packet socket needs, so that CVekSocket reads the same on every system.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace sockio {

// A socket of the platform (a descriptor here, a SOCKET on Windows).
using SocketHandle = std::intptr_t;
inline constexpr SocketHandle kNoSocket = -1;

enum class IoStatus { kDone, kWouldBlock, kClosed, kError };

struct IoResult {
  IoStatus status = IoStatus::kError;
  size_t bytes = 0;
  int error = 0;  // the platform's error code when status is kError
};

// Starts the platform's socket library (nothing to start here); false with `error` set when it fails.
bool Startup(int& error);
void Cleanup();

// A TCP/IPv4 stream socket whose send and receive buffers are set to the given sizes when
// they are positive. kNoSocket, with `error` set, when creating or sizing it fails.
SocketHandle Create(int sendBuffer, int recvBuffer, int& error);

// Shuts both directions down and closes the socket.
void ShutdownAndClose(SocketHandle socket);

// The IPv4 address of `address`: a text of digits and dots (a leading sign allowed) is read as a
// dotted address, anything else is looked up by name, falling back to the dotted reading.
std::optional<uint32_t> ResolveIPv4(const std::string& address);

// Connects without blocking for longer than `timeoutSeconds`; the socket stays non-blocking.
// false with `error` set (a timeout gives the platform's timed-out code).
bool ConnectWithTimeout(SocketHandle socket, uint32_t address, int port, int timeoutSeconds, int& error);

// 1 when the socket has something to read (data, or the peer's close), 0 when `ms` passed,
// -1 with `error` set when waiting failed.
int WaitReadable(SocketHandle socket, int ms, int& error);

// One receive or send of at most `size` bytes on the non-blocking socket.
IoResult Receive(SocketHandle socket, char* data, size_t size);
IoResult Send(SocketHandle socket, const char* data, size_t size);

// Bytes the system holds for the socket that nobody has read yet; -1 when it cannot tell.
long PendingBytes(SocketHandle socket);

// The name of a platform error code ("ECONNREFUSED"); "ETIMEDOUT" for a connect that timed out.
std::string ErrorName(int error);

// The last-error text of a failed wait for readability, one of the fixed
// "Socket Selection Error:…" texts.
std::string SelectErrorText(int error);

}  // namespace sockio
