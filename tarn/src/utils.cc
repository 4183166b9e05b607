#include "tarn/utils.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <numa.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "rte_lcore.h"
#include "tarn/base/logging.h"

namespace tarn {

int CreateSocket(const SockAddress& addr) {
  if (!addr.IsValid()) {
    errno = EAFNOSUPPORT;
    LOG_ERROR << "create socket error: invalid address";
    return -1;
  }
  const int fd = ::socket(addr.family(), SOCK_STREAM, 0);
  if (fd < 0) LOG_SYSFATAL << "create socket error";
  return fd;
}

int SetNonBlocking(int fd) {
  const int flags = ::fcntl(fd, F_GETFL, 0);
  if (flags < 0) return -1;
  return ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

int SetTcpNoDelay(int fd, bool on) {
  const int v = on ? 1 : 0;
  return ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &v, sizeof(v));
}

int SetReuseAddr(int fd, bool on) {
  const int v = on ? 1 : 0;
  return ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &v, sizeof(v));
}

int SetKeepAlive(int fd, bool on) {
  struct Opt {
    int level, name, value;
    const char* text;
  };
  const Opt opts[] = {
      {SOL_SOCKET, SO_KEEPALIVE, on ? 1 : 0, "setsockopt(SO_KEEPALIVE) faild for fd: "},
      {IPPROTO_TCP, TCP_KEEPIDLE, 60, "setsockopt(TCP_KEEPIDLE) faild for fd: "},
      {IPPROTO_TCP, TCP_KEEPINTVL, 5, "setsockopt(TCP_KEEPINTVL) faild for fd: "},
      {IPPROTO_TCP, TCP_KEEPCNT, 3, "setsockopt(TCP_KEEPCNT) faild for fd: "},
  };
  for (const Opt& o : opts) {
    if (::setsockopt(fd, o.level, o.name, &o.value, sizeof(o.value)) != 0) {
      LOG_WARN << o.text << fd;
      return -1;
    }
  }
  return 0;
}

int GetSocketError(int fd) {
  int err = 0;
  socklen_t len = sizeof(err);
  if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) < 0) return errno;
  return err;
}

int CreateEventFd() {
  const int fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (fd < 0) LOG_SYSFATAL << "Failed in eventfd";
  return fd;
}

std::string HexToBin(const std::string& mask) {
  size_t i = 0;
  if (mask.size() >= 2 && mask[0] == '0' && (mask[1] == 'x' || mask[1] == 'X')) i = 2;
  std::string bits;
  bits.reserve((mask.size() - i) * 4);
  for (; i < mask.size(); ++i) {
    const char c = mask[i];
    int v;
    if (c >= '0' && c <= '9') {
      v = c - '0';
    } else if (c >= 'a' && c <= 'f') {
      v = c - 'a' + 10;
    } else if (c >= 'A' && c <= 'F') {
      v = c - 'A' + 10;
    } else {
      return "";
    }
    for (int b = 3; b >= 0; --b) bits.push_back((v >> b) & 1 ? '1' : '0');
  }
  return std::string(bits.rbegin(), bits.rend());
}

namespace {

constexpr int kMaxCpus = 1024;

int ConfiguredCpus() {
  const long n = ::sysconf(_SC_NPROCESSORS_CONF);
  return n > 0 ? static_cast<int>(n) : 0;
}

// CPUs a set may hold: below the configured count and below 1024.
int CpuLimit() { return std::min(ConfiguredCpus(), kMaxCpus); }

// The affinity call of the SPDK environment layer, which also keeps the
// environment's record of the thread's CPUs in step.
int SetAffinity(cpu_set_t set) {
  const int ret = ::rte_thread_set_affinity(&set);
  if (ret != 0) {
    errno = ret < 0 ? -ret : ret;
    LOG_SYSERR << "set thread affinity error";
    return -1;
  }
  return 0;
}

bool NumaUsable() { return ::numa_available() >= 0; }

}  // namespace

int GetNumCores(const std::string& mask) {
  const std::string bits = HexToBin(mask);
  const size_t n = std::min<size_t>(bits.size(), static_cast<size_t>(ConfiguredCpus()));
  int cores = 0;
  for (size_t i = 0; i < n; ++i) cores += bits[i] == '1';
  return cores;
}

int AffinitizeThread(int numaNode) {
  if (numaNode == -1 || !NumaUsable()) return 0;
  cpu_set_t set;
  CPU_ZERO(&set);
  int count = 0;
  for (int c = 0; c < CpuLimit(); ++c) {
    if (::numa_node_of_cpu(c) == numaNode) {
      CPU_SET(c, &set);
      ++count;
    }
  }
  return count == 0 ? 0 : SetAffinity(set);
}

int AffinitizeThread(const std::string& mask) {
  const std::string bits = HexToBin(mask);
  const int limit = std::min<int>(CpuLimit(), static_cast<int>(bits.size()));
  cpu_set_t set;
  CPU_ZERO(&set);
  int count = 0;
  for (int c = 0; c < limit; ++c) {
    if (bits[c] == '1') {
      CPU_SET(c, &set);
      ++count;
    }
  }
  return count == 0 ? 0 : SetAffinity(set);
}

int AffinitizeThread(const std::string& mask, uint32_t n) {
  const std::string bits = HexToBin(mask);
  const int limit = std::min<int>(CpuLimit(), static_cast<int>(bits.size()));
  uint32_t seen = 0;
  for (int c = 0; c < limit; ++c) {
    if (bits[c] != '1') continue;
    if (seen++ == n) {
      cpu_set_t set;
      CPU_ZERO(&set);
      CPU_SET(c, &set);
      return SetAffinity(set);
    }
  }
  return 0;
}

int UnaffinitizeThread() {
  cpu_set_t set;
  CPU_ZERO(&set);
  for (int c = 0; c < CpuLimit(); ++c) CPU_SET(c, &set);
  return SetAffinity(set);
}

std::string GetNumaFirstCoreMask(int numaNode) {
  const int cpus = ConfiguredCpus();
  if (numaNode < 0 || cpus == 0 || !NumaUsable() || numaNode > ::numa_max_node()) return "[0]";
  unsigned first = 0;
  for (int c = 0; c < std::min(cpus, kMaxCpus); ++c) {
    if (::numa_node_of_cpu(c) == numaNode) {
      first = static_cast<unsigned>(c);
      break;
    }
  }
  char buf[16];
  snprintf(buf, sizeof(buf), "[%u]", first);
  return buf;
}

}  // namespace tarn
