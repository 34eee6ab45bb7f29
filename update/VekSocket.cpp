// CVekSocket: connecting, the receive and send threads, both queues, errors and the block header.
#include "update/VekSocket.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <new>

#include "support/DebugLog.h"
#include "support/FileUtils.h"
#include "update/BlockAssembler.h"

namespace {

constexpr int kConnectTimeoutSeconds = 3;
constexpr auto kSendTimeout = std::chrono::seconds(3);
constexpr int kMinSocketBuffer = 4096;
constexpr int kMaxSocketBuffer = 2 * 1024 * 1024;
constexpr int kPushTries = 100;
constexpr int kPushRetryMs = 100;
constexpr int kThreadEndWaitMs = 5000;
constexpr size_t kMaxLastError = 1023;

void Pause(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// The socket buffer for blocks of `size` times `multiplier`, within what the system is asked for.
int SocketBuffer(int size, int multiplier) {
  const long long product = static_cast<long long>(size) * multiplier;
  if (product <= 0) return 0;
  return static_cast<int>(std::clamp<long long>(product, kMinSocketBuffer, kMaxSocketBuffer));
}

std::unique_ptr<char[]> NewBlock(int size) { return std::unique_ptr<char[]>(new (std::nothrow) char[size]); }

}  // namespace

CVekSocket::CVekSocket() = default;

CVekSocket::~CVekSocket() {
  Disconnect();
  CloseSocket();
  DeleteBuffer();
}

int CVekSocket::SetSize(int sendSize, int recvSize, int sendSlots, int recvSlots, int sendMultiplier,
                        int recvMultiplier) {
  if (m_hRecvThread.joinable() || m_hSendThread.joinable()) Disconnect();
  DeleteBuffer();
  if (sendSize <= 0 || recvSize <= 0 || sendSlots <= 0 || recvSlots <= 0) return 0;
  m_zBUFST.iSendSize = sendSize;
  m_zBUFST.iRecvSize = recvSize;
  m_zBUFST.iSendSlots = sendSlots;
  m_zBUFST.iRecvSlots = recvSlots;
  m_zBUFST.iSendMultiplier = sendMultiplier;
  m_zBUFST.iRecvMultiplier = recvMultiplier;
  return 1;
}

void CVekSocket::DeleteBuffer() {
  {
    std::lock_guard lock(m_recvMutex);
    m_recvQueue.clear();
    m_zBUFST.iRecvBufSetCnt = 0;
  }
  std::lock_guard lock(m_sendQueueMutex);
  m_sendQueue.clear();
}

sockio::SocketHandle CVekSocket::MakeSock(int& error) {
  return sockio::Create(SocketBuffer(m_zBUFST.iSendSize, m_zBUFST.iSendMultiplier),
                        SocketBuffer(m_zBUFST.iRecvSize, m_zBUFST.iRecvMultiplier), error);
}

int CVekSocket::ConnServer(const std::string& address, int port, int /*probe*/) {
  if (m_zBUFST.iSendSize <= 0 || m_zBUFST.iRecvSize <= 0) return -12;
  if (m_zBUFST.iSendSlots <= 0 || m_zBUFST.iRecvSlots <= 0) return -13;
  if (m_bConnected || m_hRecvThread.joinable() || m_hSendThread.joinable()) Disconnect();
  // Without auto-close the last connection's socket is still open; it is of no use now.
  CloseSocket();
  if (m_bLibStarted) {
    sockio::Cleanup();
    m_bLibStarted = false;
  }
  int error = 0;
  if (!sockio::Startup(error)) {
    LogError("Failed WSAStartup");
    VekSockError(kVekSockStartError);
    return 0;
  }
  m_bLibStarted = true;
  sockio::SocketHandle sock = MakeSock(error);
  if (sock == sockio::kNoSocket) {
    SetLastErrorText(sockio::ErrorName(error));
    VekSockError(kVekSockStartError);
    return 0;
  }
  // The whole text: a name cut to a buffer's size would reach another host, or none.
  m_sAddress = address;
  m_iPort = port;
  std::optional<uint32_t> ip = sockio::ResolveIPv4(m_sAddress);
  if (!ip) error = EHOSTUNREACH;
  if (!ip || !sockio::ConnectWithTimeout(sock, *ip, port, kConnectTimeoutSeconds, error)) {
    sockio::ShutdownAndClose(sock);
    SetLastErrorText(sockio::ErrorName(error));
    VekSockError(kVekSockConnectError);
    return 0;
  }
  m_iSock = sock;
  // Blocks of an earlier connection mean nothing on this one.
  DeleteBuffer();
  m_zFLAG.i_exit = 0;
  m_zFLAG.bRcvBuffClearing = false;
  m_zFLAG.bSndBuffClearing = false;
  bSockHasError = false;
  m_bSendStopped = false;
  // Connected before the threads run, so that a peer closing at once is never overwritten.
  m_bConnected = true;
  if (!StartThreads()) return 0;
  WaitStep(500);
  return 1;
}

bool CVekSocket::StartThreads() {
  const char* failure = nullptr;
  try {
    m_bRecvRunning = true;
    m_hRecvThread = std::thread(&CVekSocket::ThreadForRecv, this);
  } catch (const std::system_error&) {
    m_bRecvRunning = false;
    failure = "VEKSOCK: Failed Recv Thread";
  }
  if (!failure) {
    try {
      m_bSendRunning = true;
      m_hSendThread = std::thread(&CVekSocket::ThreadForSend, this);
    } catch (const std::system_error&) {
      m_bSendRunning = false;
      failure = "VEKSOCK: Failed Send Thread";
    }
  }
  if (!failure) return true;
  LogError(failure);
  // Without its partner a thread is of no use: the receive thread ends on 2 and closes the socket.
  m_zFLAG.i_exit = 2;
  JoinThreads();
  CloseSocket();
  m_bConnected = false;
  return false;
}

// ---------------------------------------------------------------- receiving

void CVekSocket::ThreadForRecv() {
  BlockAssembler assembler(static_cast<size_t>(m_zBUFST.iRecvSize));
  const sockio::SocketHandle sock = m_iSock.load();
  bool moreLikely = false;
  while (assembler.Valid()) {
    const int exit = m_zFLAG.i_exit.load();
    // An end asked for (1) waits for the send thread, which answers with 2 as it ends; a 1
    // written after that answer must not keep this thread waiting for ever.
    if (bSockHasError || exit > 1 || (exit == 1 && !m_bSendRunning)) break;
    if (exit == 1 || m_zFLAG.bRcvBuffClearing) {
      Pause(5);
      continue;
    }
    if (!moreLikely) {
      int error = 0;
      int ready = sockio::WaitReadable(sock, 100, error);
      if (ready < 0) {
        SetLastErrorText(sockio::SelectErrorText(error));
        break;
      }
      if (ready == 0) continue;
    }
    const std::span<char> space = assembler.Space();
    sockio::IoResult r = sockio::Receive(sock, space.data(), space.size());
    if (r.status == sockio::IoStatus::kClosed) break;
    if (r.status == sockio::IoStatus::kWouldBlock) {
      // Read without waiting first and found nothing: wait for readability as usual.
      if (!moreLikely) Pause(50);
      moreLikely = false;
      continue;
    }
    if (r.status == sockio::IoStatus::kError) {
      SetLastErrorText(sockio::ErrorName(r.error));
      VekSockError(kVekSockRecvError);
      break;
    }
    // A receive that got all it asked for probably left more behind: the next one is tried
    // at once, saving a wait call per block while data streams in.
    moreLikely = r.status == sockio::IoStatus::kDone && r.bytes == space.size();
    Block whole = assembler.Commit(r.bytes);
    if (whole && !m_zFLAG.bRcvBuffClearing) QueueReceived(std::move(whole));
  }
  if (m_bAutoClose) {
    CloseSocket();
    m_bConnected = false;
    {
      std::lock_guard lock(m_sendQueueMutex);
      m_sendQueued.notify_all();  // the send thread ends without waiting out its timeout
    }
    Pause(10);
  }
  m_bRecvRunning = false;
}

void CVekSocket::QueueReceived(Block block) {
  // Back-pressure: while this many blocks wait, the thread holds its block and reads nothing
  // more, so the sender is slowed by TCP itself instead of the queue growing.
  const size_t limit = static_cast<size_t>(std::max(1, m_zBUFST.iRecvSlots - 1));
  std::unique_lock lock(m_recvMutex);
  while (m_recvQueue.size() >= limit) {
    if (m_zFLAG.i_exit.load() != 0 || bSockHasError) return;
    m_recvChanged.wait_for(lock, std::chrono::milliseconds(5));
  }
  m_llRecvKB += m_zBUFST.iRecvSize / 1024;
  m_recvQueue.push_back(std::move(block));
  m_zBUFST.iRecvBufSetCnt = static_cast<int>(m_recvQueue.size()) - 1;
  m_recvChanged.notify_all();
}

const char* CVekSocket::RcvBufHead() {
  std::lock_guard lock(m_recvMutex);
  return m_recvQueue.empty() ? nullptr : m_recvQueue.front().get();
}

int CVekSocket::RcvBufCount() {
  std::lock_guard lock(m_recvMutex);
  return static_cast<int>(m_recvQueue.size());
}

bool CVekSocket::RcvBufWait(int ms) {
  std::unique_lock lock(m_recvMutex);
  return m_recvChanged.wait_for(lock, std::chrono::milliseconds(ms), [this] { return !m_recvQueue.empty(); });
}

int CVekSocket::RcvBufShift() {
  std::lock_guard lock(m_recvMutex);
  if (m_recvQueue.empty()) return -1;
  m_recvQueue.pop_front();
  const int left = static_cast<int>(m_recvQueue.size());
  m_zBUFST.iRecvBufSetCnt = left;
  m_recvChanged.notify_all();
  return left + 1;
}

// ---------------------------------------------------------------- sending

void CVekSocket::ThreadForSend() {
  while (m_zFLAG.i_exit.load() == 0 && m_iSock.load() != sockio::kNoSocket) {
    if (bSockHasError) break;
    const char* head = nullptr;
    {
      std::unique_lock lock(m_sendQueueMutex);
      // A push or a stop request wakes the thread at once; the timeout only bounds how late
      // it notices a closed socket or an error, as the receive thread's wait does.
      if (m_sendQueue.empty() || m_bSendStopped)
        m_sendQueued.wait_for(lock, std::chrono::milliseconds(100));
      else
        head = m_sendQueue.front().get();  // only this thread removes the head
    }
    if (!head) continue;
    SendOutcome out = SendTry(head);
    if (out.bytes >= static_cast<size_t>(m_zBUFST.iSendSize)) m_llSentKB += m_zBUFST.iSendSize / 1024;
    {
      std::lock_guard lock(m_sendQueueMutex);
      m_sendQueue.pop_front();
    }
    // A block cut short leaves the stream out of step; nothing more may follow it.
    if (out.code != 0) m_bSendStopped = true;
  }
  m_zFLAG.i_exit = 2;
  m_bSendRunning = false;
}

CVekSocket::SendOutcome CVekSocket::SendTry(const char* block) {
  const int size = m_zBUFST.iSendSize;
  if (size <= 0) {
    LogError("Exception Error On VekSock(Send-Try) - m_zBUFST.iSendSize <= 0");
    VekSockError(kVekSockSendError);
    return {0, -1};
  }
  m_zFLAG.bSndBuffClearing = false;
  m_zFLAG.bRcvBuffClearing = false;
  // The whole block goes out under the lock: blocks of QuickSend and of the send thread
  // never interleave on the stream.
  std::lock_guard lock(m_sendMutex);
  Block copy = NewBlock(size);
  if (!copy) {
    LogError("Exception Error On VekSock(Send-Try)1");
    VekSockError(kVekSockSendError);
    return {0, -1};
  }
  std::memcpy(copy.get(), block, static_cast<size_t>(size));
  const auto start = std::chrono::steady_clock::now();
  SendOutcome out;
  bool asked = false;  // stopped because the owner asked, not by a failure
  while (out.bytes < static_cast<size_t>(size)) {
    const sockio::SocketHandle sock = m_iSock.load();
    if (sock == sockio::kNoSocket || m_zFLAG.bSndBuffClearing || Stopping()) {
      out.code = -1;
      asked = sock != sockio::kNoSocket;
      break;
    }
    sockio::IoResult r = sockio::Send(sock, copy.get() + out.bytes, static_cast<size_t>(size) - out.bytes);
    if (r.status == sockio::IoStatus::kDone) {
      out.bytes += r.bytes;
      if (out.bytes < static_cast<size_t>(size)) Pause(5);
    } else if (r.status == sockio::IoStatus::kClosed) {
      out.code = -2;
      break;
    } else if (r.status == sockio::IoStatus::kWouldBlock) {
      if (std::chrono::steady_clock::now() - start > kSendTimeout) {
        SetLastErrorText("WSA_TIMEOUT");
        out.code = 1;
        break;
      }
      Pause(50);
    } else {
      SetLastErrorText(sockio::ErrorName(r.error));
      out.code = -1;
      break;
    }
  }
  if (out.bytes == 0 && !asked) VekSockError(kVekSockSendError);
  return out;
}

int CVekSocket::QuickSend(const char* block) {
  if (m_iSock.load() == sockio::kNoSocket || !block) return -1;
  SendOutcome out = SendTry(block);
  return out.bytes > 0 ? static_cast<int>(out.bytes) : -1;
}

int CVekSocket::PushSendPacket(const char* block, int length) {
  const int size = m_zBUFST.iSendSize;
  if (m_zBUFST.iSendSlots <= 0 || size <= 0 || !block || !m_bConnected || Stopping()) return -1;
  if (length < 0 || length > size) return -1;
  Block copy(new (std::nothrow) char[size]());
  if (!copy) return -1;
  std::memcpy(copy.get(), block, static_cast<size_t>(length == 0 ? size : length));
  for (int attempt = 0; attempt < kPushTries; ++attempt) {
    {
      std::lock_guard lock(m_sendQueueMutex);
      if (m_sendQueue.size() < static_cast<size_t>(m_zBUFST.iSendSlots)) {
        m_sendQueue.push_back(std::move(copy));
        m_sendQueued.notify_all();
        return static_cast<int>(m_sendQueue.size()) - 1;
      }
    }
    // A connection that ended will never make room.
    if (!m_bConnected || Stopping()) return -1;
    WaitStep(kPushRetryMs);
  }
  LogError("BuffOverflow:" + std::to_string(m_zBUFST.iSendSlots));
  return -1;
}

// ---------------------------------------------------------------- ending

void CVekSocket::Disconnect() {
  KillThread();
  if (m_bLibStarted) {
    sockio::Cleanup();
    m_bLibStarted = false;
  }
}

void CVekSocket::KillThread() {
  int expected = 0;
  if (m_zFLAG.i_exit.compare_exchange_strong(expected, 1)) {
    {
      std::lock_guard lock(m_sendQueueMutex);
      m_sendQueued.notify_all();
    }
    WaitForThreadEnd(m_bSendRunning, "Send");
    WaitForThreadEnd(m_bRecvRunning, "Recv");
  }
  // Threads that ended (or are about to, an end having been asked) are joined without delay.
  JoinThreads();
}

void CVekSocket::WaitForThreadEnd(const std::atomic<bool>& running, const char* name) {
  for (int waited = 0; running && waited < kThreadEndWaitMs; waited += 10) WaitStep(10);
  // A thread cannot be cut off safely (it may hold a lock); it is waited for instead.
  if (running) DebugLogPrefixed("VEKSOCK::", kDebugTarget, "%s thread did not end within 5 s", name);
}

void CVekSocket::JoinThreads() {
  if (m_hSendThread.joinable()) m_hSendThread.join();
  if (m_hRecvThread.joinable()) m_hRecvThread.join();
}

void CVekSocket::CloseSocket() {
  std::lock_guard lock(m_sendMutex);
  sockio::ShutdownAndClose(m_iSock.exchange(sockio::kNoSocket));
}

// ---------------------------------------------------------------- errors

std::string CVekSocket::LastError() const {
  std::lock_guard lock(m_errorMutex);
  return m_szLastError;
}

void CVekSocket::SetLastErrorText(std::string text) {
  if (text.size() > kMaxLastError) text.resize(kMaxLastError);
  std::lock_guard lock(m_errorMutex);
  m_szLastError = std::move(text);
}

void CVekSocket::LogError(std::string text) {
  DebugLogPrefixed("VEKSOCK::", kDebugTarget, "%s", text.c_str());
  SetLastErrorText(std::move(text));
}

void CVekSocket::SetErrorObserver(ErrorObserver observer, int id) {
  m_observer = std::move(observer);
  m_iNotifyId = id;
}

void CVekSocket::VekSockError(int code) {
  if (m_observer) m_observer(m_iNotifyId, code);
  bSockHasError = true;
}

// ---------------------------------------------------------------- block header

bool SetBlockHeader(std::span<char> block, std::string_view marker, std::span<const char> payload) {
  if (marker.size() != kBlockMarkerSize || block.size() < kBlockHeaderSize ||
      payload.size() > block.size() - kBlockHeaderSize || payload.size() > INT32_MAX)
    return false;
  std::fill(block.begin(), block.end(), '\0');
  std::memcpy(block.data(), marker.data(), kBlockMarkerSize);
  const auto length = static_cast<uint32_t>(payload.size());
  for (int i = 0; i < 4; ++i) block[9 + i] = static_cast<char>((length >> (8 * i)) & 0xFF);
  if (!payload.empty()) std::memcpy(block.data() + kBlockHeaderSize, payload.data(), payload.size());
  return true;
}

std::string_view BlockMarker(std::span<const char> block) {
  if (block.size() < kBlockHeaderSize) return {};
  return {block.data(), strnlen(block.data(), kBlockMarkerSize)};
}

bool BlockMarkerIs(std::span<const char> block, std::string_view marker) {
  return marker.size() == kBlockMarkerSize && block.size() >= kBlockHeaderSize &&
         std::memcmp(block.data(), marker.data(), kBlockMarkerSize) == 0;
}

std::optional<int32_t> BlockLength(std::span<const char> block) {
  if (block.size() < kBlockHeaderSize) return std::nullopt;
  uint32_t v = 0;
  for (int i = 0; i < 4; ++i) v |= static_cast<uint32_t>(static_cast<unsigned char>(block[9 + i])) << (8 * i);
  return static_cast<int32_t>(v);
}

std::optional<std::span<const char>> BlockPayload(std::span<const char> block) {
  std::optional<int32_t> length = BlockLength(block);
  if (!length || *length < 0 || static_cast<size_t>(*length) > block.size() - kBlockHeaderSize) return std::nullopt;
  return block.subspan(kBlockHeaderSize, static_cast<size_t>(*length));
}
