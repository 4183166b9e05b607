// The operating system's sockets as the TCP transport sees them: a listening
// socket and a connected socket that also carries the connection's state.
//
// Both own their descriptor: it is closed when the record is destroyed (the
// connected socket is always held through std::shared_ptr, so that is when
// its last owner, normally the connection, lets go).
#ifndef TARN_EVENT_TCP_SOCKET_H_
#define TARN_EVENT_TCP_SOCKET_H_

#include <memory>

#include "tarn/connection.h"
#include "tarn/sock_address.h"

namespace tarn {

class ConnectedSocket {
 public:
  ConnectedSocket(int fd, const SockAddress& peer, int state)
      : fd_(fd), peer_(peer), state_(state) {}
  ~ConnectedSocket() { Close(); }

  ConnectedSocket(const ConnectedSocket&) = delete;
  ConnectedSocket& operator=(const ConnectedSocket&) = delete;

  // Closes the descriptor (once).
  void Close();
  // Shuts both directions down, so the peer sees the end of the stream while
  // the descriptor stays reserved for the owner.
  void Shutdown();

  int fd() const { return fd_; }
  const SockAddress& peer() const { return peer_; }
  int state() const { return state_; }
  void set_state(int state) { state_ = state; }

 private:
  int fd_;
  SockAddress peer_;
  int state_;
};

class ServerSocket {
 public:
  explicit ServerSocket(int fd) : fd_(fd) {}
  ~ServerSocket() { StopAccept(); }

  ServerSocket(const ServerSocket&) = delete;
  ServerSocket& operator=(const ServerSocket&) = delete;

  // Accepts one pending connection: a non-blocking socket in kAccepted (with
  // TCP no-delay and keepalive unless it is a local socket). 0 on success,
  // minus errno when accept fails, -1 when the new socket cannot be set up.
  int Accept(std::shared_ptr<ConnectedSocket>* out, SockAddress* peer);
  // Closes the listening descriptor; returns close's result (0 when none).
  int StopAccept();

  int fd() const { return fd_; }

 private:
  int fd_;
};

}  // namespace tarn

#endif  // TARN_EVENT_TCP_SOCKET_H_
