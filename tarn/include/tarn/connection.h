// The abstract connection shared by the TCP and RDMA transports.
//
// A connection lives on exactly one worker's loop and is shared by reference
// counting; the RPC layer and the RDMA handshake talk to it only through the
// virtual operations below and never name the concrete class. Every operation
// runs on the connection's loop thread, except ForceClose (any thread) and
// IsClosed (readable from any thread).
//
// Byte-stream transports (TCP) are read by peeking (ReadableLength,
// ReceiveData) and consuming (RemoveData, DrainData); the forward cursor lets
// a parser walk several frames before consuming them all at once. Message
// transports (RDMA) hand out whole messages (ReceiveDataZeroCopy) and send
// scatter-gather lists (SendSgeZeroCopy). Operations a transport does not
// support return -1 (or 0 for the queue-pair numbers).
#ifndef TARN_CONNECTION_H_
#define TARN_CONNECTION_H_

#include <sys/uio.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "tarn/sock_address.h"
#include "tarn/types.h"

namespace tarn {

class Worker;
class H2Context;
struct SgEntry;

// States of a connection, common to both transports.
enum ConnectionState : int {
  kDisconnected = 0,  // closed
  kAccepted = 1,      // server side, accepted, not yet established
  kConnecting = 2,    // client side, connect in progress
  kConnected = 3,
};

// Process-wide connection id counter: every connection any server or client
// creates takes the value before an atomic increment (the first id is 0).
extern std::atomic<int64_t> g_conn_id;

// Completion of a zero-copy send: 0 or a negative code.
using SendCompleteCallback = std::function<void(int)>;

// The HTTP/2 context is defined by the HTTP/2 layer; the connection only owns
// it, so its deleter travels with the pointer.
using H2ContextPtr = std::unique_ptr<H2Context, void (*)(H2Context*)>;

// Holding back a peer that does not take what it makes us write (byte-stream
// transports): while more than high_water bytes of output wait for the
// socket, the connection stops reading, so that the kernel's buffers and TCP
// flow control slow the peer down instead of our memory growing; it reads
// again once the output has drained to low_water. A connection held for
// stall_timeout_s during which the peer's kernel acknowledged no byte (its
// reader freed no room) is closed. high_water 0 never holds;
// stall_timeout_s 0 never closes.
struct OutputHold {
  size_t high_water = 0;
  size_t low_water = 0;
  double stall_timeout_s = 0;
};

class Connection : public std::enable_shared_from_this<Connection> {
 public:
  Connection(const std::string& name, int64_t id, const SockAddress& peer, Transport transport);
  virtual ~Connection();

  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Creates what lets the loop call back into the connection. Call once,
  // after the connection is owned by a std::shared_ptr.
  virtual int Init() = 0;

  // Bytes received and not consumed (TCP), or the current message's length.
  virtual size_t ReadableLength() = 0;
  // Bytes waiting to be written; (size_t)-1 where unsupported.
  virtual size_t ReadableLengthOutBuf() = 0;
  // Bytes written to the socket that the peer has not yet acknowledged
  // (they wait in the kernel for the peer to read); 0 where unknown.
  virtual size_t UnackedInSocket() { return 0; }
  // The receive window the peer's kernel last advertised, in bytes; 0 where
  // unknown.
  virtual size_t PeerReceiveWindow() { return 0; }

  // Queues len bytes for sending. 0 on success (also for len 0, which does
  // nothing); -2 when the connection is closed.
  virtual int SendData(const void* data, size_t len) = 0;
  // Queues the count pieces, in order, as SendData of their concatenation
  // would. A byte-stream transport may write them to the socket in one
  // gather call, sparing a copy of each; the pieces need live only for the
  // call. 0 on success; -2 when the connection is closed.
  virtual int SendDataV(const struct iovec* pieces, int count);
  // Sends count scatter-gather entries as one message; done receives 0 or a
  // negative code. -1 where unsupported.
  virtual int SendSgeZeroCopy(SgEntry* sges, uint32_t count, SendCompleteCallback done) = 0;

  // Copies len readable bytes without consuming them; -1 when fewer.
  virtual int ReceiveData(void* buf, size_t len) = 0;
  // Copies len bytes from off bytes past the read position without consuming
  // them and advances the forward cursor by len; -1 when fewer.
  virtual int ReceiveData(uint32_t off, void* buf, size_t len) = 0;
  // ReceiveData(forward_offset(), buf, len).
  virtual int ReceiveDataForward(void* buf, size_t len) = 0;
  // Readable bytes past the forward cursor; -1 when fewer than the cursor.
  virtual int OffAvailable() = 0;
  // Points at the current message (message transports only).
  virtual int ReceiveDataZeroCopy(void** data, uint32_t* len) = 0;
  // Resets the forward cursor, then consumes len bytes; -1 when fewer.
  virtual int DrainData(size_t len) = 0;
  // Copies and consumes len bytes; -1 when fewer.
  virtual int RemoveData(void* buf, size_t len) = 0;

  // The connection became usable: enter kConnected and start reading.
  virtual void ConnectionEstablished() = 0;
  // Any thread: closes the connection on its loop. Idempotent.
  virtual void ForceClose() = 0;
  // True once the connection is closed (or was never initialised).
  virtual bool IsClosed() = 0;
  // Moves the forward cursor by n when that many bytes are readable; returns
  // forward_offset() + n either way.
  virtual uint32_t ForwardOff(uint32_t n) = 0;

  virtual Worker* worker() = 0;
  virtual void set_state(int state) = 0;
  virtual int state() = 0;
  virtual uint32_t my_qp_num() = 0;
  virtual uint32_t peer_qp_num() = 0;

  // Loop thread: sets how the connection holds back reading for its output
  // (see OutputHold); it takes effect from the next send or write. Message
  // transports ignore it.
  virtual void SetOutputHold(const OutputHold&) {}
  // Loop thread: true while reading is held back. A reader going through
  // buffered input stops at the next message boundary; the held bytes are
  // announced again (message-read callback) once reading resumes.
  virtual bool ReadingHeld() const { return false; }
  // Loop thread: a protocol stops reading the socket for now (true), apart
  // from any output hold, or reads it again (false). Input already received
  // waits; once reading resumes it is announced again (message-read
  // callback, on a later loop pass) before the socket is read. Message
  // transports ignore it.
  virtual void PauseInput(bool) {}

  const std::string& name() const { return name_; }
  int64_t id() const { return id_; }
  const SockAddress& peer_addr() const { return peer_addr_; }
  const SockAddress& local_addr() const { return local_addr_; }
  void set_local_addr(const SockAddress& addr) { local_addr_ = addr; }
  Transport transport() const { return transport_; }

  // Opaque, not owned, never read by the connection.
  void* context() const { return context_; }
  void set_context(void* context) { context_ = context; }

  uint32_t max_send_sge() const { return max_send_sge_; }
  uint32_t max_send_data_size() const { return max_send_data_size_; }
  uint32_t max_send_meta_size() const { return max_send_meta_size_; }
  uint32_t max_send_size() const { return max_send_size_; }
  uint32_t max_depth() const { return max_depth_; }
  void set_max_send_sge(uint32_t n) { max_send_sge_ = n; }
  void set_max_send_data_size(uint32_t n) { max_send_data_size_ = n; }
  void set_max_send_meta_size(uint32_t n) { max_send_meta_size_ = n; }
  void set_max_send_size(uint32_t n) { max_send_size_ = n; }
  void set_max_depth(uint32_t n) { max_depth_ = n; }

  void set_connection_success_cb(const ConnectionCallback& cb) { connection_success_cb_ = cb; }
  void set_connection_closed_cb(const ConnectionCallback& cb) { connection_closed_cb_ = cb; }
  void set_message_read_cb(const ConnectionCallback& cb) { message_read_cb_ = cb; }
  void set_message_write_cb(const ConnectionCallback& cb) { message_write_cb_ = cb; }

  // The server protocol latched for this connection; -1 while none.
  int8_t proto_index() const { return proto_index_; }
  void set_proto_index(int8_t index) { proto_index_ = index; }

  H2Context* h2_context() const { return h2_context_.get(); }
  void set_h2_context(H2ContextPtr context) { h2_context_ = std::move(context); }

  uint32_t forward_offset() const { return forward_offset_; }

 protected:
  // Callers of the four callbacks: an unset callback does nothing.
  void RunConnectionSuccessCb(const std::shared_ptr<Connection>& self);
  void RunConnectionClosedCb(const std::shared_ptr<Connection>& self);
  void RunMessageReadCb(const std::shared_ptr<Connection>& self);
  void RunMessageWriteCb(const std::shared_ptr<Connection>& self);

  std::string name_;
  int64_t id_;
  SockAddress peer_addr_;
  SockAddress local_addr_;
  Transport transport_;
  void* context_ = nullptr;
  uint32_t max_send_sge_ = 64;
  uint32_t max_send_data_size_ = 1073741824;
  uint32_t max_send_meta_size_ = 8192;
  uint32_t max_send_size_ = 1073750016;
  uint32_t max_depth_ = 65535;
  // Destroyed in reverse order: write complete first, established last.
  ConnectionCallback connection_success_cb_;
  ConnectionCallback connection_closed_cb_;
  ConnectionCallback message_read_cb_;
  ConnectionCallback message_write_cb_;
  int8_t proto_index_ = -1;
  H2ContextPtr h2_context_{nullptr, nullptr};
  uint32_t forward_offset_ = 0;
};

}  // namespace tarn

#endif  // TARN_CONNECTION_H_
