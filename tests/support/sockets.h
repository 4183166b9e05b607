// Blocking loopback sockets for peers the tests play themselves: peers that
// misbehave, peers that never read, raw HTTP clients and benchmark floors.
#ifndef TESTS_SUPPORT_SOCKETS_H_
#define TESTS_SUPPORT_SOCKETS_H_

#include <cstddef>
#include <cstdint>
#include <string>

namespace testsupport {

// A socket listening on 127.0.0.1 at a port the kernel chose, stored in
// *port; -1 on failure.
int ListenLoopback(uint16_t* port, int backlog = 16);

// A socket listening on every address (0.0.0.0) at a port the kernel chose;
// for occupying a port a server would bind to any address. -1 on failure.
int ListenAnyAddress(uint16_t* port, int backlog = 4);

// Waits up to timeout_s for a connection on listen_fd; -1 when none came.
int AcceptWithin(int listen_fd, double timeout_s = 30.0);

// A blocking socket connected to 127.0.0.1:port with TCP_NODELAY set, or -1.
// rcvbuf, when not 0, sets the receive buffer before connecting.
int RawConnect(uint16_t port, int rcvbuf = 0);

// Writes all of data (len bytes); false on error or close.
bool SendAll(int fd, const void* data, size_t len);
bool SendAll(int fd, const std::string& bytes);

// Reads exactly len bytes into buf, blocking as long as it takes; false on
// error or end of stream.
bool ReadFull(int fd, void* buf, size_t len);

// Reads exactly n bytes within timeout_s; false on close, error or timeout.
bool RecvExact(int fd, size_t n, std::string* out, double timeout_s = 30.0);

// True when the peer ends the stream (or resets it) within timeout_s; what
// arrives meanwhile is read and discarded.
bool PeerCloses(int fd, double timeout_s = 30.0);

// One HTTP/1.1 GET on a fresh connection to 127.0.0.1:port with
// "Connection: close"; the whole answer, empty when nothing could be had.
std::string HttpGet(uint16_t port, const std::string& path, double timeout_s = 30.0);

// The body of an HTTP answer (after the blank line), empty when none.
std::string HttpBody(const std::string& answer);

}  // namespace testsupport

#endif  // TESTS_SUPPORT_SOCKETS_H_
