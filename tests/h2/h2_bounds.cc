// The HTTP/2 bounds judged both ways on raw loopback sockets: clients that
// open their windows a byte at a time are held to the bound on answers held
// and closed, while clients that open them right behind their requests, or
// read slowly through a receive buffer their kernel grew to megabytes, are
// served in full. Spans and timeouts are shortened, and the readers' rates
// scaled up with them; the checks read the server's own accounting
// (H2Footprint).

#include "tarn/policy/h2_bounds.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "h2/h2_test_util.h"
#include "interop.pb.h"
#include "tarn/policy/h2_grpc.h"

namespace h2test {
namespace {

using tarn::H2_FRAME_RST_STREAM;
using tarn::H2_FRAME_WINDOW_UPDATE;

constexpr size_t kMiB = 1024 * 1024;

std::string LargeCall(Client* c, uint32_t id, size_t bytes, uint32_t gather = 0) {
  interop::EchoRequest req;
  req.set_answer_bytes(static_cast<uint32_t>(bytes));
  req.set_gather(gather);
  return c->EchoCall(id, req.SerializeAsString());
}

// Restores the process-wide times a case shortened.
struct ShortTimes {
  ShortTimes(double check, double span, double stall) {
    tarn::SetH2HeldCheckInterval(check);
    tarn::SetH2ProgressSpan(span);
    tarn::SetH2StalledAnswerTimeout(stall);
  }
  ~ShortTimes() {
    tarn::SetH2HeldCheckInterval(tarn::kH2DefaultHeldCheckS);
    tarn::SetH2ProgressSpan(tarn::kH2DefaultProgressSpanS);
    tarn::SetH2StalledAnswerTimeout(tarn::kH2DefaultStalledAnswerTimeoutS);
  }
};

class H2Bounds : public H2Test {
 protected:
  // Handshake with settings, then one small call answered, so that the
  // server's end of the connection is known. conn_window: opened on top of
  // the connection's first 65535 bytes.
  std::shared_ptr<tarn::Connection> Connect(Client* c,
                                            std::vector<std::pair<uint16_t, uint32_t>> settings,
                                            uint32_t conn_window = 1u << 30) {
    c->Handshake(settings);
    std::string bytes;
    if (conn_window > 0) bytes += FrameBytes(H2_FRAME_WINDOW_UPDATE, 0, 0, U32(conn_window));
    bytes += c->EchoCall(1, EchoMessage("hello")) +
             FrameBytes(H2_FRAME_WINDOW_UPDATE, 0, 1, U32(1 << 20));
    EXPECT_TRUE(c->Send(bytes));
    Response r;
    EXPECT_TRUE(c->ReadResponse(1, &r));
    EXPECT_EQ(r.grpc_status(), 0);
    return echo_.last_connection();
  }
};

// Clients that never read their socket and open a window one byte at a
// time, before their answers come or after, through their initial window,
// or through the connection window. Each 1-byte frame is taken into the
// client's kernel buffer, yet that trickle is no progress: the server holds
// at most the bound plus one answer for them (the stream windows count as
// closed at once, being too small for a frame), and closes the connection
// once the client has taken nothing for the span or the stalled-answer
// timeout.
TEST_F(H2Bounds, WindowTricklersAreHeldToTheBoundAndClosed) {
  struct Case {
    const char* name;
    uint32_t initial_window;  // SETTINGS_INITIAL_WINDOW_SIZE
    bool conn_trickle;        // the trickle opens the connection window
    bool open_before;         // a 1-byte WINDOW_UPDATE right behind each request
  };
  const std::vector<Case> cases = {
      {"stream window opened by 1 before the answer", 0, false, true},
      {"stream window opened by 1 after the answer", 0, false, false},
      {"initial window 1", 1, false, false},
      {"connection window opened by 1", 1u << 30, true, false},
  };
  constexpr uint32_t kCalls = 24;
  constexpr size_t kAnswer = 4 * kMiB;
  for (const Case& tc : cases) {
    SCOPED_TRACE(tc.name);
    TearDown();
    StartServer(256);
    ShortTimes times(0.05, 0.3, 0.6);
    Client c(port_);
    std::shared_ptr<tarn::Connection> conn =
        Connect(&c, {{4, tc.initial_window}}, tc.conn_trickle ? 0 : 1u << 30);
    ASSERT_NE(conn, nullptr);
    std::string bytes;
    std::vector<uint32_t> ids;
    for (uint32_t i = 0; i < kCalls; ++i) {
      ids.push_back(3 + 2 * i);
      bytes += LargeCall(&c, ids.back(), kAnswer);
      if (tc.open_before) bytes += FrameBytes(H2_FRAME_WINDOW_UPDATE, 0, ids.back(), U32(1));
    }
    ASSERT_TRUE(c.Send(bytes));
    // The trickle, every 10 ms, for at most ten stalled-answer timeouts.
    size_t most = 0;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(6);
    while (!conn->IsClosed() && std::chrono::steady_clock::now() < end) {
      bytes.clear();
      if (tc.conn_trickle) {
        bytes = FrameBytes(H2_FRAME_WINDOW_UPDATE, 0, 0, U32(1));
      } else {
        for (uint32_t id : ids) bytes += FrameBytes(H2_FRAME_WINDOW_UPDATE, 0, id, U32(1));
      }
      pollfd p{c.fd(), POLLOUT, 0};
      if (::poll(&p, 1, 0) == 1)
        ::send(c.fd(), bytes.data(), bytes.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
      tarn::H2Footprint f;
      if (ReadFootprint(conn, &f)) most = std::max(most, f.held_answers);
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(testsupport::WaitFor([&] { return conn->IsClosed(); }));
    EXPECT_GT(most, 0u);
    if (!tc.conn_trickle) {
      // Held at once; the connection-window trickler is held for a span.
      EXPECT_LE(most, tarn::kH2MaxHeldResponseBytes + kAnswer + 64 * 1024);
    }
  }
}

// A client that sets its initial window to 0 and sends, in the same write
// as its 24 calls for 4 MiB answers, a WINDOW_UPDATE opening each stream:
// the answers are judged once those have been read, and all are served.
// (Its hostile counterpart, a client that keeps the windows closed, is
// held to the bound: H2Hostile.ZeroWindowClientIsHeldToTheBound.)
TEST_F(H2Bounds, WindowsOpenedRightBehindTheRequestsAreServedInFull) {
  TearDown();
  StartServer(256);
  Client c(port_);
  std::shared_ptr<tarn::Connection> conn = Connect(&c, {{4, 0}});
  ASSERT_NE(conn, nullptr);
  constexpr uint32_t kCalls = 24;
  constexpr size_t kAnswer = 4 * kMiB;
  std::string bytes;
  std::vector<uint32_t> ids;
  for (uint32_t i = 0; i < kCalls; ++i) {
    ids.push_back(3 + 2 * i);
    bytes += LargeCall(&c, ids.back(), kAnswer);
  }
  for (uint32_t id : ids) bytes += FrameBytes(H2_FRAME_WINDOW_UPDATE, 0, id, U32(1u << 30));
  ASSERT_TRUE(c.Send(bytes));
  std::map<uint32_t, Response> answers;
  ASSERT_TRUE(c.ReadResponses(ids, &answers));
  for (uint32_t id : ids) {
    EXPECT_EQ(answers[id].grpc_status(), 0) << id;
    EXPECT_GT(answers[id].body.size(), kAnswer) << id;
  }
  EXPECT_FALSE(conn->IsClosed());
}

// Prompt readers whose stream windows are smaller than one frame of their
// own maximum size (both their free choice): each gives every DATA frame's
// bytes back as it reads it. Such a window carries frames of real size, so
// their answers are never held for them, and 80 pipelined calls for 1 MiB
// answers (80 MiB, past the held bound) are all served in full. Side by
// side, the same clients with a window just below a trickle's size, reading
// nothing: they are held to the bound plus one answer.
TEST_F(H2Bounds, PromptReadersWithWindowsBelowOneFrameAreServedInFull) {
  struct Case {
    const char* name;
    std::vector<std::pair<uint16_t, uint32_t>> settings;
    uint32_t conn_window;  // opened on top of the connection's first 65535
  };
  const std::vector<Case> cases = {
      {"frames 4194303, stream window 65535", {{5, 4194303}}, 1u << 30},
      {"frames 4194303, stream and connection windows 65535", {{5, 4194303}}, 0},
      {"frames 16384, stream window 8 KiB", {{4, 8192}}, 1u << 30},
  };
  constexpr uint32_t kCalls = 80;
  constexpr size_t kAnswer = kMiB;
  for (const Case& tc : cases) {
    for (const bool prompt : {true, false}) {
      SCOPED_TRACE(std::string(tc.name) + (prompt ? ", prompt reader" : ", window below a trickle"));
      TearDown();
      StartServer(256);
      Client c(port_);
      std::vector<std::pair<uint16_t, uint32_t>> settings = tc.settings;
      if (!prompt) settings.push_back({4, tarn::kH2TrickleFrameBytes - 1});
      std::shared_ptr<tarn::Connection> conn = Connect(&c, settings, tc.conn_window);
      ASSERT_NE(conn, nullptr);
      std::string bytes;
      std::vector<uint32_t> ids;
      for (uint32_t i = 0; i < kCalls; ++i) {
        ids.push_back(3 + 2 * i);
        bytes += LargeCall(&c, ids.back(), kAnswer);
      }
      ASSERT_TRUE(c.Send(bytes));
      if (!prompt) {
        tarn::H2Footprint f;
        EXPECT_TRUE(testsupport::WaitFor([&] {
          return ReadFootprint(conn, &f) &&
                 f.held_answers >= tarn::kH2MaxHeldResponseBytes - 2 * kAnswer;
        }));
        EXPECT_LE(f.peak_answers, tarn::kH2MaxHeldResponseBytes + kAnswer + 64 * 1024);
        continue;
      }
      c.ReturnWindows(true);
      std::map<uint32_t, Response> answers;
      ASSERT_TRUE(c.ReadResponses(ids, &answers, 120.0));
      size_t refused = 0;
      for (uint32_t id : ids) {
        if (answers[id].grpc_status() != 0) refused++;
        EXPECT_GT(answers[id].body.size(), kAnswer) << id;
      }
      EXPECT_EQ(refused, 0u);
      EXPECT_FALSE(conn->IsClosed());
    }
  }
}

// A frame that only the connection window would cut below 1 KiB waits
// for more of it, so that a prompt reader sharing its window among many
// streams is not sent ever smaller frames. A client may keep most of that
// window for good, though (bytes of an answer it has not read yet), and
// give back promptly only what it is sent: with 512 bytes left, its next
// answer still comes (in slivers, once a check interval has passed
// without its update), while a prompt reader of many answers through the
// default connection window gets no frame below 1 KiB but each answer's
// last.
TEST_F(H2Bounds, ConnectionWindowKeptBelowOneKiBStillCarriesAnswers) {
  ShortTimes times(0.2, tarn::kH2DefaultProgressSpanS, tarn::kH2DefaultStalledAnswerTimeoutS);
  {
    SCOPED_TRACE("512 bytes of the connection window left for good");
    Client c(port_);
    constexpr uint32_t kFirstWindow = 65535 - 512;
    c.Handshake({{4, kFirstWindow}});
    ASSERT_TRUE(c.Send(LargeCall(&c, 1, kMiB)));
    size_t first = 0;
    while (first < kFirstWindow) {
      Frame f;
      ASSERT_TRUE(c.Read(&f, 30.0));
      if (f.type == tarn::H2_FRAME_DATA && f.stream == 1) first += f.payload.size();
      Fields fields;  // the decoder follows every block
      if (f.type == tarn::H2_FRAME_HEADERS) {
        ASSERT_TRUE(c.Decode(f.payload, &fields));
      }
    }
    ASSERT_EQ(first, kFirstWindow);
    c.ReturnWindows(true);  // of stream 3 only: stream 1 is not read on
    ASSERT_TRUE(c.Send(LargeCall(&c, 3, 4000)));
    Response r;
    ASSERT_TRUE(c.ReadResponse(3, &r, 20.0));
    EXPECT_EQ(r.grpc_status(), 0);
    EXPECT_GT(r.body.size(), 4000u);
  }
  {
    SCOPED_TRACE("prompt reader of many answers through the default connection window");
    Client c(port_);
    c.Handshake({{4, 1u << 30}});
    c.ReturnWindows(true);
    std::string bytes;
    std::vector<uint32_t> ids;
    for (uint32_t i = 0; i < 32; ++i) {
      ids.push_back(1 + 2 * i);
      bytes += LargeCall(&c, ids.back(), 100000 + 777 * i);
    }
    ASSERT_TRUE(c.Send(bytes));
    std::map<uint32_t, Response> answers;
    ASSERT_TRUE(c.ReadResponses(ids, &answers, 60.0));
    for (uint32_t id : ids) {
      const Response& r = answers[id];
      EXPECT_EQ(r.grpc_status(), 0) << id;
      ASSERT_FALSE(r.data_sizes.empty()) << id;
      for (size_t i = 0; i + 1 < r.data_sizes.size(); ++i) {
        EXPECT_GE(r.data_sizes[i], tarn::kH2TrickleFrameBytes) << id << " frame " << i;
      }
    }
  }
}

// A frame that waits for connection window the client keeps waits one
// held-check interval from when it began, whatever the held checks before
// it, and a wait after one whose stream went starts afresh. The client
// keeps 512 bytes of that window unreturned (it read a first answer of
// 65023 bytes without giving them back) and gives back all it reads after.
TEST_F(H2Bounds, ConnectionWindowWaitLastsOneIntervalFromItsStart) {
  // A wait timed from the checks before it would last two intervals: the
  // upper bound sits far enough from both that a busy machine's delays do
  // not reach it.
  constexpr double kInterval = 1.0;
  ShortTimes times(kInterval, tarn::kH2DefaultProgressSpanS, tarn::kH2DefaultStalledAnswerTimeoutS);
  using Clock = std::chrono::steady_clock;
  auto seconds_since = [](Clock::time_point t) {
    return std::chrono::duration<double>(Clock::now() - t).count();
  };
  // A connection with 512 bytes of its window left; its next stream is 3.
  auto keep_512 = [&](Client* c) {
    c->Handshake({{4, 1u << 30}});
    // 65014 payload bytes make DATA of 65023 with the message's framing.
    ASSERT_TRUE(c->Send(LargeCall(c, 1, 65014)));
    Response first;
    ASSERT_TRUE(c->ReadResponse(1, &first));
    ASSERT_EQ(first.body.size(), 65535u - 512);
    c->ReturnWindows(true);
  };
  {
    SCOPED_TRACE("one wait");
    Client c(port_);
    keep_512(&c);
    const Clock::time_point asked = Clock::now();
    ASSERT_TRUE(c.Send(LargeCall(&c, 3, 4000)));
    Response r;
    ASSERT_TRUE(c.ReadResponse(3, &r));
    EXPECT_EQ(r.grpc_status(), 0);
    const double waited = seconds_since(asked);
    EXPECT_GE(waited, kInterval - 0.01);
    EXPECT_LT(waited, 1.75 * kInterval);
  }
  {
    SCOPED_TRACE("a wait after one whose stream went");
    Client c(port_);
    keep_512(&c);
    ASSERT_TRUE(c.Send(LargeCall(&c, 3, 4000)));
    std::this_thread::sleep_for(std::chrono::duration<double>(0.5 * kInterval));
    const Clock::time_point asked = Clock::now();
    ASSERT_TRUE(c.Send(FrameBytes(H2_FRAME_RST_STREAM, 0, 3, U32(tarn::H2_CANCEL)) +
                       LargeCall(&c, 5, 4000)));
    Response r;
    ASSERT_TRUE(c.ReadResponse(5, &r));
    EXPECT_EQ(r.grpc_status(), 0);
    const double waited = seconds_since(asked);
    EXPECT_GE(waited, kInterval - 0.01);
    EXPECT_LT(waited, 1.75 * kInterval);
  }
}

// Requests parked at the held bound are cancelled by the client in the
// same read (its deadlines expired): their calls are never made and nothing
// of them stays, while the calls before them are made and their answers
// held; then, with the server stopping, the requests still parked and
// those sent later are refused (REFUSED_STREAM) after GOAWAY, with no call
// made either.
TEST_F(H2Bounds, ParkedRequestsCancelledOrRefusedMakeNoCall) {
  Client c(port_);
  std::shared_ptr<tarn::Connection> conn = Connect(&c, {{4, 0}});
  ASSERT_NE(conn, nullptr);
  constexpr uint32_t kCalls = tarn::kH2MaxOpenStreams;
  constexpr uint32_t kCancelled = 32;  // the last ones, well past the bound
  std::string bytes;
  std::vector<uint32_t> ids;
  for (uint32_t i = 0; i < kCalls; ++i) {
    ids.push_back(3 + 2 * i);
    bytes += LargeCall(&c, ids.back(), kMiB);
  }
  for (uint32_t i = kCalls - kCancelled; i < kCalls; ++i) {
    bytes += FrameBytes(H2_FRAME_RST_STREAM, 0, ids[i], U32(tarn::H2_CANCEL));
  }
  const size_t calls_before = echo_.calls();
  ASSERT_TRUE(c.Send(bytes));
  tarn::H2Footprint f;
  ASSERT_TRUE(testsupport::WaitFor([&] {
    return ReadFootprint(conn, &f) && f.streams == kCalls - kCancelled;
  })) << f.streams << " streams, " << f.reset_calls << " reset calls";
  // Calls until their answers reach the bound (each a little over 1 MiB).
  const size_t made = echo_.calls() - calls_before;
  EXPECT_GE(made, tarn::kH2MaxHeldResponseBytes / kMiB - 1);
  EXPECT_LE(made, tarn::kH2MaxHeldResponseBytes / kMiB + 1);
  EXPECT_EQ(f.parked_requests, kCalls - kCancelled - made);
  EXPECT_EQ(f.reset_calls, 0u);
  EXPECT_LE(f.peak_answers, tarn::kH2MaxHeldResponseBytes + kMiB + 1024);
  // The stop: the streams still waiting for their windows are answers to
  // wait for; the parked requests, and new ones however they are read, are
  // refused.
  server_->set_stop_deadline(1.0);
  std::thread stopper([this] { server_->Stop(); });
  Frame goaway;
  ASSERT_TRUE(c.ReadType(tarn::H2_FRAME_GOAWAY, &goaway));
  std::vector<uint32_t> parked(ids.begin() + made, ids.end() - kCancelled);
  bytes.clear();
  std::vector<uint32_t> late = parked;
  for (uint32_t i = 0; i < 4; ++i) {
    late.push_back(ids.back() + 2 + 2 * i);
    bytes += LargeCall(&c, late.back(), kMiB);
  }
  const size_t calls_at_stop = echo_.calls();
  ASSERT_TRUE(c.Send(bytes));
  std::map<uint32_t, Response> refused;
  ASSERT_TRUE(c.ReadResponses(late, &refused));
  for (uint32_t id : late) {
    EXPECT_TRUE(refused[id].reset) << id;
    EXPECT_EQ(refused[id].reset_code, static_cast<uint32_t>(tarn::H2_REFUSED_STREAM)) << id;
  }
  EXPECT_EQ(echo_.calls(), calls_at_stop);
  // The answers held for closed windows are not waited for past the
  // deadline, and the client then sees the connection close.
  c.ReturnWindows(true);
  stopper.join();
  EXPECT_TRUE(c.Closes());
}

// Reads frames at a steady pace and notes how each answer ended.
class SteadyReader {
 public:
  SteadyReader(Client* c) : c_(c) {}
  // Takes up to n bytes from the socket; false once it is closed.
  bool Take(size_t n) {
    std::string chunk(std::min<size_t>(n, 8 << 20), '\0');
    while (n > 0) {
      const ssize_t got = ::recv(c_->fd(), &chunk[0], std::min(n, chunk.size()), MSG_DONTWAIT);
      if (got == 0) return false;
      if (got < 0) break;
      in_.append(chunk, 0, static_cast<size_t>(got));
      n -= static_cast<size_t>(got);
    }
    Parse();
    return true;
  }
  size_t resets() const { return resets_; }
  size_t goaways() const { return goaways_; }
  int status(uint32_t id) const {
    auto it = status_.find(id);
    return it == status_.end() ? -1 : it->second;
  }

 private:
  void Parse() {
    size_t off = 0;
    while (in_.size() - off >= tarn::kH2FrameHeadSize) {
      const unsigned char* h = reinterpret_cast<const unsigned char*>(in_.data() + off);
      const size_t len = (size_t{h[0]} << 16) | (size_t{h[1]} << 8) | h[2];
      if (in_.size() - off < tarn::kH2FrameHeadSize + len) break;
      const uint32_t stream = ReadU32(in_, off + 5) & 0x7fffffffu;
      if (h[3] == tarn::H2_FRAME_RST_STREAM) resets_++;
      if (h[3] == tarn::H2_FRAME_GOAWAY) goaways_++;
      if (h[3] == tarn::H2_FRAME_HEADERS) {
        Fields fields;
        EXPECT_TRUE(c_->Decode(in_.substr(off + tarn::kH2FrameHeadSize, len), &fields));
        for (const auto& f : fields) {
          if (f.first == "grpc-status") status_[stream] = std::stoi(f.second);
        }
      }
      off += tarn::kH2FrameHeadSize + len;
    }
    in_.erase(0, off);
  }

  Client* c_;
  std::string in_;
  size_t resets_ = 0;
  size_t goaways_ = 0;
  std::map<uint32_t, int> status_;
};

// Every answer byte built and not yet sent is held, whatever the stream
// window: a client asking for 200 answers in one write, its connection
// window wide open and its stream windows at W, never opened further, takes
// each stream's first W bytes and nothing more. At the bound the
// connection makes no new call (its requests are parked), so it holds at
// most the bound plus one answer at every moment; none is refused, and the
// progress judgement ends it. Side by side, prompt readers with the same
// windows (each frame's bytes given back as they are read), and one that
// opens its windows right behind its requests, are served in full past the
// bound, paced by what they take and held within the same bound meanwhile.
TEST_F(H2Bounds, HeldAnswersAreBoundedWhateverTheStreamWindow) {
  struct Case {
    uint32_t window;  // SETTINGS_INITIAL_WINDOW_SIZE
    size_t answer;
    bool prompt;  // reads and gives every frame's bytes back; else takes what comes
    bool open_behind;  // a WINDOW_UPDATE opening each stream, behind the requests
  };
  const std::vector<Case> cases = {
      {0, kMiB, false, false},         {1024, kMiB, false, false},
      {16384, kMiB, false, false},     {65535, kMiB, false, false},
      {0, 4 * kMiB, false, false},     {1024, 4 * kMiB, false, false},
      {16384, 4 * kMiB, false, false}, {65535, 4 * kMiB, false, false},
      {1024, 4 * kMiB, true, false},   {16384, 4 * kMiB, true, false},
      {65535, 4 * kMiB, true, false},  {0, kMiB, false, true},
  };
  const size_t bound = tarn::kH2MaxHeldResponseBytes;
  for (const Case& tc : cases) {
    SCOPED_TRACE("window " + std::to_string(tc.window) + ", answers of " +
                 std::to_string(tc.answer) + (tc.prompt ? ", prompt reader" : "") +
                 (tc.open_behind ? ", windows opened behind the requests" : ""));
    TearDown();
    StartServer(256);
    const bool served = tc.prompt || tc.open_behind;
    // Short spans for the clients that take nothing; the default ones for
    // the well-behaved, which a busy machine must not make look stalled.
    ShortTimes times(served ? tarn::kH2DefaultHeldCheckS : 0.05,
                     served ? tarn::kH2DefaultProgressSpanS : 0.3,
                     served ? tarn::kH2DefaultStalledAnswerTimeoutS : 0.6);
    // A receive buffer that stays small keeps the judgement's span short.
    Client c(port_, served ? 0 : 256 * 1024);
    std::shared_ptr<tarn::Connection> conn = Connect(&c, {{4, tc.window}});
    ASSERT_NE(conn, nullptr);
    // The well-behaved ask for as many answers as they may have open.
    const uint32_t calls = served ? (tc.prompt ? 24 : tarn::kH2MaxOpenStreams) : 200;
    std::string bytes;
    std::vector<uint32_t> ids;
    for (uint32_t i = 0; i < calls; ++i) {
      ids.push_back(3 + 2 * i);
      bytes += LargeCall(&c, ids.back(), tc.answer);
    }
    if (tc.open_behind) {
      for (uint32_t id : ids) bytes += FrameBytes(H2_FRAME_WINDOW_UPDATE, 0, id, U32(1u << 30));
    }
    const size_t calls_before = echo_.calls();
    ASSERT_TRUE(c.Send(bytes));
    tarn::H2Footprint f;
    if (served) {
      c.ReturnWindows(tc.prompt);
      std::map<uint32_t, Response> answers;
      ASSERT_TRUE(c.ReadResponses(ids, &answers, 120.0));
      for (uint32_t id : ids) {
        EXPECT_EQ(answers[id].grpc_status(), 0) << id;
        EXPECT_GT(answers[id].body.size(), tc.answer) << id;
      }
      EXPECT_FALSE(conn->IsClosed());
      ASSERT_TRUE(ReadFootprint(conn, &f));
      EXPECT_LE(f.peak_answers, bound + tc.answer + 1024);
      continue;
    }
    // Takes whatever comes until the connection is closed.
    SteadyReader reader(&c);
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (reader.Take(size_t{64} << 20) && std::chrono::steady_clock::now() < end) {
      pollfd p{c.fd(), POLLIN, 0};
      ::poll(&p, 1, 10);
    }
    EXPECT_TRUE(testsupport::WaitFor([&] { return conn->IsClosed(); }));
    // The most it held, read from its context once closed.
    conn->worker()->loop()->RunInLoop(
        [&] {
          if (conn->h2_context() != nullptr) f = conn->h2_context()->Footprint();
        },
        false);
    EXPECT_GE(f.peak_answers, bound - tc.answer);
    EXPECT_LE(f.peak_answers, bound + tc.answer + 1024);
    EXPECT_LE(echo_.calls() - calls_before, bound / (tc.answer - tc.window) + 1);
    for (uint32_t id : ids) {
      EXPECT_NE(reader.status(id), static_cast<int>(tarn::GRPC_RESOURCEEXHAUSTED)) << id;
    }
  }
}

// Calls of a service that answers later, on another thread, all made before
// the first answer came (nothing was held then), for a client that keeps its
// stream windows closed: their answers are held in full when they come, past
// the bound (the bound stops new calls, not those already running), the next
// request waits, and the progress judgement still ends the client.
TEST_F(H2Bounds, AnswersOfCallsAlreadyRunningAreHeldAndTheClientStillJudged) {
  TearDown();
  StartServer(256);
  ShortTimes times(0.05, 0.3, 0.6);
  Client c(port_, 256 * 1024);
  std::shared_ptr<tarn::Connection> conn = Connect(&c, {{4, 0}});
  ASSERT_NE(conn, nullptr);
  constexpr uint32_t kCalls = 96;
  std::string bytes;
  for (uint32_t i = 0; i < kCalls; ++i) bytes += LargeCall(&c, 3 + 2 * i, kMiB, 1);
  ASSERT_TRUE(c.Send(bytes));
  ASSERT_TRUE(testsupport::WaitFor([&] { return echo_.held() == kCalls; }));
  EXPECT_EQ(echo_.Release(), kCalls);
  tarn::H2Footprint f;
  ASSERT_TRUE(testsupport::WaitFor(
      [&] { return !ReadFootprint(conn, &f) || f.held_answers > tarn::kH2MaxHeldResponseBytes; }));
  const size_t calls = echo_.calls();
  if (c.Send(LargeCall(&c, 3 + 2 * kCalls, kMiB)) && ReadFootprint(conn, &f)) {
    EXPECT_LE(f.peak_answers, kCalls * (kMiB + 1024));
  }
  EXPECT_TRUE(testsupport::WaitFor([&] { return conn->IsClosed(); }));
  EXPECT_EQ(echo_.calls(), calls);
}



// A reader that first reads a large answer fast, so that its kernel grows
// its receive buffer to megabytes, then asks for 32 answers of 4 MiB and
// reads them at the promised rate (10 KB/s, or 1/1024 of its buffer a
// second when that is more, scaled with the shortened times). Its kernel
// acknowledges only after it has freed a ninth of that buffer, far apart;
// it is served for longer than the stalled-answer timeout at its window's
// scale and not refused, and every answer ends well once it reads fast.
// The same client reading nothing at all after its fast start (the large
// window it advertised is what stretches the span) is closed within that
// timeout.
TEST_F(H2Bounds, SlowReaderWithAnAutotunedBufferIsServedAndOneThatStopsIsClosed) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "256 MiB read fast: not under ThreadSanitizer";
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
  GTEST_SKIP() << "256 MiB read fast: not under ThreadSanitizer";
#endif
#endif
  struct Case {
    const char* name;
    bool reads;  // at the promised rate; else nothing after the fast start
  };
  for (const Case& tc : {Case{"reads at the promised rate", true}, Case{"stops", false}}) {
    SCOPED_TRACE(tc.name);
    TearDown();
    StartServer(256);
    // 20 times shorter than the defaults (20 s, 30 s): shorter still, a
    // reader kept off its CPU for a few seconds on a busy machine passes for
    // one that stopped, even while it reads its fast start.
    constexpr double kScale = 20;
    ShortTimes times(0.02, tarn::kH2DefaultProgressSpanS / kScale,
                     tarn::kH2DefaultStalledAnswerTimeoutS / kScale);
    Client c(port_);
    std::shared_ptr<tarn::Connection> conn = Connect(&c, {{4, 1u << 30}});
    ASSERT_NE(conn, nullptr);
    // Fast, in large reads: the kernel autotunes the buffer as the reader
    // keeps up.
    SteadyReader reader(&c);
    ASSERT_TRUE(c.Send(LargeCall(&c, 3, 256 * kMiB)));
    const auto fast_end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (reader.status(3) < 0 && std::chrono::steady_clock::now() < fast_end) {
      pollfd p{c.fd(), POLLIN, 0};
      ::poll(&p, 1, 100);
      ASSERT_TRUE(reader.Take(size_t{1} << 30));
    }
    ASSERT_EQ(reader.status(3), 0);
    int rcvbuf = 0;
    socklen_t len = sizeof(rcvbuf);
    ASSERT_EQ(::getsockopt(c.fd(), SOL_SOCKET, SO_RCVBUF, &rcvbuf, &len), 0);
    const double promised = std::max(10000.0, rcvbuf / 1024.0);
    const size_t rate = tc.reads ? static_cast<size_t>(promised * kScale) : 0;
    // The longest the rule may wait for this window's acknowledgements.
    const double stall = tarn::kH2DefaultStalledAnswerTimeoutS / kScale * tarn::kH2MaxSpanScale;
    std::string bytes;
    std::vector<uint32_t> ids;
    for (uint32_t i = 0; i < 32; ++i) {
      ids.push_back(5 + 2 * i);
      bytes += LargeCall(&c, ids.back(), 4 * kMiB, 32);
    }
    ASSERT_TRUE(c.Send(bytes));
    ASSERT_TRUE(testsupport::WaitFor([&] { return echo_.held() == 32; }));
    echo_.Release();
    if (!tc.reads) {
      EXPECT_TRUE(testsupport::WaitFor([&] { return conn->IsClosed(); }, 2 * stall));
      continue;
    }
    const auto start = std::chrono::steady_clock::now();
    auto next = start;
    while (std::chrono::steady_clock::now() - start < std::chrono::duration<double>(1.2 * stall)) {
      next += std::chrono::milliseconds(10);
      std::this_thread::sleep_until(next);
      ASSERT_TRUE(reader.Take(rate / 100)) << "closed; buffer " << rcvbuf << ", rate " << rate;
    }
    EXPECT_FALSE(conn->IsClosed()) << "buffer " << rcvbuf << ", rate " << rate;
    EXPECT_EQ(reader.resets(), 0u);
    EXPECT_EQ(reader.goaways(), 0u);
    // The rest, fast.
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    auto all_ended = [&] {
      for (uint32_t id : ids) {
        if (reader.status(id) < 0) return false;
      }
      return true;
    };
    while (!all_ended() && std::chrono::steady_clock::now() < end) {
      pollfd p{c.fd(), POLLIN, 0};
      ::poll(&p, 1, 100);
      if (!reader.Take(64 << 20)) break;
    }
    for (uint32_t id : ids) EXPECT_EQ(reader.status(id), 0) << id;
  }
}

// A connection paused for the calls of reset streams still notices its peer
// leaving, and parked calls keep no request headers: only the open streams
// do. (Its counterpart, a paused client that stays and is served once the
// calls end: H2Hostile.CallsOfResetStreamsAreHeldToTheirBound.)
TEST_F(H2Bounds, PausedConnectionNoticesItsPeerLeavingAndParkedCallsKeepNoHeaders) {
  TearDown();
  StartServer(1024);
  Client c(port_);
  std::shared_ptr<tarn::Connection> conn = Connect(&c, {{4, 1u << 30}});
  ASSERT_NE(conn, nullptr);
  // Every call brings 12 KiB of headers of its own.
  const Fields extra = {{"x-bulk", Noise(12 * 1024, 7)}};
  std::string bytes;
  for (uint32_t i = 0; i < tarn::kH2MaxResetCallsRunning; ++i) {
    const uint32_t id = 3 + 2 * i;
    bytes +=
        c.Request(id, kEchoPath, GrpcFrame(EchoMessage("held", "", 1)), "application/grpc", extra) +
        FrameBytes(H2_FRAME_RST_STREAM, 0, id, U32(tarn::H2_CANCEL));
  }
  // Open streams behind them wait, unread, with their headers.
  ASSERT_TRUE(c.Send(bytes));
  tarn::H2Footprint f;
  ASSERT_TRUE(testsupport::WaitFor([&] { return ReadFootprint(conn, &f) && f.input_paused; }));
  EXPECT_EQ(f.reset_calls, tarn::kH2MaxResetCallsRunning);
  EXPECT_LE(f.decoded_headers, tarn::kH2MaxOpenStreams * tarn::kH2MaxHeaderListBytes);
  EXPECT_LT(f.decoded_headers, 64 * 1024u);
  // The peer goes while the calls still run.
  ::shutdown(c.fd(), SHUT_RDWR);
  EXPECT_TRUE(testsupport::WaitFor([&] { return conn->IsClosed(); }));
  EXPECT_EQ(echo_.held(), tarn::kH2MaxResetCallsRunning);
  echo_.Release();
  EXPECT_TRUE(PoolFull());
}

// The progress judge on its own, case by case: what counts as taking, and
// how the span and the timeout grow with the window the client advertises.
TEST(H2Progress, JudgesTakingByPiecesOfTheClientsWindow) {
  using Clock = tarn::H2Progress::Clock;
  struct Case {
    const char* name;
    uint64_t window;
    uint64_t taken_per_check;  // over 1 s checks
    int checks;
    tarn::H2Progress::Verdict verdict;
  };
  const double span = tarn::kH2DefaultProgressSpanS;
  const std::vector<Case> cases = {
      {"small window, 10 KB/s", 128 * 1024, 10000, 60, tarn::H2Progress::kTaking},
      {"small window, a trickle of 100 B/s", 128 * 1024, 100, 25, tarn::H2Progress::kStalled},
      {"small window, a trickle until the timeout", 128 * 1024, 100, 31,
       tarn::H2Progress::kTimedOut},
      {"nothing taken", 0, 0, 21, tarn::H2Progress::kStalled},
      {"8 MiB window, 10 KB/s in pieces of a ninth", 8 * kMiB, 10000, 200,
       tarn::H2Progress::kTaking},
      {"8 MiB window, nothing for 100 s", 8 * kMiB, 0, 100, tarn::H2Progress::kTaking},
      {"8 MiB window, nothing for 161 s", 8 * kMiB, 0, 161, tarn::H2Progress::kStalled},
      {"32 MiB window, nothing for 241 s", 32 * kMiB, 0, 241, tarn::H2Progress::kTimedOut},
  };
  for (const Case& tc : cases) {
    SCOPED_TRACE(tc.name);
    tarn::H2Progress p;
    p.NoteWindow(tc.window);
    const Clock::time_point t0 = Clock::now();
    p.Start(t0, 0, 1ull << 30);
    // The kernel acknowledges a ninth of the window (or 96 KiB) at a time.
    const uint64_t piece = std::max<uint64_t>(96 * 1024, tc.window / 9);
    uint64_t read = 0;
    uint64_t acked = 0;
    tarn::H2Progress::Verdict v = tarn::H2Progress::kTaking;
    for (int i = 1; i <= tc.checks; ++i) {
      read += tc.taken_per_check;
      // A trickle is acknowledged as it comes; a reader by pieces.
      acked = tc.taken_per_check < 1000 ? read : read / piece * piece;
      v = p.Check(t0 + std::chrono::seconds(i), acked, 1ull << 30, false);
    }
    EXPECT_EQ(v, tc.verdict);
  }
  tarn::H2Progress p;
  EXPECT_DOUBLE_EQ(p.span(), span);
  p.NoteWindow(64 * kMiB);
  EXPECT_DOUBLE_EQ(p.span(), span * tarn::kH2MaxSpanScale);
}

}  // namespace
}  // namespace h2test
