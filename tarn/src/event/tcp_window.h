// The receive window a TCP peer's kernel advertises, read from the socket's
// TCP_INFO. Kept apart: <linux/tcp.h> and <netinet/tcp.h> do not mix.
#ifndef TARN_SRC_EVENT_TCP_WINDOW_H_
#define TARN_SRC_EVENT_TCP_WINDOW_H_

#include <cstddef>

namespace tarn {

// The peer's last advertised receive window in bytes (scaled); 0 when the
// kernel does not report it (before Linux 5.4) or on error.
size_t PeerAdvertisedWindow(int fd);

}  // namespace tarn

#endif  // TARN_SRC_EVENT_TCP_WINDOW_H_
