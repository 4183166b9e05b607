#include "tarn/event/tcp_socket.h"

#include <errno.h>
#include <sys/socket.h>
#include <unistd.h>

#include "tarn/base/logging.h"
#include "tarn/event/event_worker.h"
#include "tarn/utils.h"

namespace tarn {

void ConnectedSocket::Close() {
  if (fd_ != -1) {
    ::close(fd_);
    fd_ = -1;
  }
}

void ConnectedSocket::Shutdown() {
  if (fd_ != -1) {
    ::shutdown(fd_, SHUT_RDWR);
  }
}

int ServerSocket::Accept(std::shared_ptr<ConnectedSocket>* out, SockAddress* peer) {
  struct sockaddr_storage raw;
  socklen_t len = sizeof(raw);
  int fd = ::accept4(fd_, reinterpret_cast<struct sockaddr*>(&raw), &len, SOCK_CLOEXEC);
  if (fd < 0) {
    return -errno;
  }
  *peer = SockAddress(reinterpret_cast<struct sockaddr*>(&raw), len);
  bool ok = SetNonBlocking(fd) == 0;
  if (ok && raw.ss_family != AF_UNIX) {
    ok = SetTcpNoDelay(fd, true) == 0 && SetKeepAlive(fd, true) == 0;
  }
  if (!ok) {
    ::close(fd);
    return -1;
  }
  *out = std::make_shared<ConnectedSocket>(fd, *peer, kAccepted);
  return 0;
}

int ServerSocket::StopAccept() {
  if (fd_ == -1) return 0;
  int ret = ::close(fd_);
  fd_ = -1;
  return ret;
}

// The event worker's socket operations live with the socket records they
// build.

int EventWorker::Listen(const SockAddress& addr, std::shared_ptr<ServerSocket>* out) {
  loop()->AssertInLoopThread();
  LOG_INFO << "begin listen";
  int fd = ::socket(addr.family(), SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    LOG_SYSERR << "create socket error";
    return -1;
  }
  if (SetReuseAddr(fd, true) < 0) {
    LOG_SYSERR << "reuse addr error";
    ::close(fd);
    return -1;
  }
  if (SetNonBlocking(fd) < 0) {
    LOG_SYSERR << "set nonblock error";
    ::close(fd);
    return -1;
  }
  LOG_INFO << "fd: " << fd << ", addr: " << addr.ToString();
  int ret = ::bind(fd, addr.GetSockAddr(), addr.GetSockAddrLen());
  if (ret < 0) {
    int saved = errno;
    LOG_SYSERR << "bind socket error";
    ::close(fd);
    errno = saved;  // the caller reports why as well
    return ret;
  }
  ret = ::listen(fd, 2048);
  if (ret < 0) {
    int saved = errno;
    LOG_SYSERR << "listen error";
    ::close(fd);
    errno = saved;
    return ret;
  }
  *out = std::make_shared<ServerSocket>(fd);
  return 0;
}

int EventWorker::Connect(const SockAddress& peer, std::shared_ptr<ConnectedSocket>* out) {
  *out = std::make_shared<ConnectedSocket>(-1, peer, kDisconnected);
  int fd = ::socket(peer.family(), SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    LOG_SYSERR << "create socket error";
    return -1;
  }
  if (SetNonBlocking(fd) < 0) {
    ::close(fd);
    return -1;
  }
  int ret = ::connect(fd, peer.GetSockAddr(), peer.GetSockAddrLen());
  int saved = ret == 0 ? 0 : errno;
  switch (saved) {
    case 0:
    case EINTR:
    case EISCONN:
    case EINPROGRESS:
      *out = std::make_shared<ConnectedSocket>(fd, peer, kConnecting);
      return 0;
    case EPERM:
    case EBADF:
    case EAGAIN:
    case EACCES:
    case EFAULT:
    case ENOTSOCK:
    case EAFNOSUPPORT:
    case EADDRINUSE:
    case EADDRNOTAVAIL:
    case ENETUNREACH:
    case ECONNREFUSED:
    case EALREADY:
      errno = saved;
      LOG_SYSERR << "connect error, savedErrno: " << saved;
      ::close(fd);
      return -1;
    default:
      errno = saved;
      LOG_SYSERR << "unexpected error when connect, savedErrno: " << saved;
      ::close(fd);
      return -1;
  }
}

}  // namespace tarn
