// The ladder every block-server answer goes through, in its order: a disk
// reported missing, controller failures, success, a stale route term, the
// retryable result codes and the rest; with its messages and the
// one-in-five throttle of route refreshes.
#include <string>
#include <vector>

#include "io_fixture.h"

namespace iotest {
namespace {

class LadderTest : public DriverTest {
 protected:
  // Submits t and waits until it either completed or sits on the retry ring.
  // True when it went to the retry ring.
  bool Settle(TestIo* t) {
    bool retried = false;
    EXPECT_TRUE(testsupport::WaitFor([&] {
      Poll();
      if (t->completions > 0) return true;
      retried = Read<size_t>(0, [&] { return driver()->retry_count(); }) == 1;
      return retried;
    }));
    return retried;
  }

  // Replaces the first client of the server's group by one whose calls fail
  // with `code`; Restore() puts the real one back.
  void InjectControllerError(int code) {
    OnLoop([&] {
      ClientManager* g = driver()->client_group(ip_, port_);
      ASSERT_NE(g, nullptr);
      real_ = g->clients[0];
      failing_ = new FailingClient(colony_->GetWorker(0), testsupport::Loopback(port_), code);
      g->clients[0] = failing_;
      g->next = 0;
    });
  }
  void Restore() {
    OnLoop([&] {
      ClientManager* g = driver()->client_group(ip_, port_);
      g->clients[0] = real_;
      delete failing_;
      failing_ = nullptr;
    });
  }

  tarn::RpcClient* real_ = nullptr;
  FailingClient* failing_ = nullptr;
};

struct CodeCase {
  int retcode;
  bool retried;
  const char* line;  // the text that opens the logged line, "" for none
  const char* level;
};

TEST_F(LadderTest, ResultCodesOfAReadRetryOrFailInTheirOrder) {
  StartDrivers();
  const CodeCase cases[] = {
      {-12001, true, "ERROR Read IO |offset 0|len 4096|retcode:-12001|err msg:", "ERROR "},
      {-12006, true, "Plane Or Vdisk Not Exist, |offset 0|len 4096|retcode:-12006", "ERROR "},
      {-12007, true, "Plane Or Vdisk Not Exist, |offset 0|len 4096|retcode:-12007", "ERROR "},
      {-12016, true, "Blockserver Malloc Memory Failed, Read IO|offset 0", "ERROR "},
      {-12018, true, "Blockserver plane is net ready, Read IO|offset 0", "WARN  "},
      {-12000, true, "ERROR Read IO |offset 0|len 4096|retcode:-12000", "ERROR "},
      {-14000, true, "ERROR Read IO |offset 0|len 4096|retcode:-14000", "ERROR "},
      {-14001, false, "async read failed. Retcode: -14001|Errmsg: |offset 0|len 4096", "ERROR "},
      {-11999, false, "async read failed. Retcode: -11999|Errmsg: |offset 0|len 4096", "ERROR "},
      {-1001, false, "async read failed. Retcode: -1001", "ERROR "},
  };
  bs_.Store(0, Pattern(kBlock, 1));
  for (const CodeCase& c : cases) {
    counter_ = 0;  // the throttle's first event fires
    testsupport::LogCapture logs;
    FakeBlockServer::Answer a;
    a.retcode = c.retcode;
    bs_.Push("Read", a);
    TestIo* t = NewRead(0, 4096);
    Submit(t);
    EXPECT_EQ(Settle(t), c.retried) << c.retcode;
    const std::string line = logs.LineWith(c.line);
    EXPECT_NE(line, "") << c.retcode << "\n" << logs.text();
    EXPECT_NE(line.find(c.level), std::string::npos) << line;
    EXPECT_NE(line.find("|vdi name:disk0|vdi uuid:uuid-disk0|plane_num:0|remote_side:"),
              std::string::npos)
        << line;
    if (c.retried) {
      EXPECT_EQ(t->completions, 0);
      ASSERT_TRUE(RetryUntilDone(t));
      EXPECT_EQ(t->io()->status, 0);
      EXPECT_EQ(Diff(t->data(), Pattern(kBlock, 1)), "equal");
    } else {
      EXPECT_EQ(t->io()->status, -1);
    }
    EXPECT_EQ(t->completions, 1);
  }
  EXPECT_EQ(Metric("_read_fail_count"), 3u);
  EXPECT_EQ(Metric("_query_route_count"), 0u);
}

TEST_F(LadderTest, AStaleTermWinsOverTheResultCode) {
  StartDrivers();
  testsupport::LogCapture logs;
  FakeBlockServer::Answer a;
  a.retcode = -12016;
  a.term = 8;
  bs_.Push("Read", a);
  TestIo* t = NewRead(0, 4096);
  Submit(t);
  EXPECT_TRUE(Settle(t));
  const std::string line = logs.LineWith("need to update route");
  EXPECT_NE(line.find("WARN  "), std::string::npos);
  EXPECT_NE(line.find("response error, need to update route |error: -12016|offset 0|len 4096"
                      "|response term: 8|local term: 7|vdi name:disk0|vdi uuid:uuid-disk0"
                      "|plane_num:0|remote_side:"),
            std::string::npos)
      << line;
  EXPECT_EQ(logs.text().find("Malloc Memory"), std::string::npos);
  EXPECT_EQ(Metric("_query_route_count"), 1u);
  ASSERT_TRUE(RetryUntilDone(t));
  EXPECT_EQ(t->io()->status, 0);
}

TEST_F(LadderTest, SuccessIsAcceptedWhateverItsTerm) {
  StartDrivers();
  FakeBlockServer::Answer a;
  a.term = 99;
  bs_.Push("Read", a);
  TestIo* t = NewRead(0, 4096);
  Submit(t);
  ASSERT_TRUE(WaitDone(t));
  EXPECT_EQ(t->io()->status, 0);
  EXPECT_EQ(Metric("_query_route_count"), 0u);
}

TEST_F(LadderTest, ADiskReportedMissingFailsEvenASuccessfulAnswer) {
  StartDrivers();
  pyx::Store(disk_->exists, 0);
  testsupport::LogCapture logs;
  TestIo* r = NewRead(0, 4096);
  Submit(r);
  ASSERT_TRUE(WaitDone(r));
  EXPECT_EQ(r->io()->status, -1);
  EXPECT_NE(logs.LineWith("vdisk not found."), "");
  EXPECT_NE(logs.LineWith("|read pyx io:").find("|offset:0|len:4096|vdi name:disk0"),
            std::string::npos);
  TestIo* w = NewWrite(0, Pattern(kBlock, 2));
  Submit(w);
  ASSERT_TRUE(WaitDone(w));
  EXPECT_EQ(w->io()->status, -1);
  EXPECT_NE(logs.LineWith("|write pyx io:").find("|offset:0|vdi name:disk0|len:4096"
                                                 "|vdi uuid:uuid-disk0|plane_num:0"),
            std::string::npos);
  EXPECT_EQ(Metric("_read_fail_count"), 1u);
  EXPECT_EQ(Metric("_write_fail_count"), 1u);
}

TEST_F(LadderTest, WriteAndReadModifyWriteSpeakTheirOwnTexts) {
  StartDrivers();
  struct Case {
    int retcode;
    int64_t term;
    bool unaligned;
    const char* line;
  };
  const Case cases[] = {
      {-12001, -1, false, "ERROR Write IO |offset 0|len 4096|retcode:-12001"},
      {-12003, 8, false,
       "response error, need to update route....|error: -12003|response term: 8|local term: 7"
       "|vdi name:disk0"},
      {-12016, -1, false, "Blockserver Malloc Memory Failed, Write IO|offset 0"},
      {-12018, -1, false, "Blockserver plane is not ready, Write IO|offset 0"},
      {-14001, -1, false,
       "async write failed. Retcode: -14001|Errmsg: |vdi name:disk0|vdi uuid:uuid-disk0"
       "| plane_num:0|remote_side:"},
      {-12001, -1, true, "RMW ERROR Read IO |offset 512|len 512|retcode:-12001"},
      {-12003, 8, true,
       "RMW response error, need to update route |error: -12003|response term: 8"
       "|local term: 7|vdi name:disk0"},
      {-12006, -1, true, "RMW Plane Or Vdisk Not Exist, |offset 512"},
      {-12016, -1, true, "RMW Blockserver Malloc Memory Failed, Read IO|offset 512"},
      {-12018, -1, true, "RMW Blockserver plane is net ready, Read IO|offset 512"},
      {-14001, -1, true, "RMW async read failed. Retcode: -14001|Errmsg: |vdi name:disk0"},
  };
  for (const Case& c : cases) {
    counter_ = 0;
    testsupport::LogCapture logs;
    FakeBlockServer::Answer a;
    a.retcode = c.retcode;
    a.term = c.term;
    bs_.Push(c.unaligned ? "Read" : "Write", a);
    TestIo* t = c.unaligned ? NewWrite(512, Pattern(512, 3)) : NewWrite(0, Pattern(kBlock, 3));
    Submit(t);
    const bool retried = Settle(t);
    EXPECT_EQ(retried, c.retcode != -14001) << c.line;
    EXPECT_NE(logs.LineWith(c.line), "") << c.line << "\n" << logs.text();
    if (retried) {
      ASSERT_TRUE(RetryUntilDone(t));
      EXPECT_EQ(t->io()->status, 0);
    } else {
      EXPECT_EQ(t->io()->status, -1);
    }
    // Retried or failed, an unaligned write never keeps its lock.
    EXPECT_FALSE(Read<bool>(0, [&] { return driver()->block_locked(name_, 0); }));
  }
  EXPECT_EQ(Metric("_write_fail_count"), 1u);
  EXPECT_EQ(Metric("_read_fail_count"), 1u);  // the read stage of the unaligned one
}

struct ControllerCase {
  int code;
  bool retried;
  const char* line;  // "" for no line at all
};

TEST_F(LadderTest, ControllerFailuresRetryExceptARequestTooLarge) {
  StartDrivers();
  const ControllerCase cases[] = {
      {-1, true, ""},
      {-3, true, ""},
      {-4, true, "Fail to send BlockServerReadRequest,need to refetch route."},
      {-5, true, "Fail to send BlockServerReadRequest,need to refetch route."},
      {-6, true, "Fail to send BlockServerReadRequest,need to refetch route."},
      {-2, false, "Fail to send BlockServerReadRequest,request larger than the connection"},
  };
  for (const ControllerCase& c : cases) {
    counter_ = 0;
    InjectControllerError(c.code);
    testsupport::LogCapture logs;
    const uint64_t queries = Metric("_query_route_count");
    TestIo* t = NewRead(0, 4096);
    Submit(t);
    EXPECT_EQ(Settle(t), c.retried) << c.code;
    Restore();
    if (*c.line == '\0') {
      EXPECT_EQ(logs.text().find("BlockServerReadRequest"), std::string::npos)
          << c.code << "\n" << logs.text();
      EXPECT_EQ(Metric("_query_route_count"), queries);
    } else {
      const std::string line = logs.LineWith(c.line);
      EXPECT_NE(line.find("|cntl err msg:injected failure|offset 0 len 4096|vdi name:disk0"
                          "|vdi uuid:uuid-disk0|ErrorCode:" + std::to_string(c.code) +
                          "|plane_num:0|remote_side:"),
                std::string::npos)
          << c.code << "\n" << logs.text();
      EXPECT_EQ(Metric("_query_route_count"), queries + (c.retried ? 1 : 0));
    }
    if (c.retried) {
      ASSERT_TRUE(RetryUntilDone(t));
      EXPECT_EQ(t->io()->status, 0);
    } else {
      EXPECT_EQ(t->io()->status, -1);
    }
    EXPECT_EQ(t->completions, 1);
  }
}

TEST_F(LadderTest, AWriteLargerThanTheConnectionTakesFails) {
  StartDrivers();
  OnLoop([&] { driver()->client_group(ip_, port_)->clients[0]->conn()->set_max_send_data_size(4096); });
  testsupport::LogCapture logs;
  TestIo* t = NewWrite(0, Pattern(2 * kBlock, 4));
  Submit(t);
  ASSERT_TRUE(WaitDone(t));
  EXPECT_EQ(t->io()->status, -1);
  EXPECT_NE(logs.LineWith("Fail to send BlockServerWriteRequest,request larger"), "");
  EXPECT_EQ(Read<size_t>(0, [&] { return driver()->retry_count(); }), 0u);
  EXPECT_EQ(bs_.count("Write"), 0u);
}

TEST_F(LadderTest, TheRefreshThrottleFiresOnTheFirstAndSixthEvent) {
  StartDrivers();
  InjectControllerError(-5);
  testsupport::LogCapture logs;
  TestIo* t = NewRead(0, 4096);
  Submit(t);
  for (int event = 1; event <= 6; ++event) {
    ASSERT_TRUE(WaitRetry(1)) << event;
    const size_t lines = Occurrences(logs.text(), "need to refetch route.");
    EXPECT_EQ(lines, event < 6 ? 1u : 2u) << event;
    EXPECT_EQ(Metric("_query_route_count"), lines) << event;
    if (event < 6) OnLoop([&] { driver()->pyx_retry_io(); });
  }
  EXPECT_EQ(counter_, 6u);
  Restore();
  ASSERT_TRUE(RetryUntilDone(t));
  EXPECT_EQ(t->io()->status, 0);
}

TEST_F(LadderTest, TheThrottleCounterWrapsToOneAndFires) {
  StartDrivers();
  counter_ = 99999;
  FakeBlockServer::Answer a;
  a.term = 8;
  a.retcode = -12003;
  bs_.Push("Read", a);
  TestIo* t = NewRead(0, 4096);
  Submit(t);
  EXPECT_TRUE(Settle(t));
  EXPECT_EQ(counter_, 1u);
  EXPECT_EQ(Metric("_query_route_count"), 1u);
  ASSERT_TRUE(RetryUntilDone(t));
}

}  // namespace
}  // namespace iotest
