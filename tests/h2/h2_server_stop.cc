// An RpcServer stopped or deleted while gRPC calls over HTTP/2 are held by
// the service: calls that end within the stop deadline are answered; a
// client whose call is still held past it sees its connection end at once,
// and the late done, run from the service's own thread or from the
// connection's loop, ends the call without the server (under
// AddressSanitizer a touch of the freed server or protocol fails the test).
#include <atomic>
#include <chrono>
#include <future>
#include <map>
#include <memory>
#include <thread>
#include <vector>

#include "h2/h2_test_util.h"
#include "support/log_capture.h"
#include "tarn/event/event_worker_colony.h"

namespace h2test {
namespace {

class H2ServerStop : public H2Test {
 protected:
  void SetUp() override {}
  void TearDown() override {
    H2Test::TearDown();
    if (colony_) colony_->Stop();
    colony_.reset();
  }

  // A server over a colony of its own, or over one the test owns (whose
  // loop outlives the server).
  void StartCase(bool outside_colony) {
    if (!outside_colony) {
      StartServer(64);
      return;
    }
    acceptor_.reset(new testsupport::WorkerOnThread("h2-acc"));
    ASSERT_NE(acceptor_->worker(), nullptr);
    tarn::WorkerOption opt;
    opt.name_prefix = "h2-srv-";
    opt.obj_pool_size = 64;
    colony_.reset(new tarn::EventWorkerColony(1, opt, nullptr));
    colony_->Start();
    server_.reset(new tarn::RpcServer(tarn::kTcp, acceptor_->worker(),
                                      tarn::SockAddress("127.0.0.1", 0, false), "h2_test", opt,
                                      colony_.get()));
    ASSERT_EQ(server_->AddService(&echo_), 0);
    ASSERT_EQ(server_->Start(), 0);
    port_ = server_->server()->listen_addr().ToPort();
    pool_ = 64;
  }

  std::unique_ptr<tarn::WorkerColony> colony_;
};

struct CutOffCase {
  const char* name;
  bool stop_first;  // Stop() before the server is deleted
  bool from_loop;   // done from the connection's loop, else the service's thread
  // Over a colony the test owns, whose loop outlives the server (always so
  // when done runs on the connection's loop).
  bool outside_colony = false;
};

TEST_F(H2ServerStop, ACallHeldPastTheDeadlineEndsAloneAfterTheServerIsDeleted) {
  const CutOffCase cases[] = {
      {"DeletedDoneFromServiceThread", false, false},
      {"StoppedDeletedDoneFromServiceThread", true, false},
      {"DeletedDoneFromConnectionLoop", false, true},
      {"StoppedDeletedDoneFromConnectionLoop", true, true},
      // The connection's loop still runs while another thread ends the call.
      {"OutsideColonyDeletedDoneFromServiceThread", false, false, true},
  };
  for (const CutOffCase& c : cases) {
    SCOPED_TRACE(c.name);
    testsupport::LogCapture logs;
    ASSERT_NO_FATAL_FAILURE(StartCase(c.from_loop || c.outside_colony));
    server_->set_stop_deadline(0.2);
    Client client(port_);
    client.Handshake();
    ASSERT_TRUE(client.Send(client.EchoCall(1, EchoMessage("held", "", 1))));
    ASSERT_TRUE(testsupport::WaitFor([this] { return echo_.held() == 1; }));
    tarn::Worker* conn_worker = echo_.last_connection()->worker();
    if (c.stop_first) server_->Stop();
    server_.reset();
    // The client learns at once: its connection ends without an answer.
    std::vector<Frame> seen;
    EXPECT_TRUE(client.Closes(&seen, 10.0));
    for (const Frame& f : seen) EXPECT_NE(f.stream, 1u);
    EXPECT_NE(logs.LineWith("calls still held past"), "");

    auto end = [this] { EXPECT_EQ(echo_.Release(), 1u); };
    if (c.from_loop) {
      ASSERT_TRUE(testsupport::RunSync(conn_worker, end));
      ASSERT_TRUE(testsupport::RunSync(conn_worker, [] {}));
    } else {
      std::thread(end).join();
    }
    if (colony_) colony_->Stop();
    colony_.reset();
    acceptor_.reset();
    for (const char* bad : {"returned twice", "does not belong", "still in use"}) {
      EXPECT_EQ(logs.LineWith(bad), "") << bad;
    }
  }
}

// A slow asynchronous service ends its calls from a thread of its own
// within the deadline, while the server stops (or is deleted): every call
// is answered before the connection ends.
TEST_F(H2ServerStop, CallsEndingWithinTheDeadlineAreAllAnswered) {
  for (const bool stop : {true, false}) {
    SCOPED_TRACE(stop ? "Stop" : "Delete");
    ASSERT_NO_FATAL_FAILURE(StartCase(false));
    server_->set_stop_deadline(20.0);
    Client client(port_);
    client.Handshake();
    std::vector<uint32_t> streams;
    std::string calls;
    for (uint32_t id = 1; id <= 15; id += 2) {
      streams.push_back(id);
      calls += client.EchoCall(id, EchoMessage("slow " + std::to_string(id), "", 1));
    }
    ASSERT_TRUE(client.Send(calls));
    ASSERT_TRUE(testsupport::WaitFor([&] { return echo_.held() == streams.size(); }));
    std::atomic<bool> stopping{false};
    std::thread slow([&] {
      while (!stopping.load()) std::this_thread::yield();
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
      EXPECT_EQ(echo_.Release(), streams.size());
    });
    stopping = true;
    if (stop) {
      server_->Stop();
      EXPECT_EQ(server_->FreeControllerCount(0), static_cast<int>(pool_));
    }
    server_.reset();
    slow.join();
    std::map<uint32_t, Response> responses;
    ASSERT_TRUE(client.ReadResponses(streams, &responses));
    for (uint32_t id : streams) {
      EXPECT_EQ(responses[id].grpc_status(), 0) << id;
      interop::EchoResponse echoed;
      ASSERT_GT(responses[id].body.size(), 5u) << id;
      ASSERT_TRUE(echoed.ParseFromString(responses[id].body.substr(5))) << id;
      EXPECT_EQ(echoed.payload(), "slow " + std::to_string(id));
    }
    acceptor_.reset();
  }
}

// The documented order with an outside colony: the colony stops, then the
// server goes. The done of a held gRPC call comes from the service's thread
// after the colony's loop ended, before or while the server is deleted:
// the call ends in place (nothing is left unfinished), the connection on
// the ended loop is closed and freed by the deletion, and under
// AddressSanitizer nothing is touched after it is freed, nor leaked.
TEST_F(H2ServerStop, ADoneAfterTheOutsideColonyStoppedEndsTheCallInPlace) {
  for (const bool racing : {false, true}) {
    SCOPED_TRACE(racing ? "done racing the deletion" : "done before the deletion");
    testsupport::LogCapture logs;
    ASSERT_NO_FATAL_FAILURE(StartCase(true));
    server_->set_stop_deadline(0.2);
    Client client(port_);
    client.Handshake();
    ASSERT_TRUE(client.Send(client.EchoCall(1, EchoMessage("held", "", 1))));
    ASSERT_TRUE(testsupport::WaitFor([this] { return echo_.held() == 1; }));
    colony_->Stop();
    std::thread end([this] { EXPECT_EQ(echo_.Release(), 1u); });
    if (!racing) end.join();
    server_.reset();
    if (racing) end.join();
    EXPECT_TRUE(client.Closes(nullptr, 10.0));
    EXPECT_EQ(logs.LineWith("left unfinished"), "");
    colony_.reset();
    acceptor_.reset();
    for (const char* bad : {"returned twice", "does not belong", "still in use"}) {
      EXPECT_EQ(logs.LineWith(bad), "") << bad;
    }
  }
}

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point begin) {
  return std::chrono::duration<double>(Clock::now() - begin).count();
}

// Once Stop() begins, the client is sent GOAWAY naming the last stream it
// opened, and a call it sends afterwards is refused with REFUSED_STREAM
// (not processed: a gRPC client retries it elsewhere); the calls admitted
// before are served in full, and Stop() returns as soon as they end.
TEST_F(H2ServerStop, StopSendsGoAwayRefusesNewStreamsAndServesTheAdmittedOnes) {
  constexpr double kDeadlineS = 20.0;
  ASSERT_NO_FATAL_FAILURE(StartCase(false));
  server_->set_stop_deadline(kDeadlineS);
  Client client(port_);
  client.Handshake();
  // Header blocks are encoded in the order they are sent.
  std::string calls = client.EchoCall(1, EchoMessage("first", "", 1));
  calls += client.EchoCall(3, EchoMessage("second", "", 1));
  ASSERT_TRUE(client.Send(calls));
  ASSERT_TRUE(testsupport::WaitFor([this] { return echo_.held() == 2; }));

  // Waited for also when an assertion below returns early.
  std::atomic<double> stop_s{-1};
  std::future<void> stopper = std::async(std::launch::async, [&] {
    const Clock::time_point begin = Clock::now();
    server_->Stop();
    stop_s = SecondsSince(begin);
  });
  Frame f;
  ASSERT_TRUE(client.ReadType(tarn::H2_FRAME_GOAWAY, &f));
  ASSERT_EQ(f.payload.size(), 8u);
  EXPECT_EQ(ReadU32(f.payload) & 0x7fffffffu, 3u);
  EXPECT_EQ(ReadU32(f.payload, 4), static_cast<uint32_t>(tarn::H2_NO_ERROR));

  // A client that sent before it saw the GOAWAY.
  ASSERT_TRUE(client.Send(client.EchoCall(5, EchoMessage("late"))));
  ASSERT_TRUE(client.ReadType(tarn::H2_FRAME_RST_STREAM, &f, 5));
  EXPECT_EQ(ReadU32(f.payload), static_cast<uint32_t>(tarn::H2_REFUSED_STREAM));
  EXPECT_EQ(echo_.calls(), 2u);

  // The admitted calls end a few milliseconds later.
  std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_EQ(echo_.Release(), 2u);
  std::map<uint32_t, Response> responses;
  ASSERT_TRUE(client.ReadResponses({1, 3}, &responses));
  for (uint32_t id : {1u, 3u}) {
    EXPECT_EQ(responses[id].grpc_status(), 0) << id;
    interop::EchoResponse echoed;
    ASSERT_GT(responses[id].body.size(), 5u) << id;
    ASSERT_TRUE(echoed.ParseFromString(responses[id].body.substr(5))) << id;
    EXPECT_EQ(echoed.payload(), id == 1 ? "first" : "second");
  }
  stopper.get();
  // A generous bound: the calls ended within milliseconds of the stop.
  EXPECT_GE(stop_s.load(), 0.0);
  EXPECT_LT(stop_s.load(), kDeadlineS / 2);
  EXPECT_TRUE(client.Closes(nullptr, 10.0));
}

// A 1 MiB answer handed to the connection, most of it still waiting for
// the client's windows when Stop() is called. A prompt reader with the
// default windows is served all of it before the connection closes; a
// client that never reads holds Stop() no longer than its deadline.
TEST_F(H2ServerStop, StopDeliversWaitingAnswersToAPromptReaderOnly) {
  constexpr double kDeadlineS = 3.0;
  // The answer's DATA bytes: gRPC prefix, field tag, 3-byte length, payload.
  constexpr size_t kAnswerBytes = 1048585;
  for (const bool reads : {true, false}) {
    SCOPED_TRACE(reads ? "prompt reader" : "never reads");
    testsupport::LogCapture logs;
    ASSERT_NO_FATAL_FAILURE(StartCase(false));
    server_->set_stop_deadline(kDeadlineS);
    Client client(port_, reads ? 0 : 4096);
    client.Handshake();
    interop::EchoRequest req;
    req.set_answer_bytes(1 << 20);
    const size_t calls = echo_.calls();
    ASSERT_TRUE(client.Send(client.EchoCall(1, req.SerializeAsString())));
    // Answered and handed on: the call is over, the answer waits for the
    // client's windows.
    ASSERT_TRUE(testsupport::WaitFor([&] { return echo_.calls() == calls + 1; }));
    ASSERT_TRUE(PoolFull());

    // Waited for also when an assertion below returns early.
    std::atomic<double> stop_s{-1};
    std::future<void> stopper = std::async(std::launch::async, [&] {
      const Clock::time_point begin = Clock::now();
      server_->Stop();
      stop_s = SecondsSince(begin);
    });
    if (reads) {
      // The reader comes once the stop is under way (it may be a little
      // late), then gives every DATA frame's bytes back to both windows at
      // once.
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
      size_t data = 0;
      bool ended = false;
      Frame f;
      while (!ended && client.Read(&f, 10.0)) {
        if (f.stream != 1) continue;
        if (f.type == tarn::H2_FRAME_DATA && !f.payload.empty()) {
          data += f.payload.size();
          const std::string n = U32(static_cast<uint32_t>(f.payload.size()));
          ASSERT_TRUE(client.Send(FrameBytes(tarn::H2_FRAME_WINDOW_UPDATE, 0, 0, n) +
                                  FrameBytes(tarn::H2_FRAME_WINDOW_UPDATE, 0, 1, n)));
        }
        ended = (f.type == tarn::H2_FRAME_HEADERS || f.type == tarn::H2_FRAME_DATA) &&
                (f.flags & tarn::H2_FLAGS_END_STREAM) != 0;
      }
      EXPECT_TRUE(ended);
      EXPECT_EQ(data, kAnswerBytes);
      stopper.get();
      EXPECT_EQ(logs.LineWith("answers not yet taken past"), "");
    } else {
      stopper.get();
      EXPECT_NE(logs.LineWith("answers not yet taken past"), "");
    }
    // Within the deadline, with a generous margin for a loaded machine.
    EXPECT_GE(stop_s.load(), 0.0);
    EXPECT_LT(stop_s.load(), kDeadlineS + 10.0);
    EXPECT_TRUE(client.Closes(nullptr, 10.0));
    server_.reset();
    acceptor_.reset();
  }
}

}  // namespace
}  // namespace h2test
