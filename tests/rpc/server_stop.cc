// An RpcServer stopped or deleted while its service holds calls, over TCP
// and over RDMA (the emulated device, in both receive modes). Calls that end
// within the stop deadline have their answers delivered; a call still held
// when the server is deleted is cut off, and its late done (or the release
// of its user hold), run from the service's own thread or from the
// connection's loop, ends it without the server: under AddressSanitizer a
// touch of the freed server, protocol or pools would fail the test.
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "rpc/rpc_test_util.h"
#include "support/log_capture.h"
#include "support/sockets.h"
#include "tarn/base/current_thread.h"

namespace rpctest {
namespace {

// Where the service ends the call it held once the server is gone.
enum class EndFrom {
  kServiceThread,   // done from a thread of the service's own
  kConnectionLoop,  // done from the loop of the call's connection
  kUserHold,        // done ran at once; the user hold is released later
};

struct CutOffCase {
  const char* name;
  bool stop_first;  // Stop() before the server is deleted
  EndFrom end_from;
  // Over a colony the test owns, whose loops outlive the server (always
  // so when the call ends from the connection's loop).
  bool outside_colony = false;
};

class ServerStop : public TransportSuite {
 protected:
  static constexpr double kShortDeadlineS = 0.2;

  void ReleaseServers() override {
    server_.reset();
    if (colony_) colony_->Stop();
    colony_.reset();
  }

  // A server over a colony of its own, or over one the test owns (whose
  // loops outlive the server), and a client.
  void StartCase(bool outside_colony) {
    if (!outside_colony) {
      StartServer();
    } else {
      const tarn::WorkerOption option = ServerOption();
      if (Rdma()) {
        colony_.reset(new tarn::PollingWorkerColony(1, option, nullptr));
      } else {
        colony_.reset(new tarn::EventWorkerColony(1, option, nullptr));
      }
      colony_->Start();
      server_.reset(new tarn::RpcServer(transport_.transport, acceptor_, Loopback(0),
                                        "test_server", option, colony_.get()));
      ASSERT_EQ(server_->AddService(&service_), 0);
      ASSERT_EQ(server_->Start(), 0);
      port_ = server_->server()->listen_addr().ToPort();
      workers_ = 1;
      pool_size_ = static_cast<int>(option.obj_pool_size);
    }
    StartClientWorker();
    RunOn(client_worker_, [this] { client_ = NewClient(budget_ms_); });
  }

  // Ends the test's client on its loop (its calls to a server gone end
  // with it) and stops the test's colony.
  void EndCase() {
    RunOn(client_worker_, [this] { client_.reset(); });
    if (colony_) colony_->Stop();
    colony_.reset();
  }

  void RunCutOff(const CutOffCase& c);

 public:
  // On the client loop: a write to kHoldLba through client; then(code) runs
  // when it ends.
  void WriteChained(tarn::RpcClient* client, std::function<void(int)> then) {
    auto* ctrl = new tarn::RpcController(client->conn());
    auto* req = new vovorav::BlockServerWriteRequest;
    auto* resp = new vovorav::BlockServerWriteResponse;
    req->set_lba(TestBlockServer::kHoldLba);
    auto finish = [ctrl, req, resp, then] {
      const int code = ctrl->Failed() ? ctrl->error_code() : 0;
      delete ctrl;
      delete req;
      delete resp;
      then(code);
    };
    vovorav::BlockServerService_Stub stub(client);
    stub.Write(ctrl, req, resp, google::protobuf::NewCallback(&RunFunction, new Fn(finish)));
  }

 protected:

  std::unique_ptr<tarn::WorkerColony> colony_;
  uint32_t budget_ms_ = kAnsweredBudgetMs;
};

void ServerStop::RunCutOff(const CutOffCase& c) {
  SCOPED_TRACE(c.name);
  testsupport::LogCapture logs;
  const bool from_loop = c.end_from == EndFrom::kConnectionLoop;
  const bool outside = from_loop || c.outside_colony;
  ASSERT_NO_FATAL_FAILURE(StartCase(outside));
  server_->set_stop_deadline(kShortDeadlineS);
  Results results;
  const bool user_hold = c.end_from == EndFrom::kUserHold;
  // An attachment, so that the call holds worker memory too.
  Write(user_hold ? TestBlockServer::kUserHoldLba : TestBlockServer::kHoldLba, &results,
        {Pattern(4096, 9)});
  if (user_hold) {
    ASSERT_TRUE(results.WaitFor(1));
    EXPECT_EQ(results.codes()[0], 0);
  } else {
    ASSERT_TRUE(WaitFor([this] { return service_.held() == 1; }));
  }
  std::shared_ptr<tarn::Connection> conn = service_.last_conn();
  ASSERT_NE(conn, nullptr);
  tarn::Worker* conn_worker = conn->worker();

  // Read on the connection's loop (an RDMA connection's state lives there),
  // while that loop is there.
  auto closed = [&] {
    bool is_closed = false;
    RunOn(conn_worker, [&] { is_closed = conn->IsClosed(); });
    return is_closed;
  };
  if (c.stop_first) {
    server_->Stop();
    // Stop closes the connections once the deadline has passed.
    EXPECT_TRUE(WaitFor(closed));
  }
  server_.reset();
  // The client learns at once: the server's end is closed.
  if (outside) {
    EXPECT_TRUE(WaitFor(closed));
  }
  conn.reset();
  EXPECT_NE(logs.LineWith("calls still held past"), "");

  // The call ends after its server.
  auto end = [this, user_hold] {
    EXPECT_EQ(user_hold ? service_.ReleaseUserHolds() : service_.Release(), 1u);
  };
  if (from_loop) {
    RunOn(conn_worker, end);
    // Tasks the end may have queued there.
    RunOn(conn_worker, [] {});
  } else {
    std::thread(end).join();
  }
  if (!user_hold) {
    // Nothing was sent: the call ends at its budget.
    ASSERT_TRUE(results.WaitFor(1));
    EXPECT_NE(results.codes()[0], 0);
  }
  EndCase();
  for (const char* bad : {"returned twice", "does not belong", "double free", "still in use"}) {
    EXPECT_EQ(logs.LineWith(bad), "") << bad;
  }
}

// Every way a held call can end after its server, each on a fresh server.
TEST_P(ServerStop, ACallHeldPastTheDeadlineEndsAloneAfterTheServerIsDeleted) {
  // The calls cut off end at this budget.
  budget_ms_ = 500;
  const CutOffCase cases[] = {
      {"DeletedDoneFromServiceThread", false, EndFrom::kServiceThread},
      {"StoppedDeletedDoneFromServiceThread", true, EndFrom::kServiceThread},
      {"DeletedDoneFromConnectionLoop", false, EndFrom::kConnectionLoop},
      {"StoppedDeletedDoneFromConnectionLoop", true, EndFrom::kConnectionLoop},
      {"DeletedUserHoldReleased", false, EndFrom::kUserHold},
      {"StoppedDeletedUserHoldReleased", true, EndFrom::kUserHold},
      // The connection's loop still runs while another thread ends the
      // call (and with it may drop the last reference to the connection).
      {"OutsideColonyDeletedDoneFromServiceThread", false, EndFrom::kServiceThread, true},
      {"OutsideColonyDeletedUserHoldReleased", false, EndFrom::kUserHold, true},
  };
  for (const CutOffCase& c : cases) ASSERT_NO_FATAL_FAILURE(RunCutOff(c));
}

// The deadline is spent once per shut-down: a second Stop() and the
// destructor after a Stop() that waited do not wait for the same held call
// again; the call is then cut off and ends alone.
TEST_P(ServerStop, StopWaitsOnceThenStopAgainAndDeletionDoNotWaitAgain) {
  budget_ms_ = 500;
  testsupport::LogCapture logs;
  ASSERT_NO_FATAL_FAILURE(StartCase(false));
  server_->set_stop_deadline(kShortDeadlineS);
  Results results;
  Write(TestBlockServer::kHoldLba, &results);
  ASSERT_TRUE(WaitFor([this] { return service_.held() == 1; }));
  server_->Stop();
  EXPECT_NE(logs.LineWith("calls still held past"), "");
  logs.Clear();
  server_->Stop();
  server_.reset();
  EXPECT_EQ(logs.LineWith("calls still held past"), "");
  std::thread([this] { EXPECT_EQ(service_.Release(), 1u); }).join();
  ASSERT_TRUE(results.WaitFor(1));
  EXPECT_NE(results.codes()[0], 0);
  EndCase();
}

// A service thread ends its held calls while the server is being deleted
// without waiting: each call ends exactly once, either answered by the
// server or cut off and ended alone (ThreadSanitizer watches the hand-over).
TEST_P(ServerStop, DonesRacingTheDeletionEndEachCallOnce) {
  budget_ms_ = 300;
  for (int round = 0; round < 4; ++round) {
    SCOPED_TRACE(round);
    testsupport::LogCapture logs;
    ASSERT_NO_FATAL_FAILURE(StartCase(round % 2 == 1));
    server_->set_stop_deadline(0);
    constexpr size_t kCalls = 4;
    Results results;
    RunOn(client_worker_, [&] {
      for (size_t i = 0; i < kCalls; ++i) WriteInLoop(TestBlockServer::kHoldLba, &results, {});
    });
    ASSERT_TRUE(WaitFor([this] { return service_.held() == kCalls; }));
    std::atomic<bool> go{false};
    std::thread racer([&] {
      while (!go.load()) std::this_thread::yield();
      // One call at a time, the later ones after the server has let go.
      size_t released = 0;
      while (released < kCalls) {
        released += service_.ReleaseOne();
        std::this_thread::sleep_for(std::chrono::microseconds(200 * round));
      }
    });
    go = true;
    server_.reset();
    racer.join();
    ASSERT_TRUE(results.WaitFor(kCalls));
    EndCase();
    for (const char* bad : {"returned twice", "does not belong", "double free", "still in use"}) {
      EXPECT_EQ(logs.LineWith(bad), "") << bad;
    }
  }
}

// A slow asynchronous service: its calls end well within the deadline,
// from a thread of its own, while the server stops (or is deleted). Every
// answer reaches its caller before the connections close.
TEST_P(ServerStop, CallsEndingWithinTheDeadlineAreAllAnswered) {
  for (const bool stop : {true, false}) {
    SCOPED_TRACE(stop ? "Stop" : "Delete");
    constexpr size_t kCalls = 16;
    ASSERT_NO_FATAL_FAILURE(StartCase(false));
    server_->set_stop_deadline(20.0);
    Results results;
    RunOn(client_worker_, [&] {
      for (size_t i = 0; i < kCalls; ++i) {
        WriteInLoop(TestBlockServer::kHoldLba, &results, {Pattern(2048, static_cast<char>(i))});
      }
    });
    ASSERT_TRUE(WaitFor([this] { return service_.held() == kCalls; }));
    std::atomic<bool> stopping{false};
    std::thread slow([&] {
      while (!stopping.load()) std::this_thread::yield();
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
      EXPECT_EQ(service_.Release(), kCalls);
    });
    stopping = true;
    if (stop) {
      server_->Stop();
      EXPECT_EQ(server_->FreeControllerCount(0), pool_size_);
    }
    server_.reset();
    slow.join();
    ASSERT_TRUE(results.WaitFor(kCalls));
    for (int code : results.codes()) EXPECT_EQ(code, 0);
    EndCase();
  }
}

// Call chains: each issues its next write as soon as the last one ended
// well, until the server stops answering it.
class Chains {
 public:
  Chains(ServerStop* fixture, tarn::RpcClient* client) : fixture_(fixture), client_(client) {}

  // On the client loop.
  void Begin(size_t n) {
    for (size_t i = 0; i < n; ++i) Next();
  }
  // Every chain has ended (its last call failed); false on timeout.
  bool WaitEnded(size_t n) { return ended_.WaitFor(n, 120.0); }
  size_t answered() const { return answered_.load(); }
  std::vector<int> failures() { return ended_.codes(); }

 private:
  void Next() {
    fixture_->WriteChained(client_, [this](int code) {
      if (code != 0) {
        ended_.Add(code);
        return;
      }
      answered_.fetch_add(1);
      Next();
    });
  }

  ServerStop* fixture_;
  tarn::RpcClient* client_;
  std::atomic<size_t> answered_{0};
  Results ended_;
};

// Under steady load from 16 call chains whose calls the service holds a
// few milliseconds, Stop() admits no new call, waits for those admitted
// before it began and returns as soon as they have ended, far within its
// deadline. Every call the service took is answered; the calls sent during
// the stop are not taken and end with an error the driver retries (the
// connection closes; the client ends them at their budget or refuses to
// send them).
TEST_P(ServerStop, StopAdmitsNoNewCallAndEndsWithTheCallsAdmittedBefore) {
  constexpr double kDeadlineS = 20.0;
  constexpr size_t kChains = 16;
  // The calls not taken end at this budget; those taken are answered in
  // milliseconds, far within it even on a loaded machine.
  budget_ms_ = 5000;
  testsupport::LogCapture logs;
  ASSERT_NO_FATAL_FAILURE(StartCase(false));
  server_->set_stop_deadline(kDeadlineS);
  // The service's thread answers the oldest call it holds, one at a time:
  // each call is held a few milliseconds, and at any moment most chains
  // have a call held.
  std::atomic<bool> serving{true};
  std::thread service_thread([this, &serving] {
    while (serving.load()) {
      service_.ReleaseOne();
      std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
  });
  Chains chains(this, client_.get());
  RunOn(client_worker_, [&] { chains.Begin(kChains); });
  // Steady load first.
  ASSERT_TRUE(WaitFor([&] { return chains.answered() >= 20 * kChains; }));

  const Clock::time_point begin = Clock::now();
  server_->Stop();
  const double stop_s = std::chrono::duration<double>(Clock::now() - begin).count();
  RecordProperty("stop_ms", static_cast<int>(stop_s * 1000));
  // A generous bound: the admitted calls end within milliseconds.
  EXPECT_LT(stop_s, kDeadlineS / 2) << "Stop() took " << stop_s << " s";
  EXPECT_EQ(logs.LineWith("calls still held past"), "");
  EXPECT_EQ(logs.LineWith("answers not yet taken past"), "");

  ASSERT_TRUE(chains.WaitEnded(kChains));
  serving = false;
  service_thread.join();
  // No call the service took was lost: each one's answer arrived.
  EXPECT_EQ(service_.lbas().size(), chains.answered());
  EXPECT_EQ(service_.held(), 0u);
  for (int code : chains.failures()) {
    EXPECT_TRUE(code == tarn::kRpcTimeout || code == tarn::kRpcSendError ||
                code == tarn::kRpcConnectError)
        << code;
  }
  EndCase();
  for (const char* bad : {"returned twice", "does not belong", "double free", "still in use"}) {
    EXPECT_EQ(logs.LineWith(bad), "") << bad;
  }
}

// The documented order with an outside colony: the colony stops, then the
// server goes. A done that comes after the colony's loops ended ends its
// call in place: nothing is left unfinished, and under AddressSanitizer's
// leak check the call, the pools and the server's record of its calls are
// all freed; the worker memory the call held goes back when its worker is
// destroyed, and the server's connections on the stopped loops are closed
// and freed by the server's deletion.
TEST_P(ServerStop, ADoneAfterTheOutsideColonyStoppedEndsTheCallInPlace) {
  budget_ms_ = 500;
  testsupport::LogCapture logs;
  ASSERT_NO_FATAL_FAILURE(StartCase(true));
  server_->set_stop_deadline(kShortDeadlineS);
  Results results;
  Write(TestBlockServer::kHoldLba, &results, {Pattern(4096, 5)});
  ASSERT_TRUE(WaitFor([this] { return service_.held() == 1; }));
  // The client gives up on the call; its connection stays open, and is
  // closed (and freed) by the server's deletion after the colony stopped.
  ASSERT_TRUE(results.WaitFor(1));
  EXPECT_EQ(results.codes()[0], tarn::kRpcTimeout);

  colony_->Stop();
  std::thread([this] { EXPECT_EQ(service_.Release(), 1u); }).join();
  EXPECT_NE(logs.LineWith("rpc call ends without its server"), "");
  EXPECT_EQ(logs.LineWith("left unfinished"), "");
  server_.reset();
  EndCase();
  for (const char* bad : {"returned twice", "does not belong", "double free", "still in use"}) {
    EXPECT_EQ(logs.LineWith(bad), "") << bad;
  }
}

// Orders in which an outside colony goes once the server it served has
// been deleted with a call still held.
struct ColonyEndCase {
  const char* name;
  bool colony_stops_first;  // the colony stops before the server is deleted
  bool colony_goes_first;   // the colony is deleted before the call ends
};

// A call cut off from a server over an outside colony hands the worker
// memory it holds (here its request's frame and attachment) back to its
// worker: when it ends while the worker lives (its loop ended or not), else
// as the worker is destroyed. No worker finds its memory still in use when
// it goes, and a done after the colony went touches none of its workers
// (AddressSanitizer watches).
TEST_P(ServerStop, ACutOffCallGivesItsWorkerMemoryBackInEveryOrderTheColonyEnds) {
  budget_ms_ = 500;
  const ColonyEndCase cases[] = {
      {"ColonyStoppedServerDeletedCallEndsColonyDeleted", true, false},
      {"ColonyStoppedServerDeletedColonyDeletedCallEnds", true, true},
      {"ServerDeletedColonyStoppedAndDeletedCallEnds", false, true},
  };
  for (const ColonyEndCase& c : cases) {
    SCOPED_TRACE(c.name);
    testsupport::LogCapture logs;
    ASSERT_NO_FATAL_FAILURE(StartCase(true));
    server_->set_stop_deadline(kShortDeadlineS);
    Results results;
    Write(TestBlockServer::kHoldLba, &results, {Pattern(4096, 7)});
    ASSERT_TRUE(WaitFor([this] { return service_.held() == 1; }));
    if (c.colony_stops_first) colony_->Stop();
    server_.reset();
    if (c.colony_goes_first) {
      if (!c.colony_stops_first) colony_->Stop();
      colony_.reset();
    }
    std::thread([this] { EXPECT_EQ(service_.Release(), 1u); }).join();
    // Nothing was sent for it: the client ends it at its budget.
    ASSERT_TRUE(results.WaitFor(1));
    EXPECT_NE(results.codes()[0], 0);
    if (colony_ && c.colony_stops_first) colony_.reset();
    EndCase();
    for (const char* bad : {"returned twice", "does not belong", "double free", "still in use"}) {
      EXPECT_EQ(logs.LineWith(bad), "") << bad;
    }
  }
}

// A server starts once. A second Start(), whether the server runs, has
// been stopped, or was stopped before it ever started, fails with a line
// that says so and changes nothing: the running server still answers, the
// stopped one takes no connection.
TEST_P(ServerStop, ASecondStartFailsAndChangesNothing) {
  enum class Before { kStarted, kStartedAndStopped, kStoppedUnstarted };
  const struct {
    const char* name;
    Before before;
    const char* line;
  } cases[] = {
      {"Running", Before::kStarted, "a server starts once and this one has started already"},
      {"Stopped", Before::kStartedAndStopped,
       "a server starts once and this one has started already"},
      {"StoppedBeforeItStarted", Before::kStoppedUnstarted,
       "a server starts once and this one has been stopped already"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testsupport::LogCapture logs;
    server_.reset(new tarn::RpcServer(transport_.transport, acceptor_, Loopback(0),
                                      "test_server", ServerOption(), nullptr));
    ASSERT_EQ(server_->AddService(&service_), 0);
    if (c.before != Before::kStoppedUnstarted) {
      ASSERT_EQ(server_->Start(), 0);
      port_ = server_->server()->listen_addr().ToPort();
    }
    if (c.before != Before::kStarted) server_->Stop();
    EXPECT_EQ(server_->Start(), -1);
    EXPECT_NE(logs.LineWith(c.line), "") << logs.text();
    EXPECT_FALSE(c.before != Before::kStarted && server_->admitting());
    if (c.before == Before::kStarted) {
      StartClientWorker();
      RunOn(client_worker_, [this] { client_ = NewClient(); });
      Results results;
      Write(1, &results);
      ASSERT_TRUE(results.WaitFor(1));
      EXPECT_EQ(results.codes()[0], 0);
      RunOn(client_worker_, [this] { client_.reset(); });
    } else if (c.before == Before::kStartedAndStopped) {
      // The listening socket is closed on the acceptor's loop.
      EXPECT_TRUE(WaitFor([this] {
        const int fd = testsupport::RawConnect(port_);
        if (fd >= 0) close(fd);
        return fd < 0;
      }));
    }
    server_.reset();
  }
}

// Stop() run on the loop of the server's own worker, as a service may do:
// the calls of that loop could never end while it waits, so it waits for
// none, returns, and admits nothing more. The call it held is answered into
// a closed connection and ends at the client's budget, as does a call sent
// after the stop; deleting the server after both have ended frees all.
TEST_P(ServerStop, StopOnTheServersOwnWorkerLoopReturnsWithoutWaiting) {
  budget_ms_ = 500;
  testsupport::LogCapture logs;
  ASSERT_NO_FATAL_FAILURE(StartCase(false));
  // Long: a wait on the loop would show as a RunOn that does not return.
  server_->set_stop_deadline(60.0);
  Results held;
  Write(TestBlockServer::kHoldLba, &held, {Pattern(4096, 3)});
  ASSERT_TRUE(WaitFor([this] { return service_.held() == 1; }));
  tarn::Worker* server_worker = server_->worker_colony()->GetWorker(0u);
  ASSERT_NE(server_worker, nullptr);
  int stopped = -1;
  RunOn(server_worker, [&] { stopped = server_->Stop(); });
  EXPECT_EQ(stopped, 0);
  EXPECT_NE(logs.LineWith("held calls not waited for"), "");
  EXPECT_EQ(logs.LineWith("calls still held past"), "");
  EXPECT_FALSE(server_->admitting());

  Results late;
  Write(1, &late);
  ASSERT_TRUE(late.WaitFor(1));
  EXPECT_NE(late.codes()[0], 0);
  std::thread([this] { EXPECT_EQ(service_.Release(), 1u); }).join();
  ASSERT_TRUE(held.WaitFor(1));
  EXPECT_NE(held.codes()[0], 0);
  EXPECT_TRUE(PoolsFull());
  server_.reset();
  EndCase();
  for (const char* bad : {"returned twice", "does not belong", "double free", "still in use"}) {
    EXPECT_EQ(logs.LineWith(bad), "") << bad;
  }
}

// The kernel hands out the id next to the last one it gave (written in
// ns_last_pid, where the process may): false when it cannot be set.
bool GiveNextThreadId(int tid) {
  std::ofstream f("/proc/sys/kernel/ns_last_pid");
  if (!f) return false;
  f << tid - 1;
  f.flush();
  return static_cast<bool>(f);
}

// Kernel thread ids come back once the system has handed out pid_max of
// them (32768 on many machines, passed within minutes by a busy build): a
// thread started after a loop's thread ended may be given its id. A done
// from such a thread, after the outside colony stopped, still ends its
// call in place; it is not taken for the ended loop and run as if there.
TEST_P(ServerStop, ADoneFromAThreadGivenTheEndedLoopsThreadIdEndsTheCallInPlace) {
  if (Rdma()) GTEST_SKIP() << "the calls' bookkeeping is the same over every transport";
  budget_ms_ = 500;
  testsupport::LogCapture logs;
  ASSERT_NO_FATAL_FAILURE(StartCase(true));
  server_->set_stop_deadline(kShortDeadlineS);
  Results results;
  Write(TestBlockServer::kHoldLba, &results, {Pattern(4096, 5)});
  ASSERT_TRUE(WaitFor([this] { return service_.held() == 1; }));
  int loop_tid = 0;
  RunOn(colony_->GetWorker(0u), [&] { loop_tid = plinth::CurrentThread::tid(); });
  colony_->Stop();

  // Threads, one at a time, until one is given the ended loop's id: asked
  // for where the kernel lets us, else waited for as ids come round (other
  // processes take ids too: a few rounds of a small range, half a minute
  // at most). The case is skipped when no thread got it.
  int pid_max = 0;
  std::ifstream("/proc/sys/kernel/pid_max") >> pid_max;
  const bool can_ask = GiveNextThreadId(loop_tid);
  const int tries = can_ask ? 1000 : (pid_max > 0 && pid_max <= 65536 ? 4 * pid_max : 0);
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  bool reused = false;
  for (int i = 0; i < tries && !reused && std::chrono::steady_clock::now() < give_up; ++i) {
    if (can_ask && i > 0) GiveNextThreadId(loop_tid);
    std::thread([&] {
      if (plinth::CurrentThread::tid() != loop_tid) return;
      reused = true;
      EXPECT_EQ(service_.Release(), 1u);
    }).join();
  }
  if (!reused) std::thread([this] { EXPECT_EQ(service_.Release(), 1u); }).join();
  EXPECT_NE(logs.LineWith("rpc call ends without its server"), "");
  // Nothing was sent for it: the client ends it at its budget.
  ASSERT_TRUE(results.WaitFor(1));
  EXPECT_EQ(results.codes()[0], tarn::kRpcTimeout);
  server_.reset();
  EndCase();
  for (const char* bad : {"returned twice", "does not belong", "double free", "still in use"}) {
    EXPECT_EQ(logs.LineWith(bad), "") << bad;
  }
  if (!reused) GTEST_SKIP() << "no thread was given the ended loop's id";
}

INSTANTIATE_TEST_SUITE_P(Over, ServerStop,
                         ::testing::Values(OverTcp(), OverRdma(true), OverRdma(false)),
                         TransportName);

}  // namespace
}  // namespace rpctest
