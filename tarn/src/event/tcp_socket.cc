#include "tarn/event/tcp_socket.h"

#include <errno.h>
#include <sys/socket.h>
#include <unistd.h>

#include "tarn/base/logging.h"
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

}  // namespace tarn
