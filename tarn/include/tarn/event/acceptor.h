// The acceptor of one TCP server: listens on the server's address from the
// server's acceptor event worker, accepts every pending connection when the
// listening socket becomes readable, refuses blacklisted client addresses,
// picks the event worker that will own each new connection and hands it to
// the server.
//
// Bind, Start and Stop may be called from any thread: they run on the
// acceptor loop and wait for it. Accepting runs on the acceptor loop only.
#ifndef TARN_EVENT_ACCEPTOR_H_
#define TARN_EVENT_ACCEPTOR_H_

#include <memory>

#include "tarn/event/tcp_socket.h"
#include "tarn/timer_queue.h"

namespace tarn {

class EventLoop;
class EventWorker;
class TcpServer;

class Processor {
 public:
  // How long accepting pauses when the process runs out of descriptors.
  static constexpr double kFdExhaustedPauseSeconds = 0.1;

  Processor(TcpServer* server, EventWorker* worker);
  ~Processor();

  Processor(const Processor&) = delete;
  Processor& operator=(const Processor&) = delete;

  // Opens the listening socket; 0 on success, else the failing call's result.
  int Bind(const SockAddress& addr);
  // The address actually bound (its port when Bind was given port 0).
  const SockAddress& bound_addr() const { return bound_addr_; }
  // Starts accepting; 0, or -1 when the accept event cannot be created.
  int Start();
  // Stops accepting and closes the listening socket.
  void Stop();

  static void AcceptEventCbWrapper(int fd, short what, void* processor);
  void Accept();

 private:
  // Picks the worker for a new connection; null only when none can take it.
  EventWorker* ChooseWorker();
  // Descriptors ran out: stop accepting for a moment instead of spinning.
  void PauseAccepting();
  void ResumeAccepting();

  TcpServer* server_;
  EventWorker* worker_;
  std::shared_ptr<ServerSocket> socket_;
  SockAddress bound_addr_;
  int accept_event_idx_ = -1;
  EventLoop* loop_;
  bool paused_ = false;
  TimerId resume_timer_;
};

}  // namespace tarn

#endif  // TARN_EVENT_ACCEPTOR_H_
