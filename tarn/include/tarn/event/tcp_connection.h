// A connection over one non-blocking TCP socket, driven by the libevent
// driver of its event worker's loop.
//
// Received bytes go into an input ring and are announced through the
// message-read callback; sent bytes go into an output ring and leave whenever
// the socket is writable. While the connection is open its event handler
// holds two references to it, so an open connection keeps itself alive;
// closing deletes the handler and breaks that cycle.
//
// Closing shuts the socket down in both directions at once, so the peer sees
// the end of the stream even while someone still references the connection;
// the descriptor itself is released when the connection is destroyed.
#ifndef TARN_EVENT_TCP_CONNECTION_H_
#define TARN_EVENT_TCP_CONNECTION_H_

#include <atomic>
#include <memory>

#include "tarn/connection.h"
#include "tarn/event/event_loop.h"
#include "tarn/event/tcp_socket.h"
#include "tarn/timer_queue.h"

namespace tarn {

class Buffer;
class EventLoop;
class EventWorker;
class TcpConnection;

// The libevent callback argument of an open connection.
class EventHandler {
 public:
  explicit EventHandler(const std::shared_ptr<TcpConnection>& conn);

  static void ReadEventCbWrapper(int fd, short what, void* handler);
  static void WriteEventCbWrapper(int fd, short what, void* handler);
  static void ConnectEventCbWrapper(int fd, short what, void* handler);

 private:
  // The connection as the callbacks take it; it is always a TcpConnection.
  std::shared_ptr<Connection> conn_;
};

class TcpConnection : public Connection, public PassEndWork {
 public:
  // Both rings start at this many bytes and grow as needed.
  static constexpr size_t kInitialBufferSize = 8192;

  TcpConnection(EventWorker* worker, const std::string& name, int64_t id,
                const SockAddress& peer);
  ~TcpConnection() override;

  int Init() override;
  size_t ReadableLength() override;
  size_t ReadableLengthOutBuf() override;
  size_t UnackedInSocket() override;
  size_t PeerReceiveWindow() override;
  int SendData(const void* data, size_t len) override;
  int SendDataV(const struct iovec* pieces, int count) override;
  int SendSgeZeroCopy(SgEntry* sges, uint32_t count, SendCompleteCallback done) override;
  int ReceiveData(void* buf, size_t len) override;
  int ReceiveData(uint32_t off, void* buf, size_t len) override;
  int ReceiveDataForward(void* buf, size_t len) override;
  int OffAvailable() override;
  int ReceiveDataZeroCopy(void** data, uint32_t* len) override;
  int DrainData(size_t len) override;
  int RemoveData(void* buf, size_t len) override;
  void ConnectionEstablished() override;
  void ForceClose() override;
  bool IsClosed() override;
  uint32_t ForwardOff(uint32_t n) override;
  Worker* worker() override;
  void set_state(int state) override;
  int state() override;
  uint32_t my_qp_num() override { return 0; }
  uint32_t peer_qp_num() override { return 0; }
  // Holding reading stops the read event; the input ring keeps what was
  // read before. Releasing it announces the buffered input on a later loop
  // pass (never inside the write that drained the output), and reads the
  // socket again once that input has been taken without holding again.
  void SetOutputHold(const OutputHold& hold) override { hold_ = hold; }
  bool ReadingHeld() const override { return read_held_; }
  // While paused the socket is not read, so its end would go unseen: a
  // timer looks every kPausedPeerCheckS for the peer having shut its side
  // down (or reset), and closes the connection then.
  void PauseInput(bool pause) override;
  static constexpr double kPausedPeerCheckS = 1.0;

  // Server side, on the acceptor loop: hands the accepted socket to the
  // connection's loop, which then establishes the connection.
  void Accept(const std::shared_ptr<ConnectedSocket>& socket);
  // Client side, on the connection's loop: starts a non-blocking connect.
  // 0 when started (the established or closed callback follows), -1 when it
  // failed at once (the connection is then closed).
  int Connect();

  EventWorker* event_worker() const { return worker_; }
  EventLoop* loop() const { return loop_; }

  // Any thread, once the connection's loop has ended and its thread is
  // gone (an outside colony stopped before its server goes): the close
  // ForceClose would have run on the loop, run here. Without it the
  // connection, which its event handler keeps, would never be freed.
  void CloseAfterLoopEnded();

 private:
  friend class EventHandler;

  void HandleReadEvent(int fd, const std::shared_ptr<Connection>& conn);
  void HandleWriteEvent(int fd, const std::shared_ptr<Connection>& conn);
  void HandleConnectEvent(int fd);
  void ForceCloseInLoop();
  // ForceCloseInLoop's work, on the loop thread or once it is gone.
  void CloseNow();
  void CheckBufferToSend();
  void EnableWriteEvent();
  void FreeEvents();
  // Copies the pieces of a send, less their first skip bytes, into the
  // output ring (len: the pieces' total).
  void AppendPieces(const struct iovec* pieces, int count, size_t skip, size_t len);
  // At the end of the loop pass: one write of what the pass queued; the
  // write event takes over whatever the socket does not take now.
  void RunPassEnd() override;
  // Output hold (see OutputHold in tarn/connection.h).
  void HoldReading();
  void OnHeldOutputWritten();
  void ReleaseReadHold();
  void ResumeReadEvent();
  // On the next pass, unless reading is stopped again by then: announces
  // what was received before the stop, then watches the socket again.
  void ReadAgainNextPass();
  void ArmHoldTimer(double seconds);
  void ArmPausedPeerCheck();
  void CheckPausedPeer();
  void CheckHeldOutput();
  // Bytes the peer's kernel has acknowledged: written to the socket and no
  // longer waiting in it.
  uint64_t AckedByPeer();

  EventWorker* worker_;
  std::unique_ptr<EventHandler> handler_;
  int connect_event_idx_ = -1;
  int read_event_idx_ = -1;
  int write_event_idx_ = -1;
  EventLoop* loop_;
  std::shared_ptr<ConnectedSocket> socket_;
  std::unique_ptr<Buffer> input_;
  std::unique_ptr<Buffer> output_;
  // Mirrors "has a handler" for readers on other threads.
  std::atomic<bool> open_{false};
  // A FlushOutput is queued for the end of the current pass.
  bool flush_queued_ = false;
  // A message went to the socket whole, past the ring: the message-write
  // callback is owed at the end of the pass.
  bool write_cb_owed_ = false;
  OutputHold hold_;
  bool read_held_ = false;
  // A protocol paused reading (PauseInput), and the timer that watches for
  // the peer leaving meanwhile.
  bool input_paused_ = false;
  TimerId paused_timer_;
  // Every byte handed to the socket so far.
  uint64_t written_ = 0;
  // While held: when the peer last took output, what its kernel had
  // acknowledged then, and the timer that checks for more.
  plinth::TimeCycle hold_progress_;
  uint64_t hold_acked_ = 0;
  TimerId hold_timer_;
};

}  // namespace tarn

#endif  // TARN_EVENT_TCP_CONNECTION_H_
