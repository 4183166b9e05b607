// Socket helpers and the CPU-affinity helpers with which worker threads are
// pinned to a hexadecimal core mask or to the CPUs of a NUMA node.
#ifndef TARN_UTILS_H_
#define TARN_UTILS_H_

#include <cstdint>
#include <string>

#include "tarn/sock_address.h"

namespace tarn {

// ---- sockets ----

// socket(family, SOCK_STREAM, 0) for the address's family. An invalid
// address is refused with an ERROR and -1 (errno EAFNOSUPPORT); a failing
// socket() for a valid address ends the process.
int CreateSocket(const SockAddress& addr);

// Adds O_NONBLOCK; 0, or -1 with errno.
int SetNonBlocking(int fd);
// setsockopt results (0 or -1).
int SetTcpNoDelay(int fd, bool on);
int SetReuseAddr(int fd, bool on);
// SO_KEEPALIVE = on, then idle 60 s, interval 5 s, 3 probes; 0, or -1 at
// the first failing option (logged).
int SetKeepAlive(int fd, bool on);
// The socket's pending error (SO_ERROR), or errno when it cannot be read.
int GetSocketError(int fd);
// A non-blocking, close-on-exec eventfd; failure ends the process.
int CreateEventFd();

// ---- CPUs ----

// The hexadecimal mask ("0x3", "f0") as '0'/'1' characters, CPU 0 first;
// empty for an empty or malformed mask.
std::string HexToBin(const std::string& mask);
// Set CPUs of the mask among the configured processors.
int GetNumCores(const std::string& mask);

// Pin the calling thread: to the CPUs of a NUMA node (-1: no pinning), to
// the CPUs of a mask, or to the n-th CPU (from 0) of a mask. 0 when there is
// nothing to do or the pinning succeeded; -1 (logged) when it failed.
int AffinitizeThread(int numaNode);
int AffinitizeThread(const std::string& mask);
int AffinitizeThread(const std::string& mask, uint32_t n);
// Allow the calling thread on every configured CPU.
int UnaffinitizeThread();

// "[c]" with c the lowest CPU of the node, the CPU-list form the SPDK
// environment takes as its core mask; "[0]" for a node that does not exist.
std::string GetNumaFirstCoreMask(int numaNode);

}  // namespace tarn

#endif  // TARN_UTILS_H_
