// The frame-protocol server holds back a client that does not read its
// answers instead of queueing them: side by side, a client that never reads
// (held within the mark, then closed when nothing moves) and a client that
// pipelines many large calls and reads slowly (served in full, never cut
// off). Both play the client over a raw loopback socket.

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "rpc/rpc_test_util.h"
#include "support/log_capture.h"

namespace rpctest {
namespace {

constexpr size_t kHigh = tarn::kRpcOutputHighWater;
// Room for one answer frame's head, names, header and body.
constexpr size_t kFrameSlack = 4096;

// A write request echoing its attachment, whose first 8 bytes carry seq.
std::string EchoFrame(uint64_t seq, const std::string& attachment) {
  std::string frame = WriteRequestFrame(seq, 1, attachment);
  memcpy(&frame[frame.size() - attachment.size()], &seq, sizeof(seq));
  return frame;
}

// Turns an EchoFrame into the one of another call in place (the header's
// fixed64 sequence and the attachment's first bytes), sparing the copies of
// a fresh frame per call.
void SetEchoSeq(std::string* frame, uint64_t seq) {
  tarn::FrameHead head;
  ASSERT_TRUE(head.Decode(frame->data()));
  char* header = &(*frame)[tarn::kFrameHeadSize + head.service_len + head.method_len];
  ASSERT_EQ(header[0], 0x09);  // field 1, fixed64
  memcpy(header + 1, &seq, sizeof(seq));
  memcpy(&(*frame)[head.main_size()], &seq, sizeof(seq));
}

// Sends `frame` over and over on a non-blocking socket until the peer has
// taken nothing for `quiet_s` or *sent reaches `cap`; *sent counts every
// byte sent so far (and places the next byte within the frame).
void SendUntilBlocked(int fd, const std::string& frame, size_t cap, double quiet_s,
                      size_t* sent) {
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
  size_t off = *sent % frame.size();
  while (*sent < cap) {
    const ssize_t n = ::send(fd, frame.data() + off, frame.size() - off, MSG_NOSIGNAL);
    if (n > 0) {
      *sent += static_cast<size_t>(n);
      off = (off + static_cast<size_t>(n)) % frame.size();
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) break;
    pollfd p{fd, POLLOUT, 0};
    if (::poll(&p, 1, static_cast<int>(quiet_s * 1000)) == 0) break;
  }
}

// Watches the server side of a connection (by default the test service's
// last one) from a thread of its own: the most unsent output and the most
// received input it had, and whether its reading was ever held, read on its
// loop every 2 ms.
class OutputSampler {
 public:
  using ConnSource = std::function<std::shared_ptr<tarn::Connection>()>;

  explicit OutputSampler(const TestBlockServer& service)
      : OutputSampler([&service] { return service.last_conn(); }) {}
  explicit OutputSampler(ConnSource source)
      : thread_([this, source] { Run(source); }) {}
  ~OutputSampler() { Stop(); }

  void Stop() {
    done_ = true;
    if (thread_.joinable()) thread_.join();
  }
  size_t max_unsent() const { return max_unsent_; }
  size_t max_input() const { return max_input_; }
  bool saw_held() const { return saw_held_; }
  bool held_now() const { return held_now_; }
  // Seconds from the start to the first sample that saw reading held (-1
  // while none did) and to the first that saw the connection closed.
  double first_held_s() const { return first_held_s_; }
  double closed_s() const { return closed_s_; }

 private:
  void Run(const ConnSource& source) {
    const auto start = std::chrono::steady_clock::now();
    const auto since = [&start] {
      return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    };
    std::shared_ptr<tarn::Connection> conn;
    while (!done_) {
      if (!conn) conn = source();
      if (conn) {
        size_t unsent = 0;
        size_t input = 0;
        bool held = false;
        testsupport::RunSync(conn->worker(), [&] {
          unsent = conn->ReadableLengthOutBuf();
          input = conn->ReadableLength();
          held = conn->ReadingHeld();
        });
        max_unsent_ = std::max<size_t>(max_unsent_, unsent);
        max_input_ = std::max<size_t>(max_input_, input);
        saw_held_ = saw_held_ || held;
        held_now_ = held;
        if (held && first_held_s_ < 0) first_held_s_ = since();
        if (closed_s_ < 0 && conn->IsClosed()) closed_s_ = since();
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  }

  std::atomic<bool> done_{false};
  std::atomic<size_t> max_unsent_{0};
  std::atomic<size_t> max_input_{0};
  std::atomic<bool> saw_held_{false};
  std::atomic<bool> held_now_{false};
  std::atomic<double> first_held_s_{-1};
  std::atomic<double> closed_s_{-1};
  std::thread thread_;
};

// Every answer of a stream of echo answers, checked as it completes.
class AnswerChecker {
 public:
  explicit AnswerChecker(const std::string& base) : base_(base) {}

  // Takes what arrived; false at the first wrong answer.
  bool Feed(const char* data, size_t len) {
    stream_.append(data, len);
    size_t used = 0;
    bool ok = true;
    while (ok && stream_.size() - used >= tarn::kFrameHeadSize) {
      tarn::FrameHead head;
      const char* frame = stream_.data() + used;
      if (!head.Decode(frame) || head.Check(UINT32_MAX) != 0) return false;
      if (stream_.size() - used < head.total) break;
      tarn::RpcHeader header;
      const char* attached = frame + head.main_size();
      const size_t n = base_.size();
      ok = header.ParseFromArray(frame + tarn::kFrameHeadSize,
                                 static_cast<int>(head.header_len)) &&
           header.seq_no() == next_ && head.total - head.main_size() == n &&
           memcmp(attached, &next_, sizeof(next_)) == 0 &&
           memcmp(attached + sizeof(next_), base_.data() + sizeof(next_), n - sizeof(next_)) == 0;
      used += head.total;
      if (ok) ++next_;
    }
    stream_.erase(0, used);
    return ok;
  }
  // Answers checked so far.
  uint64_t answered() const { return next_ - 1; }

 private:
  const std::string base_;
  std::string stream_;
  uint64_t next_ = 1;
};

class ServerHold : public RpcFixture {};

// A client sending 64 KiB echo calls and never reading: the server stops
// reading it once its answers pass the mark, so its unsent output stays
// within the mark plus one answer and the client's sends block; with no byte
// taken for the stall timeout the connection is closed, its controllers come
// back and other clients are served.
TEST_F(ServerHold, NeverReadingClientIsHeldWithinTheMarkThenClosed) {
  output_hold_.stall_timeout_s = 1.0;
  StartServer();
  testsupport::LogCapture log;
  const size_t kCall = 64 << 10;
  const int fd = RawConnect(port_, 64 << 10);
  ASSERT_GE(fd, 0);
  OutputSampler sampler(service_);
  const std::string frame = EchoFrame(1, std::string(kCall, 'n'));
  const size_t kCap = 512u << 20;
  size_t sent = 0;
  // Until the client is blocked by a held server (a loaded machine may be
  // slow to get there).
  EXPECT_TRUE(WaitFor(
      [&] {
        SendUntilBlocked(fd, frame, kCap, 0.3, &sent);
        return sampler.saw_held() || sent >= kCap;
      },
      60.0));
  std::shared_ptr<tarn::Connection> conn = service_.last_conn();
  ASSERT_NE(conn, nullptr);
  // Before the hold the server took every request and queued every answer
  // (over a GiB); now the kernel's buffers end what the client can send.
  EXPECT_LT(sent, 96u << 20);
  EXPECT_TRUE(WaitFor([&] { return conn->IsClosed(); }, 30.0));
  EXPECT_TRUE(log.WaitForText("peer takes no output, close connection", 5.0));
  sampler.Stop();
  EXPECT_TRUE(sampler.saw_held());
  EXPECT_GT(sampler.max_unsent(), kHigh);
  EXPECT_LE(sampler.max_unsent(), kHigh + kCall + kFrameSlack);
  // Received and not yet served: at most one socket read (the ring's free
  // space and a 64 KiB spill).
  EXPECT_LT(sampler.max_input(), 256u << 10);
  EXPECT_LE(static_cast<size_t>(service_.writes()) * kCall, sent);
  conn.reset();
  close(fd);
  EXPECT_TRUE(PoolsFull());

  const int other = RawConnect(port_);
  ASSERT_GE(other, 0);
  ASSERT_TRUE(SendAll(other, WriteRequestFrame(7, 8)));
  tarn::RpcHeader header;
  vovorav::BlockServerWriteResponse resp;
  ASSERT_TRUE(ReadResponse(other, &header, &resp));
  EXPECT_EQ(header.seq_no(), 7u);
  close(other);
}

// A client pipelining 300 echo calls of 1 MiB and reading the answers slowly
// (small reads, a rest every 32 answers): it is slowed by the hold, never
// refused or cut off, and every answer comes back whole and in order, while
// the server's unsent output for it stays within the mark plus one answer.
TEST_F(ServerHold, SlowReaderOfPipelinedLargeCallsGetsEveryAnswer) {
  // Short enough that a stall would show; the reader never stops for long.
  output_hold_.stall_timeout_s = 2.0;
  StartServer();
  const size_t kCall = 1 << 20;
  const uint64_t kCalls = 300;
  const std::string base = Pattern(kCall, 'p');
  const int fd = RawConnect(port_, 256 << 10);
  ASSERT_GE(fd, 0);

  std::atomic<bool> sent_all{false};
  std::thread writer([&] {
    bool ok = true;
    std::string frame = EchoFrame(1, base);
    for (uint64_t seq = 1; seq <= kCalls && ok; ++seq) {
      SetEchoSeq(&frame, seq);
      ok = SendAll(fd, frame);
    }
    sent_all = ok;
  });
  OutputSampler sampler(service_);

  AnswerChecker checker(base);
  std::vector<char> chunk(256 << 10);
  uint64_t rested_at = 0;
  bool ok = true;
  while (ok && checker.answered() < kCalls) {
    // Every 32 answers the reader rests until the server holds back (while
    // enough calls are left to take it past the mark), however fast or slow
    // the machine makes either side.
    if (checker.answered() >= rested_at && kCalls - checker.answered() >= 64) {
      rested_at += 32;
      WaitFor([&] { return sampler.held_now(); }, 2.0);
    }
    const ssize_t n = ::recv(fd, chunk.data(), chunk.size(), 0);
    if (n <= 0) break;
    ok = checker.Feed(chunk.data(), static_cast<size_t>(n));
    std::this_thread::sleep_for(std::chrono::microseconds(300));
  }
  // A failed reader lets a writer blocked on a held server go.
  if (checker.answered() < kCalls) ::shutdown(fd, SHUT_RDWR);
  writer.join();
  sampler.Stop();
  EXPECT_TRUE(ok) << "wrong answer after " << checker.answered();
  EXPECT_EQ(checker.answered(), kCalls);
  EXPECT_TRUE(sent_all);
  EXPECT_EQ(service_.writes(), static_cast<int>(kCalls));
  std::shared_ptr<tarn::Connection> conn = service_.last_conn();
  ASSERT_NE(conn, nullptr);
  EXPECT_FALSE(conn->IsClosed());
  EXPECT_TRUE(sampler.saw_held());
  EXPECT_LE(sampler.max_unsent(), kHigh + kCall + kFrameSlack);
  // A partial request and one socket read.
  EXPECT_LT(sampler.max_input(), 2 * kCall + (256u << 10));
  conn.reset();
  close(fd);
  EXPECT_TRUE(PoolsFull());
}

// A client that asks for large answers with small requests and sends them
// far faster than it reads: a held connection takes its requests already
// received before it reads the socket again, so the server's input stays
// within one socket read instead of taking in everything the client sends.
TEST_F(ServerHold, RequestsSentFasterThanAnswersAreReadStayInTheKernel) {
  output_hold_.stall_timeout_s = 2.0;
  StartServer();
  const uint64_t kCalls = 16000;  // about 800 KB of requests for 16 GB of answers
  std::string requests;
  for (uint64_t seq = 1; seq <= kCalls; ++seq) {
    vovorav::BlockServerReadRequest req;
    req.set_lba(seq);
    req.set_size(1 << 20);
    requests += BuildFrame("BlockServerService", "Read", RequestHeader(seq, 1),
                           req.SerializeAsString());
  }
  const int fd = RawConnect(port_, 256 << 10);
  ASSERT_GE(fd, 0);
  std::thread writer([&] { SendAll(fd, requests); });
  OutputSampler sampler(service_);

  // A hundred answers' worth, read in small steps with a rest every 16.
  // The first rest lasts until the server holds the connection's reading:
  // a server slowed down (a sanitizer, a busy machine) may otherwise never
  // get ahead of this reader.
  std::vector<char> chunk(256 << 10);
  size_t taken = 0;
  size_t rested_at = 0;
  while (taken < (100u << 20)) {
    if (taken >= rested_at) {
      if (rested_at == 0) WaitFor([&sampler] { return sampler.held_now(); });
      rested_at += 16u << 20;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    const ssize_t n = ::recv(fd, chunk.data(), chunk.size(), 0);
    if (n <= 0) break;
    taken += static_cast<size_t>(n);
    std::this_thread::sleep_for(std::chrono::microseconds(300));
  }
  std::shared_ptr<tarn::Connection> conn = service_.last_conn();
  ::shutdown(fd, SHUT_RDWR);  // lets the writer go
  writer.join();
  sampler.Stop();
  EXPECT_GE(taken, 100u << 20);
  EXPECT_TRUE(sampler.saw_held());
  EXPECT_LE(sampler.max_unsent(), kHigh + (1 << 20) + kFrameSlack);
  // One read takes at most the ring's free space (8 KiB at first) and a
  // 64 KiB spill; reading ahead would have taken in the whole 800 KB.
  EXPECT_LT(sampler.max_input(), 256u << 10);
  // Closed with answers unread: the server's next write fails.
  close(fd);
  if (conn) {
    EXPECT_TRUE(WaitFor([&] { return conn->IsClosed(); }));
  }
  conn.reset();
  EXPECT_TRUE(PoolsFull());
}

// Clients pipelining 40 echo calls of 1 MiB: readers taking their answers
// slowly but steadily, side by side with one that never reads. A slow
// reader's kernel acknowledges in pieces of tens of KiB, seconds apart,
// while its socket turns writable only once a third of the send buffer has
// drained (minutes at these rates): the readers are served past the stall
// timeout, never cut off, and the client that takes nothing is closed once
// the stall timeout has passed, each held within the mark meanwhile.
struct SlowReadersCase {
  const char* name;
  double stall_s;
  std::vector<size_t> rates;  // bytes a second, one reader each
  double serve_s;
  // Long: run in the plain build only, the short case covers the same code
  // under the sanitizers.
  bool long_case;
};

void PrintTo(const SlowReadersCase& c, std::ostream* os) { *os << c.name; }

class SlowReaders : public RpcFixture, public ::testing::WithParamInterface<SlowReadersCase> {};

TEST_P(SlowReaders, AreServedPastTheStallTimeWhileANonReaderIsClosed) {
  SlowReadersCase c = GetParam();
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  if (c.long_case) GTEST_SKIP() << "long case: plain build only";
  // A sanitizer build on a busy machine can leave a reader off its CPU for
  // seconds: a short stall time is then missed by a reader that keeps pace.
  c.stall_s *= 2;
  c.serve_s *= 2;
#endif
  output_hold_.stall_timeout_s = c.stall_s;
  StartServer();
  testsupport::LogCapture log;
  const size_t kCall = 1 << 20;
  const uint64_t kCalls = 40;
  const std::string base = Pattern(kCall, 'r');

  struct Client {
    size_t rate = 0;  // 0: never reads
    int fd = -1;
    std::shared_ptr<tarn::Connection> conn;
    std::unique_ptr<OutputSampler> sampler;
    std::thread writer;
    std::thread reader;
    std::atomic<size_t> taken{0};
    std::atomic<bool> read_ok{true};
  };
  std::vector<size_t> rates = c.rates;
  rates.push_back(0);
  std::vector<std::unique_ptr<Client>> clients;
  // Each client's first call is answered before the next client connects,
  // so that the service's last connection is that client's.
  for (size_t rate : rates) {
    clients.emplace_back(new Client);
    Client& cl = *clients.back();
    cl.rate = rate;
    cl.fd = RawConnect(port_);
    ASSERT_GE(cl.fd, 0);
    ASSERT_TRUE(SendAll(cl.fd, EchoFrame(1, base)));
    const int answered = static_cast<int>(clients.size());
    ASSERT_TRUE(WaitFor([&] { return service_.writes() == answered; }));
    cl.conn = service_.last_conn();
    ASSERT_NE(cl.conn, nullptr);
    std::shared_ptr<tarn::Connection> conn = cl.conn;
    cl.sampler.reset(new OutputSampler([conn] { return conn; }));
  }
  for (auto& cl : clients) {
    const int fd = cl->fd;
    cl->writer = std::thread([&base, fd] {
      std::string frame = EchoFrame(2, base);
      for (uint64_t seq = 2; seq <= kCalls; ++seq) {
        SetEchoSeq(&frame, seq);
        if (!SendAll(fd, frame)) return;
      }
    });
  }
  // Each reader takes rate / 10 bytes every 100 ms for serve_s, from the
  // moment the server holds its reading: these are readers served while
  // held, and a loaded sanitizer build can take seconds to get an output
  // past the mark (the stall is judged from the hold on, not before).
  for (auto& cl : clients) {
    if (cl->rate == 0) continue;
    Client* r = cl.get();
    r->reader = std::thread([r, &base, &c] {
      AnswerChecker checker(base);
      std::vector<char> piece(r->rate / 10);
      const auto held_by = std::chrono::steady_clock::now() + std::chrono::seconds(60);
      while (!r->sampler->saw_held() && std::chrono::steady_clock::now() < held_by) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
      const auto start = std::chrono::steady_clock::now();
      const auto end = start + std::chrono::duration<double>(c.serve_s);
      for (int tick = 1;; ++tick) {
        if (!testsupport::ReadFull(r->fd, piece.data(), piece.size()) ||
            !checker.Feed(piece.data(), piece.size())) {
          r->read_ok = false;
          return;
        }
        r->taken += piece.size();
        const auto next = start + std::chrono::milliseconds(100 * tick);
        if (next >= end) return;
        std::this_thread::sleep_until(next);
      }
    });
  }
  for (auto& cl : clients) {
    if (cl->reader.joinable()) cl->reader.join();
  }
  // The readers are still served; the client that took nothing is closed
  // once nothing moved for the stall timeout.
  Client& never = *clients.back();
  for (auto& cl : clients) {
    if (cl->rate == 0) continue;
    SCOPED_TRACE(cl->rate);
    EXPECT_TRUE(cl->read_ok);
    EXPECT_FALSE(cl->conn->IsClosed());
    // Every piece on time but a few late ones on a loaded machine.
    EXPECT_GE(cl->taken, static_cast<size_t>(0.8 * c.serve_s * static_cast<double>(cl->rate)));
    EXPECT_TRUE(cl->sampler->saw_held());
    EXPECT_EQ(log.LineWith("peer takes no output, close connection, conn_name: " +
                           cl->conn->name() + ","),
              "");
  }
  EXPECT_TRUE(WaitFor([&] { return never.conn->IsClosed(); }, 2 * c.stall_s + 30));
  EXPECT_NE(log.LineWith("peer takes no output, close connection, conn_name: " +
                         never.conn->name() + ","),
            "");
  for (auto& cl : clients) ::shutdown(cl->fd, SHUT_RDWR);  // lets the writers go
  for (auto& cl : clients) {
    cl->writer.join();
    cl->sampler->Stop();
    EXPECT_LE(cl->sampler->max_unsent(), kHigh + kCall + kFrameSlack);
  }
  ASSERT_TRUE(never.sampler->saw_held());
  // Held from some time before the sampler saw it: closed no sooner than
  // the stall timeout after that, with room for a slow sample.
  EXPECT_GE(never.sampler->closed_s() - never.sampler->first_held_s(), 0.5 * c.stall_s);
  for (auto& cl : clients) {
    cl->conn.reset();
    close(cl->fd);
  }
  EXPECT_TRUE(PoolsFull());
}

// The first keeps the figures a client may rely on (README.md); the second
// scales stall time and rates alike, so each reader is acknowledged as
// often relative to the stall timeout.
INSTANTIATE_TEST_SUITE_P(
    Hold, SlowReaders,
    ::testing::Values(SlowReadersCase{"DefaultStall", tarn::kRpcOutputStallTimeoutS,
                                      {30000, 10000}, 45.0, true},
                      SlowReadersCase{"ShortStall", 3.0, {300000, 100000}, 4.5, false}),
    [](const ::testing::TestParamInfo<SlowReadersCase>& info) {
      return std::string(info.param.name);
    });

}  // namespace
}  // namespace rpctest
