// Admission against max_flighting, the pending queue and its countdown for
// retried I/O, the retry ring's drains and their timers.
#include <string>
#include <vector>

#include "io_fixture.h"

namespace iotest {
namespace {

class AdmissionTest : public DriverTest {
 protected:
  bool WaitHeld(size_t n) {
    return testsupport::WaitFor([&] { return bs_.held() == n; });
  }
  size_t Pending() { return Read<size_t>(0, [&] { return driver()->pending_count(); }); }
  int64_t InFlight() { return Read<int64_t>(0, [&] { return driver()->in_flight(); }); }
  int64_t PendingMs(TestIo* t) { return Read<int64_t>(0, [&] { return t->io()->pending_ms; }); }
  void PollPending() {
    OnLoop([&] { driver()->PollingPendingIo(); });
  }
};

TEST_F(AdmissionTest, The301stReadWaitsAndGoesAtTheNextPollWithAFreeSlot) {
  StartDrivers();
  bs_.HoldAll(true);
  std::vector<TestIo*> ios;
  for (int i = 0; i < 301; ++i) {
    ios.push_back(NewRead(static_cast<uint64_t>(i) * kBlock, 4096));
    Submit(ios.back());
  }
  // The RPC clients' own depth limit holds some calls back: count the
  // driver's view.
  ASSERT_TRUE(testsupport::WaitFor([&] { return InFlight() == 300 && Pending() == 1; }));
  EXPECT_EQ(PendingMs(ios.back()), 0);
  EXPECT_EQ(Metric("_in_flighting"), 300u);
  EXPECT_EQ(Metric("_pending_sum"), 1u);

  bs_.HoldAll(false);
  for (int i = 0; i < 300; ++i) {
    ASSERT_TRUE(testsupport::WaitFor([&] {
      bs_.Release();
      Poll();
      return ios[static_cast<size_t>(i)]->completions > 0;
    }));
  }
  EXPECT_EQ(ios.back()->completions, 0);
  PollPending();
  ASSERT_TRUE(WaitDone(ios.back()));
  for (TestIo* t : ios) {
    EXPECT_EQ(t->completions, 1);
    EXPECT_EQ(t->io()->status, 0);
  }
  EXPECT_EQ(Metric("_in_flighting"), 0u);
  EXPECT_EQ(Metric("_pending_sum"), 0u);
  EXPECT_EQ(Metric("_pending_total"), 1u);  // what waited stays counted
}

TEST_F(AdmissionTest, ARetriedIoRefusedByAdmissionWaitsItsCountdown) {
  max_flighting = 2;
  retry_pending_ms = 16 * polling_interval_ms;
  StartDrivers();
  FakeBlockServer::Answer busy;
  busy.retcode = -12016;
  bs_.Push("Read", busy);
  TestIo* retried = NewRead(0, 4096);
  Submit(retried);
  ASSERT_TRUE(WaitRetry(1));

  bs_.HoldAll(true);
  TestIo* a = NewRead(4096, 4096);
  TestIo* b = NewRead(8192, 4096);
  Submit(a);
  Submit(b);
  ASSERT_TRUE(WaitHeld(2));
  OnLoop([&] { driver()->pyx_retry_io(); });
  EXPECT_EQ(Pending(), 1u);
  EXPECT_EQ(PendingMs(retried), retry_pending_ms);
  TestIo* fresh = NewRead(12288, 4096);
  Submit(fresh);
  EXPECT_EQ(Pending(), 2u);
  EXPECT_EQ(PendingMs(fresh), 0);
  bs_.HoldAll(false);
  bs_.Release();
  ASSERT_TRUE(WaitDone(a));
  ASSERT_TRUE(WaitDone(b));

  // The first poll counts the retried one down without using a slot and
  // issues the fresh one behind it.
  PollPending();
  ASSERT_TRUE(WaitDone(fresh));
  for (int poll = 2; poll <= 16; ++poll) {
    PollPending();
    EXPECT_EQ(Pending(), 1u) << poll;
  }
  EXPECT_EQ(PendingMs(retried), 0);
  EXPECT_EQ(retried->completions, 0);
  PollPending();  // the 17th
  ASSERT_TRUE(WaitDone(retried));
  EXPECT_EQ(retried->io()->status, 0);
  EXPECT_EQ(retried->completions, 1);
}

TEST_F(AdmissionTest, APollIssuesNoMoreThanTheSlotsFreeAtItsStart) {
  max_flighting = 2;
  StartDrivers();
  bs_.HoldAll(true);
  std::vector<TestIo*> ios;
  for (int i = 0; i < 5; ++i) {
    ios.push_back(NewRead(static_cast<uint64_t>(i) * kBlock, 4096));
    Submit(ios.back());
  }
  ASSERT_TRUE(WaitHeld(2));
  EXPECT_EQ(Pending(), 3u);
  EXPECT_EQ(bs_.Release(), 2u);  // later reads are still held
  ASSERT_TRUE(WaitDone(ios[0]));
  ASSERT_TRUE(WaitDone(ios[1]));
  PollPending();
  ASSERT_TRUE(WaitHeld(2));
  EXPECT_EQ(Pending(), 1u);
  EXPECT_EQ(InFlight(), 2);
  bs_.HoldAll(false);
  bs_.Release();
  ASSERT_TRUE(WaitDone(ios[2]));
  ASSERT_TRUE(WaitDone(ios[3]));
  PollPending();
  ASSERT_TRUE(WaitDone(ios[4]));
  for (TestIo* t : ios) EXPECT_EQ(t->completions, 1);
}

TEST_F(AdmissionTest, AReadWithoutARouteAsksForOneAndGivesItsSlotBack) {
  StartDrivers();
  driver()->UpdateRouteCache(name_, Routes(kPlanes, 0));
  TestIo* t = NewRead(0, 4096);
  Submit(t);
  ASSERT_TRUE(WaitRetry(1));
  EXPECT_EQ(InFlight(), 0);
  EXPECT_EQ(Metric("_in_flighting"), 0u);
  EXPECT_EQ(Metric("_query_route_count"), 1u);
  EXPECT_EQ(Metric("_retry_num"), 1u);
  driver()->UpdateRouteCache(name_, Routes(kPlanes, port_));
  ASSERT_TRUE(RetryUntilDone(t));
  EXPECT_EQ(t->io()->status, 0);
  EXPECT_EQ(Metric("_in_flighting"), 0u);
  EXPECT_EQ(Metric("_retry_num"), 0u);
}

TEST_F(AdmissionTest, IoOfADiskBeingFreedLeavesTheQueuesFailed) {
  max_flighting = 1;
  StartDrivers();
  for (int i = 0; i < 3; ++i) {
    FakeBlockServer::Answer busy;
    busy.retcode = -12016;
    bs_.Push("Read", busy);
  }
  std::vector<TestIo*> retried;
  for (int i = 0; i < 3; ++i) {
    retried.push_back(NewRead(0, 4096));
    Submit(retried.back());
    ASSERT_TRUE(WaitRetry(static_cast<size_t>(i) + 1));
  }
  EXPECT_EQ(Metric("_retry_num"), 3u);
  bs_.HoldAll(true);
  TestIo* held = NewRead(0, 4096);
  TestIo* pending = NewRead(0, 4096);
  Submit(held);
  Submit(pending);
  ASSERT_TRUE(WaitHeld(1));
  EXPECT_EQ(Pending(), 1u);

  pyx::Store(disk_->deleting, 1);
  OnLoop([&] { driver()->pyx_retry_io(); });
  bs_.HoldAll(false);
  bs_.Release();
  ASSERT_TRUE(WaitDone(held));
  PollPending();
  for (TestIo* t : retried) ASSERT_TRUE(WaitDone(t));
  ASSERT_TRUE(WaitDone(pending));
  for (TestIo* t : retried) {
    EXPECT_EQ(t->io()->status, -1);
    EXPECT_EQ(t->completions, 1);
  }
  EXPECT_EQ(pending->io()->status, -1);
  EXPECT_EQ(held->io()->status, 0);  // its answer came while the disk was still attached
  EXPECT_EQ(Metric("_retry_num"), 0u);
  EXPECT_EQ(Metric("_pending_sum"), 0u);
}

TEST_F(AdmissionTest, TheDrainTimersRunByThemselves) {
  retry_sleep_ms = 5;
  polling_interval_ms = 5;
  retry_pending_ms = 20;
  max_flighting = 1;
  StartDrivers();
  FakeBlockServer::Answer busy;
  busy.retcode = -12016;
  bs_.Push("Read", busy);
  std::vector<TestIo*> ios;
  for (int i = 0; i < 4; ++i) {
    ios.push_back(NewRead(static_cast<uint64_t>(i) * kBlock, 4096));
    Submit(ios.back());
  }
  for (TestIo* t : ios) {
    ASSERT_TRUE(WaitDone(t));
    EXPECT_EQ(t->io()->status, 0);
    EXPECT_EQ(t->completions, 1);
  }
}

}  // namespace
}  // namespace iotest
