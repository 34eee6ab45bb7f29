// CVekSocket: a TCP client that sends blocks of one fixed size and receives blocks of another.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <thread>

#include "update/SocketIo.h"

// Error codes handed to the error observer (and the reason bSockHasError is set).
inline constexpr int kVekSockStartError = -1;    // socket library or socket creation failed
inline constexpr int kVekSockConnectError = -5;  // connect failed or timed out
inline constexpr int kVekSockRecvError = -10;
inline constexpr int kVekSockSendError = -11;

// A receive thread cuts the byte stream into blocks of the receive size and queues them (at
// most receive slots − 1 wait; then it stops reading the socket until the owner shifts one
// out); a send thread drains a queue of send blocks. The owner reads the head of the receive
// queue in its own thread and drops it with RcvBufShift.
class CVekSocket {
 public:
  // Called on the thread that met the error, before bSockHasError is set.
  using ErrorObserver = std::function<void(int id, int code)>;

  CVekSocket();
  ~CVekSocket();
  CVekSocket(const CVekSocket&) = delete;
  CVekSocket& operator=(const CVekSocket&) = delete;

  // Empties and re-creates both queues (disconnecting first when threads run) and stores the
  // sizes. 1, or 0 when a size or count is not positive.
  int SetSize(int sendSize, int recvSize, int sendSlots, int recvSlots, int sendMultiplier, int recvMultiplier);

  // Connects (3-second timeout) and starts both threads. 1 on success, 0 on failure; -12 when
  // the block sizes are not set, -13 when the slot counts are not. `probe` is accepted for
  // the callers' sake; only the plain connect exists.
  int ConnServer(const std::string& address, int port, int probe = 0);

  // Sends one whole send block at once from the calling thread, past the queue: the number
  // of bytes sent when positive, else -1.
  int QuickSend(const char* block);

  // Queues a copy of the first `length` bytes of `block` (the whole send block when 0) as one
  // send block, the rest cleared. The slot index, or -1 when not connected, stopping, `length`
  // does not fit a send block, or the queue stayed full for 100 tries 100 ms apart.
  int PushSendPacket(const char* block, int length);

  // The block at the head of the receive queue, or null. It stays valid until RcvBufShift.
  const char* RcvBufHead();
  // Number of received blocks waiting.
  int RcvBufCount();
  // Waits up to `ms` for a block at the head (waking as soon as one arrives); whether one is there.
  bool RcvBufWait(int ms);
  // Frees the head block and moves the others up: blocks left + 1, or -1 when there was none.
  int RcvBufShift();

  bool HasError() const { return bSockHasError.load(); }
  bool IsConnected() const { return m_bConnected.load(); }

  // Ends both threads; the receive thread closes the socket as it ends (m_bAutoClose).
  void Disconnect();
  // Asks both threads to end and waits for them (each up to 5 s before it is reported and
  // waited for without bound); returns at once when an end was already asked for.
  void KillThread();

  std::string LastError() const;
  void SetErrorObserver(ErrorObserver observer, int id = 101);

  int64_t SentKilobytes() const { return m_llSentKB.load(); }
  int64_t ReceivedKilobytes() const { return m_llRecvKB.load(); }
  // The connected socket, or kNoSocket.
  sockio::SocketHandle Handle() const { return m_iSock.load(); }

  struct Flags {
    std::atomic<int> i_exit{0};  // 0 run, 1 stop asked, 2 the send thread has ended
    std::atomic<bool> bRcvBuffClearing{false};
    std::atomic<bool> bSndBuffClearing{false};
  };
  struct BufferSettings {
    int iSendSize = 0;
    int iRecvSize = 0;
    int iSendSlots = 0;
    int iRecvSlots = 0;
    int iSendMultiplier = 1;
    int iRecvMultiplier = 1;
    std::atomic<int> iRecvBufSetCnt{0};  // index of the receive slot filled last
  };

  Flags m_zFLAG;
  BufferSettings m_zBUFST;
  std::atomic<bool> bSockHasError{false};
  std::atomic<bool> m_bAutoClose{true};

 private:
  using Block = std::unique_ptr<char[]>;
  struct SendOutcome {
    size_t bytes = 0;
    int code = 0;  // 0 sent, 1 timed out, -1 error or stopped, -2 the peer closed
  };

  sockio::SocketHandle MakeSock(int& error);
  bool StartThreads();
  void ThreadForRecv();
  void ThreadForSend();
  void QueueReceived(Block block);
  SendOutcome SendTry(const char* block);
  void JoinThreads();
  void WaitForThreadEnd(const std::atomic<bool>& running, const char* name);
  void CloseSocket();
  void DeleteBuffer();
  void SetLastErrorText(std::string text);
  void LogError(std::string text);
  void VekSockError(int code);
  bool Stopping() const { return m_zFLAG.i_exit.load() != 0; }

  std::string m_sAddress;
  int m_iPort = 0;
  std::atomic<sockio::SocketHandle> m_iSock{sockio::kNoSocket};
  bool m_bLibStarted = false;
  std::atomic<bool> m_bConnected{false};
  std::atomic<bool> m_bSendStopped{false};

  std::thread m_hRecvThread;
  std::thread m_hSendThread;
  std::atomic<bool> m_bRecvRunning{false};
  std::atomic<bool> m_bSendRunning{false};

  std::mutex m_recvMutex;  // the receive queue
  std::condition_variable m_recvChanged;
  std::deque<Block> m_recvQueue;
  std::mutex m_sendQueueMutex;  // insertion into and removal from the send queue
  std::condition_variable m_sendQueued;
  std::deque<Block> m_sendQueue;
  std::mutex m_sendMutex;  // one block on the wire at a time; the socket is not closed meanwhile

  mutable std::mutex m_errorMutex;
  std::string m_szLastError;
  ErrorObserver m_observer;
  int m_iNotifyId = 101;

  std::atomic<int64_t> m_llSentKB{0};
  std::atomic<int64_t> m_llRecvKB{0};
};

// The header every block of the update protocol starts with:
//   0  8  marker, "_" + six capital letters + ":"
//   8  1  0 (the marker's terminator)
//   9  4  payload length, signed 32-bit little-endian
//  13  …  payload
inline constexpr size_t kBlockMarkerSize = 8;
inline constexpr size_t kBlockHeaderSize = 13;

// Clears `block` and writes the header and payload into it; false when the marker is not
// eight characters or the payload does not fit.
bool SetBlockHeader(std::span<char> block, std::string_view marker, std::span<const char> payload);
// The marker of a block (empty when the block is shorter than a header).
std::string_view BlockMarker(std::span<const char> block);
// Whether the block's marker is `marker`, its terminator counted as 0 as a receiver sets it.
bool BlockMarkerIs(std::span<const char> block, std::string_view marker);
// The payload length as stored (may be negative or too large: check before use).
std::optional<int32_t> BlockLength(std::span<const char> block);
// The payload, when its length is neither negative nor beyond the block.
std::optional<std::span<const char>> BlockPayload(std::span<const char> block);
