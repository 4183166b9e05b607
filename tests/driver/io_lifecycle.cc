// Completion and disk lifetime: a full completion ring loses nothing, a
// disk freed with I/O in flight fails that I/O without touching the freed
// record, I/O the driver refuses completes once with -1; the route cache,
// client groups and the metrics' names.
#include <netinet/in.h>

#include <algorithm>
#include <string>
#include <vector>

#include "io_fixture.h"

namespace iotest {
namespace {

class LifecycleTest : public DriverTest {
 protected:
  bool WaitHeld(size_t n) {
    return testsupport::WaitFor([&] { return bs_.held() == n; });
  }
};

TEST_F(LifecycleTest, AFullCompletionRingLosesNothing) {
  StartDrivers(1, 2);
  testsupport::LogCapture logs;
  std::vector<TestIo*> ios;
  for (int i = 0; i < 10; ++i) {
    ios.push_back(NewRead(static_cast<uint64_t>(i) * kBlock, 4096));
    Submit(ios.back());
  }
  // The host does not poll: two fit on the ring, eight wait.
  ASSERT_TRUE(testsupport::WaitFor(
      [&] { return Read<size_t>(0, [&] { return driver()->overflow_count(); }) == 8; }));
  EXPECT_EQ(Occurrences(logs.text(), "completion ring is full"), 1u);
  ASSERT_TRUE(testsupport::WaitFor([&] {
    Poll();
    return std::all_of(ios.begin(), ios.end(), [](TestIo* t) { return t->completions > 0; });
  }));
  for (TestIo* t : ios) {
    EXPECT_EQ(t->completions, 1);
    EXPECT_EQ(t->io()->status, 0);
  }
  EXPECT_TRUE(logs.WaitForText("completion ring has room again, 8 finished I/O handed over late"));
  EXPECT_EQ(Occurrences(logs.text(), "completion ring is full"), 1u);
  EXPECT_EQ(strays_, 0);
}

TEST_F(LifecycleTest, FreeingADiskWithIoInFlightFailsItAndTouchesNothingFreed) {
  max_flighting = 3;
  StartDrivers();
  FakeBlockServer::Answer busy;
  busy.retcode = -12016;
  bs_.Push("Read", busy);
  TestIo* on_ring = NewRead(0, 4096);
  Submit(on_ring);
  ASSERT_TRUE(WaitRetry(1));

  bs_.HoldAll(true);
  std::vector<TestIo*> held = {NewRead(0, 4096), NewRead(4096, 8192),
                               NewWrite(8192, Pattern(kBlock, 1)),
                               NewWrite(100, Pattern(300, 2))};  // read-modify-write
  for (TestIo* t : held) Submit(t);
  TestIo* pending = NewRead(0, 4096);
  Submit(pending);
  ASSERT_TRUE(WaitHeld(4));

  // pyx_free: deleting, then the detach on the driver's loop; then the host
  // frees the record.
  bdev_pyx* gone = disk_;
  OnLoop([&] {
    pyx::Store(gone->deleting, 1);
    driver()->DetachDisk(gone);
  });
  delete disk_;
  disk_ = nullptr;
  ASSERT_TRUE(WaitDone(on_ring));
  ASSERT_TRUE(WaitDone(pending));
  EXPECT_EQ(on_ring->io()->status, -1);
  EXPECT_EQ(pending->io()->status, -1);
  OnLoop([&] {
    EXPECT_EQ(driver()->retry_count(), 0u);
    EXPECT_EQ(driver()->pending_count(), 0u);
    driver()->FreeDgs(name_);
    driver()->free_plane_route_cache(gone);
    driver()->BitMapFree(gone);
    driver()->CrcFree(gone);
    driver()->segmentFree(gone);
    driver()->streamFree(gone);
    driver()->extentFree(gone);
    driver()->offset_extentFree(gone);
    EXPECT_FALSE(driver()->has_route_cache(name_));
  });
  TestIo* late = NewRead(0, 4096);
  Submit(late);
  ASSERT_TRUE(WaitDone(late));
  EXPECT_EQ(late->io()->status, -1);

  // The answers come after the disk's state is gone.
  bs_.HoldAll(false);
  EXPECT_EQ(bs_.Release(), 4u);
  for (TestIo* t : held) {
    ASSERT_TRUE(WaitDone(t));
    EXPECT_EQ(t->io()->status, -1);
  }
  OnLoop([&] {
    EXPECT_EQ(driver()->in_flight(), 0);
    EXPECT_EQ(driver()->outstanding_calls(), 0u);
  });
  for (const auto& t : ios_) EXPECT_EQ(t->completions, 1);
  // Only the aligned write was sent: the unaligned one never reached its
  // write stage.
  EXPECT_EQ(bs_.count("Write"), 1u);
}

TEST_F(LifecycleTest, TearingADriverDownFailsWhatItHolds) {
  StartDrivers();
  bs_.HoldAll(true);
  TestIo* a = NewRead(0, 4096);
  TestIo* b = NewWrite(4096, Pattern(kBlock, 3));
  Submit(a);
  Submit(b);
  ASSERT_TRUE(WaitHeld(2));
  drivers_.clear();
  ASSERT_TRUE(WaitDone(a));
  ASSERT_TRUE(WaitDone(b));
  EXPECT_EQ(a->io()->status, -1);
  EXPECT_EQ(b->io()->status, -1);
}

TEST_F(LifecycleTest, TearingADriverDownWhileAFailedCallIsOnItsWayIsSafe) {
  StartDrivers();
  tarn::RpcClient* real = nullptr;
  OnLoop([&] {
    ClientManager* g = driver()->client_group(ip_, port_);
    real = g->clients[0];
    // A connect failure's closure runs 0.1 s after the call.
    g->clients[0] = new FailingClient(colony_->GetWorker(0), testsupport::Loopback(port_),
                                      tarn::kRpcConnectError);
  });
  TestIo* t = NewRead(0, 4096);
  Submit(t);
  OnLoop([&] { EXPECT_EQ(driver()->outstanding_calls(), 1u); });
  // Calls abandoned by earlier teardowns (their clients went with them)
  // never come back.
  const size_t before = PyxDriver::orphaned_calls();
  drivers_.clear();
  EXPECT_EQ(PyxDriver::orphaned_calls(), before + 1);
  ASSERT_TRUE(WaitDone(t));
  EXPECT_EQ(t->io()->status, -1);
  // The closure arrives at the record the driver left behind.
  EXPECT_TRUE(testsupport::WaitFor([&] { return PyxDriver::orphaned_calls() == before; }));
  OnLoop([&] { delete real; });
  EXPECT_EQ(t->completions, 1);
}

TEST_F(LifecycleTest, IoTheDriverCannotPlaceFailsOnce) {
  StartDrivers();
  testsupport::LogCapture logs;
  TestIo* far_plane = NewRead(0, 4096);
  far_plane->io()->plane = 8192;
  Submit(far_plane);
  ASSERT_TRUE(WaitDone(far_plane));
  EXPECT_EQ(far_plane->io()->status, -1);
  EXPECT_NE(logs.LineWith("disk0 plane 8192 lies beyond the 8192 routes of a disk"), "");
  EXPECT_EQ(Read<int64_t>(0, [&] { return driver()->in_flight(); }), 0);

  TestIo* flush = NewIo(SPDK_BDEV_IO_TYPE_FLUSH, 0, 4096);
  tracked_[flush->io()] = flush;
  OnLoop([&] {
    driver()->retry_io_enqueue(flush->io());
    driver()->pyx_retry_io();
  });
  ASSERT_TRUE(WaitDone(flush));
  EXPECT_EQ(flush->io()->status, -1);
  EXPECT_NE(logs.LineWith("is neither read nor write"), "");

  OnLoop([&] { driver()->free_plane_route_cache(disk_); });
  TestIo* no_cache = NewWrite(0, Pattern(kBlock, 4));
  Submit(no_cache);
  ASSERT_TRUE(WaitDone(no_cache));
  EXPECT_EQ(no_cache->io()->status, -1);
  EXPECT_NE(logs.LineWith("disk0 has not route cache|offset:0|len:4096"), "");
  EXPECT_EQ(bs_.requests().size(), 0u);
}

TEST_F(LifecycleTest, FailIoNeverLooksAtTheDisk) {
  StartDrivers();
  bdev_pyx_io_channel bogus = ch_;
  bogus.disk = reinterpret_cast<bdev_pyx*>(uintptr_t{0x10});
  TestIo* t = NewRead(0, 4096);
  t->io()->ch = &bogus;
  tracked_[t->io()] = t;
  OnLoop([&] { driver()->FailIo(t->io()); });
  ASSERT_TRUE(WaitDone(t));
  EXPECT_EQ(t->io()->status, -1);
  EXPECT_EQ(t->io()->stats, nullptr);
  TestIo* u = NewRead(0, 4096);
  u->io()->ch = &bogus;
  Submit(u);  // an unknown disk
  ASSERT_TRUE(WaitDone(u));
  EXPECT_EQ(u->io()->status, -1);
}

TEST_F(LifecycleTest, RoutesAreCopiedDieByDieAndKeptBeyondAShorterAnswer) {
  StartDrivers();
  driver()->UpdateRouteCache(name_, Routes(6, port_ + 1, 2));
  OnLoop([&] {
    for (uint64_t p = 0; p < 6; ++p) {
      ASSERT_NE(driver()->route_of(name_, p), nullptr);
      EXPECT_EQ(driver()->route_of(name_, p)->plane_id().start_lba(), p << 24) << p;
      EXPECT_EQ(driver()->route_of(name_, p)->endpoint().port(), port_ + 1u) << p;
    }
    EXPECT_EQ(driver()->route_of(name_, 6)->endpoint().port(), port_);  // from the first answer
  });
  driver()->UpdateRouteCache(name_, Routes(2, port_ + 2));
  OnLoop([&] {
    EXPECT_EQ(driver()->route_of(name_, 1)->endpoint().port(), port_ + 2u);
    EXPECT_EQ(driver()->route_of(name_, 2)->endpoint().port(), port_ + 1u);
  });

  testsupport::LogCapture logs;
  driver()->UpdateRouteCache("other", Routes(2, port_));
  driver()->UpdateRouteCache(name_, Routes(8195, port_));
  OnLoop([] {});
  EXPECT_NE(logs.LineWith("other has not route cache"), "");
  EXPECT_NE(logs.LineWith("route answer holds 8195 planes, the 3 beyond 8192 have no place")
                .find(" ERROR "),
            std::string::npos);
  EXPECT_NE(logs.LineWith("Update disk0-0 route cache"), "");
}

TEST_F(LifecycleTest, ASecondGroupForTheSameEndpointKeepsTheFirst) {
  rpc_timeout = 200;  // the call to a closed port ends by its budget
  StartDrivers();
  OnLoop([&] {
    ClientManager* first = driver()->client_group(ip_, port_);
    ASSERT_NE(first, nullptr);
    driver()->pyx_set_client_manager(static_cast<int>(ip_), "127.0.0.1", port_, 3);
    EXPECT_EQ(driver()->client_group(ip_, port_), first);
    EXPECT_EQ(driver()->client_group_count(), 1u);
  });
  // A route to an endpoint without a group makes one on first use.
  const uint16_t other = testsupport::PickFreePort();
  driver()->UpdateRouteCache(name_, Routes(kPlanes, other));
  TestIo* t = NewRead(0, 4096);
  Submit(t);
  ASSERT_TRUE(testsupport::WaitFor(
      [&] { return Read<size_t>(0, [&] { return driver()->client_group_count(); }) == 2; }));
  driver()->UpdateRouteCache(name_, Routes(kPlanes, port_));
  ASSERT_TRUE(RetryUntilDone(t));
  EXPECT_EQ(t->io()->status, 0);
}

TEST_F(LifecycleTest, Ipv6RoutesUseGroupsKeyedByTheFourWords) {
  if (!testsupport::Ipv6LoopbackAvailable()) GTEST_SKIP() << "no IPv6 loopback";
  is_ipv6 = 1;
  const uint16_t port6 = testsupport::PickFreePort6();
  tarn::WorkerOption opt;
  opt.name_prefix = "io-bs6-";
  tarn::RpcServer server6(tarn::kTcp, acceptor_->worker(), testsupport::Loopback6(port6),
                          "io_bs6", opt, nullptr);
  ASSERT_EQ(server6.AddService(&bs_), 0);
  server6.SetWorkerNum(1);
  ASSERT_EQ(server6.Start(), 0);
  StartDrivers();
  uint32_t words[4];
  memcpy(words, &in6addr_loopback, sizeof(words));
  auto routes = Routes(kPlanes, port6);
  for (auto& die : *routes->mutable_routes()) {
    for (auto& r : *die.mutable_route()) {
      r.mutable_endpoint()->set_ip(0);
      for (uint32_t w : words) r.mutable_endpoint()->mutable_ipv6()->add_ip(w);
    }
  }
  driver()->UpdateRouteCache(name_, routes);
  testsupport::LogCapture logs;
  TestIo* t = NewWrite(0, Pattern(kBlock, 5));
  Submit(t);
  ASSERT_TRUE(WaitDone(t));
  EXPECT_EQ(t->io()->status, 0);
  EXPECT_NE(logs.LineWith("set ipv6 again -----string ipv6:::1"), "");

  // An address of three words cannot be used: the I/O waits for a better
  // route on the retry ring.
  for (auto& die : *routes->mutable_routes()) {
    for (auto& r : *die.mutable_route()) r.mutable_endpoint()->mutable_ipv6()->mutable_ip()->RemoveLast();
  }
  driver()->UpdateRouteCache(name_, routes);
  TestIo* r = NewRead(0, 4096);
  Submit(r);
  ASSERT_TRUE(WaitRetry(1));
  EXPECT_NE(logs.LineWith("Ipv6Addr size error:3"), "");
  for (auto& die : *routes->mutable_routes()) {
    for (auto& e : *die.mutable_route()) e.mutable_endpoint()->mutable_ipv6()->add_ip(words[3]);
  }
  driver()->UpdateRouteCache(name_, routes);
  ASSERT_TRUE(RetryUntilDone(r));
  EXPECT_EQ(r->io()->status, 0);
  EXPECT_EQ(Diff(r->data(), Pattern(kBlock, 5)), "equal");
  drivers_.clear();  // before the server goes
}

TEST_F(LifecycleTest, EveryDriverCompletesOnItsOwnRingWithItsOwnTerm) {
  StartDrivers(2);
  disk_->route_term[1] = 9;
  bs_.set_term(9);
  TestIo* t = NewRead(0, 4096);
  Submit(t, 1);
  ASSERT_TRUE(WaitDone(t));
  EXPECT_EQ(t->io()->status, 0);
  EXPECT_EQ(bs_.requests().back().term, 9u);
  EXPECT_EQ(Metric("_4_k_read_sum", 1), 1u);
  EXPECT_EQ(Metric("_4_k_read_sum", 0), 0u);
}

TEST_F(LifecycleTest, EveryMetricIsExposedUnderTheDriversPrefix) {
  StartDrivers();
  std::vector<std::string> names;
  bvar::Variable::list_exposed(&names);
  for (const char* suffix :
       {"read_iops", "read_bw", "write_iops", "write_bw", "write_fail_count", "read_fail_count",
        "in_flighting", "retry_num", "pending_sum", "512_write_sum", "512_read_sum",
        "4_k_write_sum", "4_k_read_sum", "query_route_count", "read_lat_count",
        "write_lat_count"}) {
    const std::string name = std::string("pyxdriver_worker0_") + suffix;
    EXPECT_NE(std::find(names.begin(), names.end(), name), names.end()) << name;
  }
}

}  // namespace
}  // namespace iotest
