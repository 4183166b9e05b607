#include "tarn/event/acceptor.h"

#include <errno.h>
#include <event2/event.h>
#include <sys/socket.h>

#include "tarn/base/logging.h"
#include "tarn/event/event_loop.h"
#include "tarn/event/event_worker.h"
#include "tarn/event/tcp_server.h"
#include "tarn/worker_colony.h"

namespace tarn {

Processor::Processor(TcpServer* server, EventWorker* worker)
    : server_(server), worker_(worker), loop_(static_cast<EventLoop*>(worker->loop())) {}

Processor::~Processor() = default;

int Processor::Bind(const SockAddress& addr) {
  int ret = -1;
  int err = 0;
  loop_->RunInLoop(
      [this, &addr, &ret, &err] {
        ret = worker_->Listen(addr, &socket_);
        err = errno;
        LOG_INFO << "do listen, ret: " << ret;
        if (ret == 0) {
          struct sockaddr_storage raw;
          socklen_t len = sizeof(raw);
          if (::getsockname(socket_->fd(), reinterpret_cast<struct sockaddr*>(&raw), &len) == 0) {
            bound_addr_ = SockAddress(reinterpret_cast<struct sockaddr*>(&raw), len);
          } else {
            bound_addr_ = addr;
          }
        }
      },
      false);
  // The listen ran on the acceptor's thread; errno is per thread, so the
  // caller gets the reason of a failure here.
  if (ret != 0) errno = err;
  return ret;
}

int Processor::Start() {
  if (!socket_) return 0;
  LOG_INFO << "start listen";
  int ret = 0;
  loop_->RunInLoop(
      [this, &ret] {
        accept_event_idx_ = loop_->driver()->CreateEvent(socket_->fd(), EV_READ,
                                                         AcceptEventCbWrapper, this);
        if (accept_event_idx_ < 0) {
          LOG_ERROR << "create accept event failed, listen_fd: " << socket_->fd();
          ret = -1;
          return;
        }
        loop_->driver()->AddEvent(accept_event_idx_);
      },
      false);
  return ret;
}

void Processor::Stop() {
  if (!socket_) return;
  loop_->RunInLoop(
      [this] {
        if (paused_) {
          loop_->CancelTimer(resume_timer_);
          paused_ = false;
        }
        if (accept_event_idx_ != -1) {
          loop_->driver()->DelEvent(accept_event_idx_);
          loop_->driver()->FreeEvent(accept_event_idx_);
          accept_event_idx_ = -1;
        }
        socket_->StopAccept();
      },
      false);
}

void Processor::AcceptEventCbWrapper(int, short, void* processor) {
  static_cast<Processor*>(processor)->Accept();
}

EventWorker* Processor::ChooseWorker() {
  WorkerColony* colony = server_->worker_colony();
  if (colony == nullptr) return worker_;
  Worker* chosen = colony->GetWorker();
  if (chosen == nullptr) {
    // The policy found nobody (first idle with every worker busy, or an
    // unknown policy): fall back to the least loaded worker.
    for (Worker* w : colony->GetAllWorkers()) {
      if (chosen == nullptr || w->load() < chosen->load()) chosen = w;
    }
  }
  if (chosen == nullptr) return nullptr;
  auto* event_worker = dynamic_cast<EventWorker*>(chosen);
  if (event_worker == nullptr) {
    LOG_ERROR << "worker of server " << server_->name() << " is not an event worker";
  }
  return event_worker;
}

void Processor::Accept() {
  loop_->AssertInLoopThread();
  for (;;) {
    std::shared_ptr<ConnectedSocket> conn_socket;
    SockAddress peer;
    int ret = socket_->Accept(&conn_socket, &peer);
    if (ret == 0) {
      std::string ip = peer.ToIpString();
      LOG_INFO << "accept new connection from ip: " << ip;
      if (!server_->VerifySrcIp(ip)) {
        conn_socket->Close();
        LOG_ERROR << ip << " is in blacklist, refuse!";
        continue;
      }
      EventWorker* worker = ChooseWorker();
      if (worker == nullptr) {
        conn_socket->Close();
        LOG_ERROR << "no worker for new connection from ip: " << ip << ", refuse!";
        continue;
      }
      worker->IncreaseLoad();
      server_->CreateConnection(worker, conn_socket, peer);
    } else if (ret == -EINTR) {
      continue;
    } else if (ret == -EAGAIN || ret == -EWOULDBLOCK) {
      return;
    } else if (ret == -EMFILE || ret == -ENFILE) {
      errno = -ret;
      LOG_SYSERR << "open file descriptions limit reached listen_fd: " << socket_->fd();
      PauseAccepting();
      return;
    } else if (ret == -ECONNABORTED) {
      errno = -ret;
      LOG_SYSERR << "it was closed because of rst arrived listen_fd: " << socket_->fd();
    } else if (ret == -1) {
      continue;  // the accepted socket could not be set up and is closed
    } else {
      LOG_ERROR << "ret: " << ret << ", other error";
      return;
    }
  }
}

// The listening socket stays readable while connections wait, so with no
// descriptor left the persistent event would fire again at once, forever.
// Accepting pauses instead; waiting clients stay in the backlog meanwhile.
void Processor::PauseAccepting() {
  if (paused_ || accept_event_idx_ == -1) return;
  paused_ = true;
  loop_->driver()->DelEvent(accept_event_idx_);
  resume_timer_ = loop_->RunAfter(kFdExhaustedPauseSeconds, [this] { ResumeAccepting(); });
}

void Processor::ResumeAccepting() {
  if (!paused_) return;
  paused_ = false;
  if (accept_event_idx_ != -1) loop_->driver()->AddEvent(accept_event_idx_);
}

}  // namespace tarn
