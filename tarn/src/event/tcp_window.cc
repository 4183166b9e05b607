#include "event/tcp_window.h"

#include <linux/tcp.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstddef>

namespace tarn {

size_t PeerAdvertisedWindow(int fd) {
  struct tcp_info info = {};
  socklen_t len = sizeof(info);
  if (::getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &len) != 0) return 0;
  // An older kernel fills a shorter record.
  if (len < offsetof(struct tcp_info, tcpi_snd_wnd) + sizeof(info.tcpi_snd_wnd)) return 0;
  return info.tcpi_snd_wnd;
}

}  // namespace tarn
