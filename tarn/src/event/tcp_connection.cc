#include "tarn/event/tcp_connection.h"

#include <errno.h>
#include <event2/event.h>
#include <limits.h>
#include <linux/sockios.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>

#include "tarn/base/logging.h"
#include "tarn/event/buffer.h"
#include "tarn/event/event_loop.h"
#include "tarn/event/event_worker.h"
#include "event/tcp_window.h"
#include "tarn/utils.h"

namespace tarn {

namespace {

bool IsTransient(int err) { return err == EAGAIN || err == EWOULDBLOCK || err == EINTR; }

// Messages of this size and above skip the ring when nothing is queued.
constexpr size_t kDirectSendBytes = 64 * 1024;

// How often a held connection looks for bytes its peer acknowledged: often
// enough that a stall is judged within a small part of its timeout.
double HoldCheckInterval(double stall_timeout_s) { return std::min(1.0, stall_timeout_s / 8); }

}  // namespace

EventHandler::EventHandler(const std::shared_ptr<TcpConnection>& conn)
    : conn_(conn) {}

// Each wrapper copies the reference out of the handler first: the handler is
// deleted when a callback closes the connection, and the copy keeps the
// connection alive until the handler returns.
void EventHandler::ReadEventCbWrapper(int fd, short what, void* arg) {
  auto* handler = static_cast<EventHandler*>(arg);
  std::shared_ptr<Connection> conn = handler->conn_;
  auto* tcp = static_cast<TcpConnection*>(conn.get());
  CycleScope cycles(tcp->worker_);
  if (what & EV_READ) tcp->HandleReadEvent(fd, conn);
}

void EventHandler::WriteEventCbWrapper(int fd, short what, void* arg) {
  auto* handler = static_cast<EventHandler*>(arg);
  std::shared_ptr<Connection> conn = handler->conn_;
  auto* tcp = static_cast<TcpConnection*>(conn.get());
  CycleScope cycles(tcp->worker_);
  if (what & EV_WRITE) tcp->HandleWriteEvent(fd, conn);
}

void EventHandler::ConnectEventCbWrapper(int fd, short what, void* arg) {
  auto* handler = static_cast<EventHandler*>(arg);
  std::shared_ptr<Connection> conn = handler->conn_;
  auto* tcp = static_cast<TcpConnection*>(conn.get());
  CycleScope cycles(tcp->worker_);
  if (what & EV_WRITE) {
    LOG_DEBUG << "connect event";
    tcp->HandleConnectEvent(fd);
  }
}

TcpConnection::TcpConnection(EventWorker* worker, const std::string& name, int64_t id,
                             const SockAddress& peer)
    : Connection(name, id, peer, kTcp),
      worker_(worker),
      loop_(static_cast<EventLoop*>(worker->loop())),
      input_(new Buffer(kInitialBufferSize)),
      output_(new Buffer(kInitialBufferSize)) {}

// An open connection references itself through its handler, so by now the
// close has run on the loop and freed the events; only the socket is left.
TcpConnection::~TcpConnection() {
  if (connect_event_idx_ != -1 || read_event_idx_ != -1 || write_event_idx_ != -1) {
    LOG_ERROR << "connection destroyed with live events, conn_name: " << name_;
  }
}

int TcpConnection::Init() {
  if (handler_) {
    LOG_ERROR << "connection has been inited, conn_name: " << name_;
    return -1;
  }
  auto self = std::static_pointer_cast<TcpConnection>(shared_from_this());
  handler_.reset(new EventHandler(self));
  open_.store(true, std::memory_order_release);
  return 0;
}

size_t TcpConnection::ReadableLength() { return input_->ReadableBytes(); }

size_t TcpConnection::ReadableLengthOutBuf() { return output_->ReadableBytes(); }

size_t TcpConnection::UnackedInSocket() {
  int queued = 0;
  if (!socket_ || ::ioctl(socket_->fd(), SIOCOUTQ, &queued) != 0 || queued < 0) return 0;
  return static_cast<size_t>(queued);
}

size_t TcpConnection::PeerReceiveWindow() {
  return socket_ ? PeerAdvertisedWindow(socket_->fd()) : 0;
}

int TcpConnection::SendData(const void* data, size_t len) {
  struct iovec piece;
  piece.iov_base = const_cast<void*>(data);
  piece.iov_len = len;
  return SendDataV(&piece, 1);
}

int TcpConnection::SendDataV(const struct iovec* pieces, int count) {
  if (!handler_) {
    LOG_WARN << "disconnected, give up writing";
    return -2;
  }
  size_t len = 0;
  for (int i = 0; i < count; ++i) len += pieces[i].iov_len;
  if (len == 0) return 0;
  // Before establishment (connecting, or accepted and not yet on its loop)
  // the bytes wait in the ring; establishment sends them.
  if (state() != kConnected) {
    AppendPieces(pieces, count, 0, len);
    return 0;
  }
  // A large message with nothing queued before it goes to the socket at once,
  // sparing the copy into the ring; whatever does not fit goes through it.
  size_t sent = 0;
  if (len >= kDirectSendBytes && output_->ReadableBytes() == 0) {
    struct msghdr msg = {};
    msg.msg_iov = const_cast<struct iovec*>(pieces);
    msg.msg_iovlen = static_cast<size_t>(std::min(count, IOV_MAX));
    const ssize_t n = ::sendmsg(socket_->fd(), &msg, MSG_NOSIGNAL);
    if (n > 0) {
      written_ += static_cast<uint64_t>(n);
      sent = static_cast<size_t>(n);
    }
  }
  if (sent == len) {
    // Whoever waits for the output to drain hears of it as if it had gone
    // through the ring: at the end of the pass, never inside this call.
    if (!message_write_cb_) return 0;
    write_cb_owed_ = true;
  } else {
    AppendPieces(pieces, count, sent, len);
    if (hold_.high_water > 0 && !read_held_ && output_->ReadableBytes() > hold_.high_water) {
      HoldReading();
    }
  }
  // While the write event is on, it drains the ring. Otherwise the ring is
  // written once at the end of this loop pass, so that all the messages of a
  // pass (the answers to every request of one read, the calls of a batch of
  // tasks) leave in one system call.
  LibeventDriver* driver = loop_->driver();
  if (write_event_idx_ >= 0 && driver->EventIsEnable(write_event_idx_)) return 0;
  if (!flush_queued_) {
    flush_queued_ = true;
    // Shares the connection's ownership; no allocation.
    loop_->RunAtPassEnd(
        std::shared_ptr<PassEndWork>(shared_from_this(), static_cast<PassEndWork*>(this)));
  }
  return 0;
}

void TcpConnection::RunPassEnd() {
  flush_queued_ = false;
  if (!handler_ || state() != kConnected) return;
  if (output_->ReadableBytes() == 0) {
    if (write_cb_owed_) {
      write_cb_owed_ = false;
      RunMessageWriteCb(shared_from_this());
    }
    return;
  }
  LibeventDriver* driver = loop_->driver();
  if (write_event_idx_ >= 0 && driver->EventIsEnable(write_event_idx_)) return;
  ssize_t n = output_->WriteFd(socket_->fd());
  if (n > 0) written_ += static_cast<uint64_t>(n);
  if (n < 0) {
    int err = errno;
    if (!IsTransient(err)) {
      LOG_SYSERR << "flush output error, conn_name: " << name_;
      ForceCloseInLoop();
      return;
    }
  }
  if (n > 0 && read_held_) OnHeldOutputWritten();
  if (output_->ReadableBytes() > 0) {
    EnableWriteEvent();
    return;
  }
  if (n > 0 || write_cb_owed_) {
    write_cb_owed_ = false;
    RunMessageWriteCb(shared_from_this());
  }
}

void TcpConnection::AppendPieces(const struct iovec* pieces, int count, size_t skip,
                                 size_t len) {
  output_->Reserve(len - skip);
  for (int i = 0; i < count; ++i) {
    const size_t n = pieces[i].iov_len;
    if (skip >= n) {
      skip -= n;
      continue;
    }
    output_->Append(static_cast<const char*>(pieces[i].iov_base) + skip, n - skip);
    skip = 0;
  }
}

int TcpConnection::SendSgeZeroCopy(SgEntry*, uint32_t, SendCompleteCallback) { return -1; }

int TcpConnection::ReceiveData(void* buf, size_t len) { return input_->Receive(buf, len); }

int TcpConnection::ReceiveData(uint32_t off, void* buf, size_t len) {
  int ret = input_->Receive(off, buf, len);
  if (ret >= 0) forward_offset_ += static_cast<uint32_t>(len);
  return ret;
}

int TcpConnection::ReceiveDataForward(void* buf, size_t len) {
  return ReceiveData(forward_offset_, buf, len);
}

int TcpConnection::OffAvailable() {
  return static_cast<int>(input_->OffAvailable(forward_offset_));
}

int TcpConnection::ReceiveDataZeroCopy(void**, uint32_t*) { return -1; }

int TcpConnection::DrainData(size_t len) {
  forward_offset_ = 0;
  return input_->Retrieve(len);
}

int TcpConnection::RemoveData(void* buf, size_t len) { return input_->Remove(buf, len); }

uint32_t TcpConnection::ForwardOff(uint32_t n) {
  uint32_t target = forward_offset_ + n;
  if (input_->ReadableBytes() >= target) forward_offset_ = target;
  return target;
}

bool TcpConnection::IsClosed() { return !open_.load(std::memory_order_acquire); }

Worker* TcpConnection::worker() { return worker_; }

void TcpConnection::set_state(int state) {
  if (socket_) socket_->set_state(state);
}

int TcpConnection::state() { return socket_ ? socket_->state() : kDisconnected; }

void TcpConnection::Accept(const std::shared_ptr<ConnectedSocket>& socket) {
  auto self = std::static_pointer_cast<TcpConnection>(shared_from_this());
  int ret = loop_->RunInLoop(
      [self, socket] {
        self->socket_ = socket;
        if (!self->handler_) {
          // Closed before it reached its loop: let the peer know at once.
          socket->Shutdown();
          socket->set_state(kDisconnected);
          return;
        }
        self->ConnectionEstablished();
      },
      true);
  if (ret != 0) {
    // The worker's loop has ended and will never establish it: no event
    // exists yet, so the connection is simply given up here.
    LOG_ERROR << "worker loop refused new connection, conn_name: " << name_;
    socket->Shutdown();
    handler_.reset();
    open_.store(false, std::memory_order_release);
  }
}

int TcpConnection::Connect() {
  loop_->AssertInLoopThread();
  if (!handler_) {
    LOG_ERROR << "connect on a closed or uninitialised connection, conn_name: " << name_;
    return -1;
  }
  if (worker_->Connect(peer_addr_, &socket_) != 0) {
    LOG_SYSERR << "connect error";
    ForceCloseInLoop();
    return -1;
  }
  connect_event_idx_ = loop_->driver()->CreateEvent(
      socket_->fd(), EV_WRITE, EventHandler::ConnectEventCbWrapper, handler_.get());
  if (connect_event_idx_ < 0) {
    LOG_ERROR << "create connect event failed, conn_name: " << name_
              << ", peer addr: " << peer_addr_.ToString();
    ForceCloseInLoop();
    return -1;
  }
  loop_->driver()->AddEvent(connect_event_idx_);
  LOG_DEBUG << "cs fd: " << socket_->fd() << " connect_event_idx: " << connect_event_idx_;
  return 0;
}

void TcpConnection::ForceClose() {
  std::shared_ptr<Connection> self = weak_from_this().lock();
  if (!self) return;  // not owned by a shared_ptr: never initialised
  auto tcp = std::static_pointer_cast<TcpConnection>(self);
  loop_->RunInLoop([tcp] { tcp->ForceCloseInLoop(); }, true);
}

void TcpConnection::ConnectionEstablished() {
  loop_->AssertInLoopThread();
  if (!handler_) return;
  set_state(kConnected);
  int fd = socket_->fd();
  LOG_INFO << "tcp connection establish, fd: " << fd << ", peer addr: " << peer_addr_.ToString();
  LibeventDriver* driver = loop_->driver();
  read_event_idx_ =
      driver->CreateEvent(fd, EV_READ, EventHandler::ReadEventCbWrapper, handler_.get());
  if (read_event_idx_ >= 0) {
    driver->AddEvent(read_event_idx_);
    write_event_idx_ =
        driver->CreateEvent(fd, EV_WRITE, EventHandler::WriteEventCbWrapper, handler_.get());
  }
  if (read_event_idx_ < 0 || write_event_idx_ < 0) {
    LOG_ERROR << "create event failed, conn_name: " << name_
              << ", peer addr: " << peer_addr_.ToString();
    ForceCloseInLoop();
    return;
  }
  std::shared_ptr<Connection> self = shared_from_this();
  RunConnectionSuccessCb(self);
  if (handler_) CheckBufferToSend();
}

void TcpConnection::CheckBufferToSend() {
  if (state() != kConnected) {
    LOG_ERROR << "check buffer to send, buf connection is not kConnected, impossible";
    return;
  }
  if (output_->ReadableBytes() > 0) EnableWriteEvent();
}

void TcpConnection::EnableWriteEvent() {
  LibeventDriver* driver = loop_->driver();
  if (write_event_idx_ >= 0 && !driver->EventIsEnable(write_event_idx_)) {
    driver->AddEvent(write_event_idx_);
    LOG_TRACE << "add event, idx: " << write_event_idx_;
  }
}

void TcpConnection::HandleConnectEvent(int fd) {
  loop_->AssertInLoopThread();
  if (state() != kConnecting) {
    LOG_FATAL << "impossible";
    return;
  }
  int err = GetSocketError(fd);
  if (err != 0) {
    errno = err;
    LOG_SYSERR << "connect error, peer addr: " << peer_addr_.ToString();
    ForceCloseInLoop();
    return;
  }
  loop_->driver()->FreeEvent(connect_event_idx_);
  connect_event_idx_ = -1;
  if (SetTcpNoDelay(fd, true) < 0) {
    LOG_WARN << "set tcp nodelay error, may be unix socket";
  }
  if (SetKeepAlive(fd, true) < 0) {
    LOG_WARN << "set tcp keepalive error, may be unix socket";
  }
  struct sockaddr_storage raw;
  socklen_t len = sizeof(raw);
  int ret = ::getsockname(fd, reinterpret_cast<struct sockaddr*>(&raw), &len);
  if (ret < 0) {
    LOG_SYSERR << "getsockname error, ret: " << ret;
  } else {
    local_addr_ = SockAddress(reinterpret_cast<struct sockaddr*>(&raw), len);
    // Connecting to a free local port can end up connected to itself (both
    // ends on the same ephemeral port); that is a failed connect.
    if (local_addr_.family() == peer_addr_.family() && local_addr_.ToString() == peer_addr_.ToString() &&
        !local_addr_.ToString().empty() && local_addr_.family() != AF_UNIX) {
      LOG_ERROR << "connect error, self connect, peer addr: " << peer_addr_.ToString();
      ForceCloseInLoop();
      return;
    }
  }
  ConnectionEstablished();
}

void TcpConnection::HandleReadEvent(int fd, const std::shared_ptr<Connection>& conn) {
  loop_->AssertInLoopThread();
  int saved_errno = 0;
  ssize_t n = input_->ReadFd(fd, &saved_errno);
  if (n > 0) {
    RunMessageReadCb(conn);
    // A well-formed stream never holds more than one largest message after
    // the reader has taken what it could; anything beyond is a peer that
    // would make us buffer without bound. A held reader has left complete
    // messages for later, and reads nothing more until it takes them.
    if (handler_ && !read_held_ && input_->ReadableBytes() > max_send_size_) {
      LOG_ERROR << "input buffer over limit, conn_name: " << name_
                << ", readable: " << input_->ReadableBytes() << ", limit: " << max_send_size_
                << ", peer addr: " << peer_addr_.ToString();
      ForceCloseInLoop();
    }
  } else if (n == 0) {
    ForceCloseInLoop();
  } else if (!IsTransient(saved_errno)) {
    LOG_WARN << "handle read error, errno: " << saved_errno;
    LOG_WARN << "connetion name: " << name_ << ", handle read error: " << GetSocketError(fd);
    ForceCloseInLoop();
  }
}

void TcpConnection::HandleWriteEvent(int fd, const std::shared_ptr<Connection>& conn) {
  loop_->AssertInLoopThread();
  LibeventDriver* driver = loop_->driver();
  if (write_event_idx_ < 0 || !driver->EventIsEnable(write_event_idx_)) {
    LOG_ERROR << "no more data, should not here";
    return;
  }
  ssize_t n = output_->WriteFd(fd);
  if (n > 0) written_ += static_cast<uint64_t>(n);
  if (n < 0) {
    int err = errno;
    if (IsTransient(err)) return;
    LOG_SYSERR << "handle write event error: " << n;
    ForceCloseInLoop();
    return;
  }
  if (n > 0) {
    LOG_TRACE << "do write n: " << n;
    if (read_held_) OnHeldOutputWritten();
  }
  if (output_->ReadableBytes() > 0) return;  // the persistent event fires again
  LOG_TRACE << "send buffer complete, del event idx: " << write_event_idx_;
  driver->DelEvent(write_event_idx_);
  if (n > 0 || write_cb_owed_) {
    write_cb_owed_ = false;
    RunMessageWriteCb(conn);
  }
}

void TcpConnection::FreeEvents() {
  LibeventDriver* driver = loop_->driver();
  for (int* idx : {&connect_event_idx_, &read_event_idx_, &write_event_idx_}) {
    if (*idx != -1) {
      driver->FreeEvent(*idx);
      *idx = -1;
    }
  }
}

void TcpConnection::ForceCloseInLoop() {
  loop_->AssertInLoopThread();
  CloseNow();
}

void TcpConnection::CloseAfterLoopEnded() { CloseNow(); }

void TcpConnection::CloseNow() {
  if (!handler_) {
    LOG_DEBUG << "the connection has been closed, conn_name: " << name_;
    return;
  }
  LOG_INFO << "close connection, conn_name: " << name_
           << ", peer addr: " << peer_addr_.ToString();
  // The handler holds references to this connection; keep one across the
  // rest of the close.
  std::shared_ptr<Connection> self = shared_from_this();
  // Messages sent earlier in this pass are still waiting for the pass end:
  // give them the one write they would have had before the peer sees FIN.
  if (state() == kConnected && output_->ReadableBytes() > 0) output_->WriteFd(socket_->fd());
  FreeEvents();
  if (hold_timer_.valid()) {
    loop_->CancelTimer(hold_timer_);
    hold_timer_ = TimerId();
  }
  if (paused_timer_.valid()) {
    loop_->CancelTimer(paused_timer_);
    paused_timer_ = TimerId();
  }
  // Tell the peer now: the descriptor stays ours until destruction, but a
  // peer must not wait for a stream nobody will write or read any more.
  if (socket_) socket_->Shutdown();
  handler_.reset();
  open_.store(false, std::memory_order_release);
  set_state(kDisconnected);
  RunConnectionClosedCb(self);
}

void TcpConnection::HoldReading() {
  read_held_ = true;
  hold_progress_ = plinth::TimeCycle::now();
  hold_acked_ = AckedByPeer();
  if (read_event_idx_ >= 0) loop_->driver()->DelEvent(read_event_idx_);
  LOG_DEBUG << "output over high water, hold reading, conn_name: " << name_
            << ", unsent: " << output_->ReadableBytes();
  if (hold_.stall_timeout_s > 0) ArmHoldTimer(HoldCheckInterval(hold_.stall_timeout_s));
}

uint64_t TcpConnection::AckedByPeer() {
  const uint64_t unacked = UnackedInSocket();
  return written_ > unacked ? written_ - unacked : 0;
}

void TcpConnection::OnHeldOutputWritten() {
  hold_progress_ = plinth::TimeCycle::now();
  hold_acked_ = AckedByPeer();
  if (output_->ReadableBytes() <= hold_.low_water) ReleaseReadHold();
}

void TcpConnection::ReleaseReadHold() {
  read_held_ = false;
  if (hold_timer_.valid()) {
    loop_->CancelTimer(hold_timer_);
    hold_timer_ = TimerId();
  }
  LOG_DEBUG << "output drained, read again, conn_name: " << name_;
  if (input_->ReadableBytes() == 0) {
    ResumeReadEvent();
    return;
  }
  // Messages read before the hold come first, and no new byte may come to
  // announce them (the peer can be waiting for their answers). The socket
  // is read again only once they have been taken without holding again, so
  // a peer that sends faster than it reads cannot grow the input ring.
  // Announced on the next pass: the writer that released the hold is still
  // running.
  ReadAgainNextPass();
}

void TcpConnection::ReadAgainNextPass() {
  std::weak_ptr<Connection> weak = weak_from_this();
  loop_->RunNextLoop([weak] {
    std::shared_ptr<Connection> self = weak.lock();
    if (!self) return;
    auto* tcp = static_cast<TcpConnection*>(self.get());
    // Whichever stop (output hold, paused input) ends last reads again.
    if (!tcp->handler_ || tcp->read_held_ || tcp->input_paused_) return;
    if (tcp->input_->ReadableBytes() > 0) tcp->RunMessageReadCb(self);
    if (tcp->handler_ && !tcp->read_held_) tcp->ResumeReadEvent();
  });
}

void TcpConnection::PauseInput(bool pause) {
  loop_->AssertInLoopThread();
  if (input_paused_ == pause) return;
  input_paused_ = pause;
  if (!handler_) return;
  if (pause) {
    if (read_event_idx_ >= 0) loop_->driver()->DelEvent(read_event_idx_);
    ArmPausedPeerCheck();
    return;
  }
  if (paused_timer_.valid()) {
    loop_->CancelTimer(paused_timer_);
    paused_timer_ = TimerId();
  }
  if (read_held_) return;  // releasing the output hold reads again
  // As when an output hold is released: what was received first is
  // announced on the next pass (the caller is still running), and the
  // socket is read again once it has been taken without pausing again.
  ReadAgainNextPass();
}

void TcpConnection::ArmPausedPeerCheck() {
  std::weak_ptr<Connection> weak = weak_from_this();
  paused_timer_ = loop_->RunAfter(kPausedPeerCheckS, [weak] {
    if (std::shared_ptr<Connection> self = weak.lock()) {
      static_cast<TcpConnection*>(self.get())->CheckPausedPeer();
    }
  });
}

void TcpConnection::CheckPausedPeer() {
  paused_timer_ = TimerId();
  if (!handler_ || !input_paused_ || !socket_) return;
  // The peer's FIN or reset shows whatever input waits unread before it.
  pollfd p{socket_->fd(), POLLRDHUP, 0};
  if (::poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0) {
    LOG_INFO << "peer left while reading was paused, conn_name: " << name_
             << ", peer addr: " << peer_addr_.ToString();
    ForceCloseInLoop();
    return;
  }
  ArmPausedPeerCheck();
}

void TcpConnection::ResumeReadEvent() {
  if (input_paused_) return;
  LibeventDriver* driver = loop_->driver();
  if (read_event_idx_ >= 0 && !driver->EventIsEnable(read_event_idx_)) {
    driver->AddEvent(read_event_idx_);
  }
}

void TcpConnection::ArmHoldTimer(double seconds) {
  std::weak_ptr<Connection> weak = weak_from_this();
  hold_timer_ = loop_->RunAfter(seconds, [weak] {
    if (std::shared_ptr<Connection> self = weak.lock()) {
      static_cast<TcpConnection*>(self.get())->CheckHeldOutput();
    }
  });
}

// A held peer makes progress when its kernel acknowledges bytes, that is
// when its reader has freed room in its receive buffer. The kernel says
// the socket is writable only once a third of the send buffer has drained,
// which a slow but steady reader can take minutes to do; its
// acknowledgements come far more often (one each time the reader frees a
// sizeable piece of its buffer), so they are what the stall is judged by.
void TcpConnection::CheckHeldOutput() {
  hold_timer_ = TimerId();
  if (!handler_ || !read_held_ || hold_.stall_timeout_s <= 0) return;
  const plinth::TimeCycle now = plinth::TimeCycle::now();
  const uint64_t acked = AckedByPeer();
  if (acked != hold_acked_) {
    hold_acked_ = acked;
    hold_progress_ = now;
  }
  const uint64_t idle_cycles = now.cycles() - hold_progress_.cycles();
  const double idle = static_cast<double>(idle_cycles) /
                      static_cast<double>(plinth::TimeCycle::tsc_rate_);
  // The timer may fire a hair early; a millisecond short counts as due.
  const double left = hold_.stall_timeout_s - idle;
  if (left > 0.001) {
    ArmHoldTimer(std::min(left, HoldCheckInterval(hold_.stall_timeout_s)));
    return;
  }
  LOG_WARN << "peer takes no output, close connection, conn_name: " << name_
           << ", unsent: " << output_->ReadableBytes()
           << ", unacknowledged: " << UnackedInSocket() << ", no progress for: " << idle
           << "s, peer addr: " << peer_addr_.ToString();
  ForceCloseInLoop();
}

}  // namespace tarn
