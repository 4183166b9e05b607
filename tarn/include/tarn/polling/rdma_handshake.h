// The RDMA connection handshake: how two queue pairs learn each other's
// address (LID, queue-pair number, GID) over a short-lived TCP connection of
// the TCP transport before they carry RDMA messages.
//
// Three fixed-size records travel over that TCP connection:
//
//   client -> server   request (type 1)   the client's queue pair
//   server -> client   reply   (type 3)   the server's queue pair
//   client -> server   ready   (type 2)   the client has posted its receives
//
// after which the server closes the TCP connection. Each side keeps its own
// record for the whole exchange and sends it with a changed type byte: its
// own fields are filled when its queue pair is created, the peer fields when
// the peer's record arrives.
//
// Records are checked before anything is done with them: a wrong version or
// magic, a type the receiver does not expect at that point (an early ready, a
// second request, an unknown type) ends the TCP connection. A queue pair that
// no connection owns yet is destroyed then; one that a connection owns is
// left to that connection's own teardown.
//
// Queue-pair transitions, receive posting and everything else that touches a
// polling worker's state run on that worker's loop (the handshake thread hands
// them over and waits), so a worker that drops its device meanwhile never has
// its device context used from another thread.
#ifndef TARN_POLLING_RDMA_HANDSHAKE_H_
#define TARN_POLLING_RDMA_HANDSHAKE_H_

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "tarn/sock_address.h"
#include "tarn/timer_queue.h"

namespace tarn {

class Connection;
class PollingWorker;
class RdmaQueuePair;
class RdmaServer;
class TcpServer;
class WorkerLife;

// The 70-byte handshake record; packed, native (little-endian) byte order,
// GIDs as the 16 raw bytes the device reports.
#pragma pack(push, 1)
struct RdmaHandshakeRecord {
  static constexpr uint8_t kRequest = 1;
  static constexpr uint8_t kReady = 2;
  static constexpr uint8_t kReply = 3;
  static constexpr uint8_t kVersion = 0;
  static constexpr uint32_t kMagic = 0x20210701;

  uint8_t type = 0;               //  0
  uint8_t version = kVersion;     //  1
  uint32_t magic = kMagic;        //  2
  uint16_t lid = 0;               //  6 sender's
  uint16_t peer_lid = 0;          //  8
  uint32_t qp_num = 0;            // 10 sender's
  uint32_t peer_qp_num = 0;       // 14
  uint8_t gid[16] = {};           // 18 sender's
  uint8_t peer_gid[16] = {};      // 34
  uint32_t constant = 1;          // 50 always 1
  uint32_t max_recv_size = 0;     // 54 sender's largest receive message
  uint32_t reserved0 = 0;         // 58
  uint64_t reserved1 = 0;         // 62
};
#pragma pack(pop)
static_assert(sizeof(RdmaHandshakeRecord) == 70, "the handshake record is 70 bytes");

// The record's size on the wire.
constexpr size_t kHandshakeRecordSize = sizeof(RdmaHandshakeRecord);

// How long a handshake may take, on either side, before it is given up. The
// client counts from its TCP connect and closes an attempt with no reply by
// then; the server counts from the accept and closes a handshake without
// the ready record by then, destroying its queue pair, so a peer that
// connects and sends nothing (or part of a record) holds a queue pair and a
// descriptor for at most this long.
constexpr double kHandshakeDeadlineSeconds = 10.0;
// Handshakes one RDMA server runs at once (each holds a queue pair, a
// descriptor and a timer until it completes or its deadline passes);
// connections accepted beyond this are closed at once, before any queue
// pair is made, and logged only now and then (the first, then every
// kRefusalLogEvery-th).
constexpr int kMaxPendingHandshakes = 1024;
constexpr uint64_t kRefusalLogEvery = 1000;

// Fills the sender fields (LID, queue-pair number, GID, largest receive
// message size) from our own queue pair.
void FillSenderFields(const RdmaQueuePair& qp, RdmaHandshakeRecord* record);
// Copies the peer's sender fields into our record's peer fields.
void TakePeerFields(const RdmaHandshakeRecord& peer, RdmaHandshakeRecord* own);

// Runs fn on worker's loop and waits (at once on that loop's thread); false
// when the loop has ended and fn did not run.
bool RunOnWorker(PollingWorker* worker, const std::function<void()>& fn);

// The server's handshake thread waits for polling workers; a server being
// destroyed on one of those workers waits (through its acceptor) for that
// thread to end. The gate breaks the cycle: once closed, a wait that has not
// started running on the worker is given up (fn never runs) and later ones
// are refused, so the handshake fails instead of waiting. Shared by the
// server and the tasks it has queued; any thread.
//
// The gate learns when a worker goes: a watched worker (WatchWorker) tells
// it as its destructor begins; any other worker, when a call it was handed
// is dropped unrun (its loop went with the call still queued, which only a
// worker being destroyed does), and that call fails. A worker that has gone
// is asked nothing more, through the gate or by the handshake's clean-up;
// its own teardown destroys the queue pairs of its device context.
class HandshakeGate : public std::enable_shared_from_this<HandshakeGate> {
 public:
  HandshakeGate() = default;
  // Stops watching (waits for a watcher that runs).
  ~HandshakeGate();
  HandshakeGate(const HandshakeGate&) = delete;
  HandshakeGate& operator=(const HandshakeGate&) = delete;

  // Any thread, while worker surely lives (its colony started, not yet
  // deleted): from now on the gate counts it as gone from the moment its
  // destruction begins, so that no later call reaches for it.
  void WatchWorker(PollingWorker* worker);
  // Unless the worker has gone, runs fn here at once, holding off the
  // worker's destruction meanwhile: fn may hand work to the worker's loop
  // (posting, never waiting) and must not use the gate. False, fn not run,
  // when the worker has gone.
  bool WithWorker(PollingWorker* worker, const std::function<void()>& fn);
  // Like RunOnWorker: true only when fn ran. False when the loop refused
  // or dropped it, the worker is gone, or the gate closed before fn began.
  // A call fn already runs in is waited for (it never waits itself).
  bool Run(PollingWorker* worker, const std::function<void()>& fn);
  // Sleeps for `seconds`, or less when the gate closes meanwhile.
  void Pause(double seconds);
  void Close();
  bool closed();
  // Whether the worker has gone (or is going): a watched worker's
  // destruction has begun, or a call of it was dropped unrun. Names the
  // worker without touching it.
  bool gone(const PollingWorker* worker);
  // Calls posted to workers' loops (wholly: the posts have returned) that
  // have not begun, nor been dropped or given up.
  size_t queued();

 private:
  struct Call;
  struct Watch {
    const PollingWorker* worker;
    std::shared_ptr<WorkerLife> life;
    uint64_t id;
  };
  // Under mutex_: the call leaves kQueued for `state`.
  void Leave(Call* call, int state);
  // Under mutex_.
  bool GoneLocked(const PollingWorker* worker) const;
  void MarkGoneLocked(const PollingWorker* worker);

  std::mutex mutex_;
  std::condition_variable changed_;
  bool closed_ = false;
  size_t queued_ = 0;
  std::vector<const PollingWorker*> gone_;
  // Changed only by WatchWorker (under watch_mutex_, never under mutex_:
  // a worker's watcher takes mutex_ under its life's lock).
  std::mutex watch_mutex_;
  std::vector<Watch> watches_;
};

// Destroys a queue pair no connection owns, on the loop of the worker that
// made it, without waiting for it; one whose device context the worker has
// dropped meanwhile was destroyed with that context, and when the loop has
// ended the worker's teardown destroys it. Nothing for an empty pointer.
// With a gate, nothing either when the worker has gone (its teardown did
// it).
void DestroyOrphanQueuePair(PollingWorker* worker, const std::shared_ptr<RdmaQueuePair>& qp,
                            HandshakeGate* gate = nullptr);
// On the worker that made qp: takes the peer's LID, queue-pair number, GID
// and receive size into qp, moves it to RTS, caches its GID in the worker and
// posts its receives. 0, or -1 when the transition failed, the worker's
// device context is no longer qp's, the loop has ended or `gate` (when
// given) closed first.
int BringUpQueuePair(PollingWorker* worker, const std::shared_ptr<RdmaQueuePair>& qp,
                     const RdmaHandshakeRecord& peer, HandshakeGate* gate = nullptr);

// Server side: one accepted TCP connection's handshake, attached to it
// through its context pointer.
struct RdmaServerHandshake {
  enum Stage { kAwaitRequest, kAwaitReady };

  RdmaHandshakeRecord record;
  std::shared_ptr<RdmaQueuePair> qp;
  PollingWorker* worker = nullptr;
  int64_t conn_id = -1;  // the RDMA connection, once the request is processed
  Stage stage = kAwaitRequest;
  // Names this handshake for its deadline (a context at a reused address
  // is another handshake), and the deadline's timer, cancelled when the
  // handshake ends first.
  uint64_t serial = 0;
  TimerId deadline;
};

// The inner TCP server's three callbacks, each bound to the RDMA server and
// the inner server. They run on the inner server's event worker.
class SocketServer {
 public:
  // Accept: a handshake context with a fresh queue pair (INIT) on a polling
  // worker picked by the RDMA server's colony policy, and its deadline. The
  // worker's device is opened first when it has none (after a one-second
  // pause). Beyond kMaxPendingHandshakes the connection is closed at once.
  static void ConnectionSuccessHandle(RdmaServer* server, TcpServer* inner,
                                      const std::shared_ptr<Connection>& conn);
  // The TCP connection closed: a handshake still attached is aborted.
  static void ConnectionClosedHandle(RdmaServer* server, TcpServer* inner,
                                     const std::shared_ptr<Connection>& conn);
  // Records: request -> reply, ready -> the RDMA connection is established
  // and the TCP connection closed; anything else ends the handshake.
  static void MessageReadHandle(RdmaServer* server, TcpServer* inner,
                                const std::shared_ptr<Connection>& conn);
};

// Client side: one attempt's handshake (the SocketClient of the negotiation
// thread keeps it). Its queue pair is made before the TCP connection opens.
class RdmaClientHandshake {
 public:
  using ConnectCallback =
      std::function<void(const std::shared_ptr<RdmaQueuePair>&, const SockAddress&)>;
  using DisconnectCallback = std::function<void(const std::shared_ptr<RdmaQueuePair>&)>;

  // Makes the queue pair on `worker` (waiting for its loop) and fills the
  // sender fields from it; qp() stays empty when the worker could not make
  // one.
  RdmaClientHandshake(PollingWorker* worker, ConnectCallback on_connect,
                      DisconnectCallback on_disconnect);

  // TCP established: sends the request.
  void OnEstablished(const std::shared_ptr<Connection>& tcp);
  // TCP data: takes whole records. On the reply: brings the queue pair up,
  // sends the ready record and reports on_connect with the TCP connection's
  // local address. A bad record or a failed transition closes the TCP
  // connection.
  void OnMessage(const std::shared_ptr<Connection>& tcp);
  // TCP closed: reports on_disconnect, once.
  void OnClosed();
  // Later reports are dropped (the job is going away with its owner).
  void Silence();

  const RdmaHandshakeRecord& record() const { return record_; }
  const std::shared_ptr<RdmaQueuePair>& qp() const { return qp_; }
  bool replied() const { return replied_; }

 private:
  PollingWorker* worker_;
  RdmaHandshakeRecord record_;
  std::shared_ptr<RdmaQueuePair> qp_;
  ConnectCallback on_connect_;
  DisconnectCallback on_disconnect_;
  bool replied_ = false;
  bool closed_ = false;
};

}  // namespace tarn

#endif  // TARN_POLLING_RDMA_HANDSHAKE_H_
