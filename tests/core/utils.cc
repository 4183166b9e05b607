#include "tarn/utils.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <numa.h>
#include <pthread.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fcntl.h>
#include <thread>

namespace tarn {
namespace {

int Opt(int fd, int level, int name) {
  int v = -1;
  socklen_t len = sizeof(v);
  getsockopt(fd, level, name, &v, &len);
  return v;
}

TEST(SocketHelpersTest, OptionsReachTheSocket) {
  int fd = CreateSocket(SockAddress("127.0.0.1", 0, false));
  ASSERT_GE(fd, 0);
  EXPECT_EQ(SetNonBlocking(fd), 0);
  EXPECT_TRUE(fcntl(fd, F_GETFL) & O_NONBLOCK);
  EXPECT_EQ(SetTcpNoDelay(fd, true), 0);
  EXPECT_EQ(Opt(fd, IPPROTO_TCP, TCP_NODELAY), 1);
  EXPECT_EQ(SetReuseAddr(fd, true), 0);
  EXPECT_NE(Opt(fd, SOL_SOCKET, SO_REUSEADDR), 0);
  EXPECT_EQ(SetKeepAlive(fd, true), 0);
  EXPECT_NE(Opt(fd, SOL_SOCKET, SO_KEEPALIVE), 0);
  EXPECT_EQ(Opt(fd, IPPROTO_TCP, TCP_KEEPIDLE), 60);
  EXPECT_EQ(Opt(fd, IPPROTO_TCP, TCP_KEEPINTVL), 5);
  EXPECT_EQ(Opt(fd, IPPROTO_TCP, TCP_KEEPCNT), 3);
  EXPECT_EQ(SetKeepAlive(fd, false), 0);
  EXPECT_EQ(Opt(fd, SOL_SOCKET, SO_KEEPALIVE), 0);
  EXPECT_EQ(GetSocketError(fd), 0);
  close(fd);
  EXPECT_EQ(SetKeepAlive(fd, true), -1) << "closed descriptor";
  EXPECT_EQ(GetSocketError(-1), EBADF);
}

TEST(SocketHelpersTest, EventFdIsNonBlocking) {
  int fd = CreateEventFd();
  ASSERT_GE(fd, 0);
  EXPECT_TRUE(fcntl(fd, F_GETFL) & O_NONBLOCK);
  EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC);
  eventfd_t v;
  EXPECT_EQ(eventfd_read(fd, &v), -1);
  EXPECT_EQ(errno, EAGAIN);
  close(fd);
}

TEST(CpuHelpersTest, HexToBin) {
  EXPECT_EQ(HexToBin("0x3"), "1100");
  EXPECT_EQ(HexToBin("0X3"), "1100");
  EXPECT_EQ(HexToBin("f0"), "00001111");
  EXPECT_EQ(HexToBin("0x0c"), "00110000");
  EXPECT_EQ(HexToBin("A5"), "10100101");
  EXPECT_EQ(HexToBin("0xg1"), "");
  EXPECT_EQ(HexToBin("0x"), "");
  EXPECT_EQ(HexToBin(""), "");
  EXPECT_EQ(HexToBin("1 "), "");
}

TEST(CpuHelpersTest, GetNumCoresCountsConfiguredCpusOnly) {
  const long n = sysconf(_SC_NPROCESSORS_CONF);
  ASSERT_GT(n, 0);
  EXPECT_EQ(GetNumCores("0x1"), 1);
  EXPECT_EQ(GetNumCores("0x0"), 0);
  EXPECT_EQ(GetNumCores("zz"), 0);
  // Far more bits than CPUs: only the first n count.
  EXPECT_EQ(GetNumCores(std::string(300, 'f')), n);
  if (n >= 4) {
    EXPECT_EQ(GetNumCores("ff"), std::min<long>(n, 8));
  }
}

std::vector<int> AllowedCpus() {
  cpu_set_t set;
  CPU_ZERO(&set);
  pthread_getaffinity_np(pthread_self(), sizeof(set), &set);
  std::vector<int> cpus;
  for (int c = 0; c < CPU_SETSIZE; ++c) {
    if (CPU_ISSET(c, &set)) cpus.push_back(c);
  }
  return cpus;
}

bool CpuUsable(int c) {
  cpu_set_t set;
  CPU_ZERO(&set);
  sched_getaffinity(0, sizeof(set), &set);
  return CPU_ISSET(c, &set);
}

// Pinning changes the calling thread, so each case runs on a thread of its own.
TEST(CpuHelpersTest, AffinitizeByMask) {
  if (!CpuUsable(2) || !CpuUsable(3)) GTEST_SKIP() << "needs CPUs 2 and 3";
  std::thread([] {
    EXPECT_EQ(AffinitizeThread(std::string("0x0c"), 1), 0);
    EXPECT_EQ(AllowedCpus(), std::vector<int>{3});
    EXPECT_EQ(AffinitizeThread(std::string("0x0c")), 0);
    EXPECT_EQ(AllowedCpus(), (std::vector<int>{2, 3}));
    // Nothing selected: no change.
    EXPECT_EQ(AffinitizeThread(std::string("0x0c"), 5), 0);
    EXPECT_EQ(AffinitizeThread(std::string("0x0")), 0);
    EXPECT_EQ(AffinitizeThread(std::string("xyz")), 0);
    EXPECT_EQ(AllowedCpus(), (std::vector<int>{2, 3}));
    EXPECT_EQ(UnaffinitizeThread(), 0);
    EXPECT_GE(AllowedCpus().size(), 2u);
  }).join();
}

TEST(CpuHelpersTest, AffinitizeByNumaNode) {
  std::thread([] {
    const auto before = AllowedCpus();
    EXPECT_EQ(AffinitizeThread(-1), 0);
    EXPECT_EQ(AllowedCpus(), before);
    EXPECT_EQ(AffinitizeThread(100000), 0) << "a node without CPUs changes nothing";
    EXPECT_EQ(AllowedCpus(), before);
    if (numa_available() < 0) return;
    ASSERT_EQ(AffinitizeThread(0), 0);
    for (int c : AllowedCpus()) EXPECT_EQ(numa_node_of_cpu(c), 0) << c;
  }).join();
}

TEST(CpuHelpersTest, NumaFirstCoreMask) {
  EXPECT_EQ(GetNumaFirstCoreMask(-1), "[0]");
  EXPECT_EQ(GetNumaFirstCoreMask(100000), "[0]");
  if (numa_available() < 0) GTEST_SKIP() << "no NUMA support";
  int first = -1;
  for (int c = 0; c < sysconf(_SC_NPROCESSORS_CONF); ++c) {
    if (numa_node_of_cpu(c) == 0) {
      first = c;
      break;
    }
  }
  EXPECT_EQ(GetNumaFirstCoreMask(0), "[" + std::to_string(first < 0 ? 0 : first) + "]");
}

}  // namespace
}  // namespace tarn
