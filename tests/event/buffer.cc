#include "tarn/event/buffer.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <deque>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "support/log_capture.h"

namespace tarn {
namespace {

std::string Pattern(size_t n, size_t start = 0) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((start + i) * 131 + 7);
  return s;
}

std::string Peek(const Buffer& b, uint32_t off, size_t len) {
  std::string s(len, '\0');
  EXPECT_EQ(b.Receive(off, s.data(), len), 0);
  return s;
}

// Leaves a buffer of capacity `cap` holding `bytes` that wrap around the end.
void MakeWrapped(Buffer* b, size_t cap, const std::string& bytes) {
  std::string filler(cap - 10, 'f');
  b->Append(filler.data(), filler.size());
  ASSERT_EQ(b->Retrieve(filler.size()), 0);
  b->Append(bytes.data(), bytes.size());
  ASSERT_LT(b->ReceivePos() + bytes.size(), cap + bytes.size());
}

TEST(BufferTest, GrowsExactlyAsFarAsNeeded) {
  Buffer b;
  EXPECT_EQ(b.Capacity(), 8192u);
  const std::string s = Pattern(8191);
  b.Append(s.data(), s.size());
  EXPECT_EQ(b.Capacity(), 8192u);
  EXPECT_EQ(b.WritableBytes(), 0u);
  b.Append("x", 1);
  EXPECT_EQ(b.Capacity(), 8193u);
  EXPECT_EQ(b.ReadableBytes(), 8192u);
  EXPECT_EQ(Peek(b, 0, 8191), s);
  EXPECT_EQ(Peek(b, 8191, 1), "x");

  Buffer tiny(0);  // a zero size still makes a working ring
  tiny.Append("abc", 3);
  EXPECT_EQ(Peek(tiny, 0, 3), "abc");
}

TEST(BufferTest, WrappedDataMovesToTheFrontInOrder) {
  Buffer b(64);
  const std::string data = Pattern(30);
  MakeWrapped(&b, 64, data);
  ASSERT_GT(b.ReceivePos(), 40u);
  EXPECT_EQ(Peek(b, 5, 20), data.substr(5, 20)) << "peek across the wrap point";
  const std::string more = Pattern(100, 30);
  b.Append(more.data(), more.size());
  EXPECT_EQ(b.ReceivePos(), 0u);
  EXPECT_EQ(b.Capacity(), 30u + 100 + 1);
  std::string out(130, '\0');
  ASSERT_EQ(b.Remove(out.data(), out.size()), 0);
  EXPECT_EQ(out, Pattern(130));
}

TEST(BufferTest, PeekAndConsumeBounds) {
  Buffer b(16);
  b.Append("abcd", 4);
  char tmp[8];
  EXPECT_EQ(b.OffAvailable(10), 4294967295u);
  EXPECT_EQ(b.OffAvailable(1), 3u);
  EXPECT_EQ(b.OffAvailable(4), 0u);
  EXPECT_EQ(b.Receive(tmp, 5), -1);
  EXPECT_EQ(b.Receive(3, tmp, 2), -1);
  EXPECT_EQ(b.Receive(5, tmp, 0), -1);
  EXPECT_EQ(b.Receive(1, tmp, SIZE_MAX), -1) << "offset + length must not wrap";
  EXPECT_EQ(b.Retrieve(5), -1);
  EXPECT_EQ(b.Remove(tmp, 5), -1);
  EXPECT_EQ(b.ReadableBytes(), 4u);
  EXPECT_EQ(b.Remove(tmp, 2), 0);
  EXPECT_EQ(std::string(tmp, 2), "ab");
  b.RetrieveAll();
  EXPECT_EQ(b.ReadableBytes(), 0u);
  EXPECT_EQ(b.ReceivePos(), 0u);
}

TEST(BufferTest, DrainedBufferHalvesDownToTheFloor) {
  Buffer b(64 * 1024);
  std::vector<size_t> caps;
  for (int i = 0; i < 2000; ++i) {
    b.Append("0123456789", 10);
    ASSERT_EQ(b.Retrieve(10), 0);
    if (caps.empty() || caps.back() != b.Capacity()) caps.push_back(b.Capacity());
  }
  EXPECT_EQ(caps, (std::vector<size_t>{65536, 32768, 16384}));
  EXPECT_LT(b.score(), 0);

  // A half-full episode restores credit: no shrink for a while.
  Buffer c(64 * 1024);
  std::string big(40000, 'b');
  c.Append(big.data(), big.size());
  ASSERT_EQ(c.Retrieve(big.size()), 0);
  EXPECT_EQ(c.score(), 199);
  for (int i = 0; i < 199; ++i) c.RetrieveAll();
  EXPECT_EQ(c.Capacity(), 65536u);
  EXPECT_EQ(c.score(), 0);

  // Above 4 MiB an emptied buffer halves even with credit.
  Buffer d(8 * 1024 * 1024 + 2);
  d.Append("x", 1);
  d.Retrieve(1);
  EXPECT_EQ(d.Capacity(), 4u * 1024 * 1024 + 1);
  EXPECT_EQ(d.score(), 200);
}

// Random appends, peeks and consumes against a deque, through wraps, growth
// and shrinking.
TEST(BufferTest, MatchesADequeModel) {
  for (unsigned seed : {1u, 7u, 42u}) {
    std::mt19937 rng(seed);
    Buffer b(32);
    std::deque<char> model;
    size_t next = 0;
    for (int step = 0; step < 30000; ++step) {
      const unsigned op = rng() % 10;
      if (op < 4) {
        const size_t len = rng() % 3 == 0 ? rng() % 70000 : rng() % 300;
        const std::string s = Pattern(len, next);
        next += len;
        const size_t before = b.ReadableBytes();
        const size_t cap = b.Capacity();
        const size_t writable = b.WritableBytes();
        b.Append(s.data(), len);
        model.insert(model.end(), s.begin(), s.end());
        if (len > writable) {
          ASSERT_EQ(b.Capacity(), before + len + 1);
        } else {
          ASSERT_EQ(b.Capacity(), cap);
        }
      } else if (op < 6) {
        const size_t len = model.empty() ? 0 : rng() % (model.size() + 1);
        std::string out(len, '\0');
        ASSERT_EQ(b.Remove(out.data(), len), 0);
        ASSERT_TRUE(std::equal(out.begin(), out.end(), model.begin()));
        model.erase(model.begin(), model.begin() + len);
      } else if (op < 8) {
        const size_t len = model.empty() ? 0 : rng() % (model.size() + 1);
        ASSERT_EQ(b.Retrieve(len), 0);
        model.erase(model.begin(), model.begin() + len);
      } else if (op < 9 && !model.empty()) {
        const uint32_t off = rng() % model.size();
        const size_t len = rng() % (model.size() - off + 1);
        const std::string got = Peek(b, off, len);
        ASSERT_TRUE(std::equal(got.begin(), got.end(), model.begin() + off));
        ASSERT_EQ(b.OffAvailable(off), model.size() - off);
      } else if (rng() % 20 == 0) {
        b.RetrieveAll();
        model.clear();
      }
      ASSERT_EQ(b.ReadableBytes(), model.size());
      ASSERT_EQ(b.WritableBytes(), b.Capacity() - 1 - model.size());
      ASSERT_LT(b.ReceivePos(), b.Capacity());
    }
  }
}

class SocketPair {
 public:
  SocketPair() { EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds_), 0); }
  ~SocketPair() {
    for (int fd : fds_) {
      if (fd >= 0) close(fd);
    }
  }
  int a() const { return fds_[0]; }
  int b() const { return fds_[1]; }
  void CloseB() {
    close(fds_[1]);
    fds_[1] = -1;
  }

 private:
  int fds_[2] = {-1, -1};
};

TEST(BufferTest, ReadFdIntoAFullBufferGrowsByWhatArrived) {
  SocketPair sp;
  Buffer b(1024);
  const std::string first = Pattern(1023);
  b.Append(first.data(), first.size());
  ASSERT_EQ(b.WritableBytes(), 0u);
  const std::string pending = Pattern(100, 1023);
  ASSERT_EQ(write(sp.b(), pending.data(), pending.size()), 100);
  int err = 0;
  EXPECT_EQ(b.ReadFd(sp.a(), &err), 100);
  EXPECT_EQ(b.Capacity(), 1024u + 100);
  EXPECT_EQ(Peek(b, 0, 1123), Pattern(1123));
}

TEST(BufferTest, ReadFdFillsBothFreePiecesOfAWrappedRing) {
  SocketPair sp;
  Buffer b(64);
  std::string filler(50, 'f');
  b.Append(filler.data(), filler.size());
  ASSERT_EQ(b.Retrieve(40), 0);  // 10 readable at [40, 50); free: [50,64) and [0,39)
  const std::string in = Pattern(60);
  ASSERT_EQ(write(sp.b(), in.data(), in.size()), 60);
  int err = 0;
  EXPECT_EQ(b.ReadFd(sp.a(), &err), 60);
  EXPECT_EQ(b.Capacity(), 71u);
  EXPECT_EQ(Peek(b, 10, 60), in);
  EXPECT_EQ(Peek(b, 0, 10), filler.substr(0, 10));

  // Nothing to read on a non-blocking socket: -1 and the errno.
  int flags = fcntl(sp.a(), F_GETFL);
  fcntl(sp.a(), F_SETFL, flags | O_NONBLOCK);
  EXPECT_EQ(b.ReadFd(sp.a(), &err), -1);
  EXPECT_EQ(err, EAGAIN);
  EXPECT_EQ(b.ReadableBytes(), 70u);
}

TEST(BufferTest, WriteFdWritesWrappedDataAndConsumesWhatWasSent) {
  SocketPair sp;
  Buffer b(64);
  EXPECT_EQ(b.WriteFd(sp.a()), 0) << "empty buffer: no system call";
  const std::string data = Pattern(30);
  MakeWrapped(&b, 64, data);
  EXPECT_EQ(b.WriteFd(sp.a()), 30);
  EXPECT_EQ(b.ReadableBytes(), 0u);
  std::string got(30, '\0');
  ASSERT_EQ(read(sp.b(), got.data(), got.size()), 30);
  EXPECT_EQ(got, data);

  // A closed peer is an error to the caller, not a SIGPIPE for the process.
  b.Append("zz", 2);
  sp.CloseB();
  EXPECT_EQ(b.WriteFd(sp.a()), -1);
  EXPECT_EQ(errno, EPIPE);
  EXPECT_EQ(b.ReadableBytes(), 2u);

  // Not a socket: plain write.
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  EXPECT_EQ(b.WriteFd(p[1]), 2);
  close(p[0]);
  close(p[1]);
}

// 10 MB from one thread to another over a socket pair, through two buffers
// with partial writes on a small non-blocking socket; every byte in order.
TEST(BufferTest, TenMegabytesArriveInOrder) {
  SocketPair sp;
  const size_t total = 10 * 1000 * 1000;
  int sndbuf = 8192;
  setsockopt(sp.a(), SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof(sndbuf));
  fcntl(sp.a(), F_SETFL, fcntl(sp.a(), F_GETFL) | O_NONBLOCK);

  std::thread writer([&] {
    Buffer out;
    std::mt19937 rng(99);
    size_t produced = 0;
    while (produced < total || out.ReadableBytes() > 0) {
      if (produced < total) {
        const size_t len = std::min<size_t>(total - produced, 1 + rng() % 20000);
        const std::string s = Pattern(len, produced);
        out.Append(s.data(), len);
        produced += len;
      }
      const ssize_t n = out.WriteFd(sp.a());
      if (n < 0) {
        ASSERT_EQ(errno, EAGAIN);
        pollfd pfd{sp.a(), POLLOUT, 0};
        ASSERT_GE(poll(&pfd, 1, 10000), 1);
      }
    }
    shutdown(sp.a(), SHUT_WR);
  });

  Buffer in;
  size_t received = 0;
  std::mt19937 rng(5);
  std::string chunk;
  for (;;) {
    int err = 0;
    const ssize_t n = in.ReadFd(sp.b(), &err);
    ASSERT_GE(n, 0) << strerror(err);
    if (n == 0) break;
    // Consume a random part, keeping some bytes around so the ring wraps.
    const size_t take = in.ReadableBytes() - rng() % (in.ReadableBytes() / 2 + 1);
    chunk.resize(take);
    ASSERT_EQ(in.Remove(chunk.data(), take), 0);
    ASSERT_EQ(chunk, Pattern(take, received)) << "at byte " << received;
    received += take;
  }
  chunk.resize(in.ReadableBytes());
  ASSERT_EQ(in.Remove(chunk.data(), chunk.size()), 0);
  EXPECT_EQ(chunk, Pattern(chunk.size(), received));
  received += chunk.size();
  writer.join();
  EXPECT_EQ(received, total);
}

TEST(BufferDeathTest, WritingPastTheFreeSpaceEndsTheProcess) {
  testsupport::SendLogsToStderr();
  Buffer b(16);
  EXPECT_DEATH(b.HasWritten(16), "written beyond the free space");
}

}  // namespace
}  // namespace tarn
