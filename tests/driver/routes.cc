// Route queries against the simulated cluster: the bring-up's whole-disk
// query with block-master fail-over and its result codes, refreshes asked
// for one driver, and answers whose geometry cannot be used (from a block
// master of the test that takes a simulated one's place).
#include <mutex>
#include <sstream>
#include <string>
#include <utility>

#include <gtest/gtest.h>

#include "driver/cluster_world.h"

namespace {

using ctltest::ClusterTest;
using ctltest::ClusterWorld;
using ctltest::FakeBlockMaster;
using ctltest::FakeServer;
using ctltest::HostDisk;
using pyxsim::Role;

std::string BmKey(ClusterWorld* w, int i) {
  return "127.0.0.1:" + std::to_string(w->cluster().port(Role::kBlockMaster, i));
}

// The test's block master in the place (and on the port) of the simulated
// block master 1, which becomes the leader: the other one then answers
// "not leader".
class BlockMasterStandIn {
 public:
  explicit BlockMasterStandIn(ClusterWorld* world) : world_(world) {
    world_->faults().StopServer(Role::kBlockMaster, 1);
    fake_.reset(new FakeServer<FakeBlockMaster>(
        "127.0.0.1", world_->cluster().port(Role::kBlockMaster, 1), false));
    world_->faults().SetPrimaryBlockMaster(1);
  }
  ~BlockMasterStandIn() {
    fake_.reset();
    world_->faults().RestartServer(Role::kBlockMaster, 1);
    world_->faults().SetPrimaryBlockMaster(0);
  }
  bool started() const { return fake_->started(); }
  FakeBlockMaster& service() { return fake_->service(); }

 private:
  ClusterWorld* world_;
  std::unique_ptr<FakeServer<FakeBlockMaster>> fake_;
};

struct Geometry {
  uint64_t die_unit, die, plane, block;
};

// An answer of `dies` dies of die / plane planes each, plane i at port
// 1000 + i, with the given term.
vovorav::BlockMasterQueryPlaneRouteResponse RouteAnswer(const Geometry& g, int dies,
                                                        uint64_t term) {
  vovorav::BlockMasterQueryPlaneRouteResponse answer;
  answer.mutable_rc()->set_retcode(0);
  answer.mutable_route_term()->set_term(term);
  answer.mutable_basic()->set_die_unit_capacity(g.die_unit);
  answer.mutable_basic()->set_die_capacity(g.die);
  answer.mutable_basic()->set_plane_capacity(g.plane);
  answer.mutable_basic()->set_block_capacity(g.block);
  const uint64_t per_die = g.plane == 0 || g.die < g.plane ? 1 : g.die / g.plane;
  uint64_t plane = 0;
  for (int d = 0; d < dies; ++d) {
    vovorav::PlaneRouteInDie* in_die = answer.add_routes();
    in_die->mutable_die_id()->set_start_lba(d * g.die);
    for (uint64_t j = 0; j < per_die; ++j, ++plane) {
      vovorav::PlaneRouteDetail* r = in_die->add_route();
      r->mutable_plane_id()->set_start_lba(plane * g.plane);
      r->mutable_endpoint()->set_ip(0x0100007f);
      r->mutable_endpoint()->set_port(static_cast<uint32_t>(1000 + plane));
      r->set_hash_idx(static_cast<uint32_t>(plane));
    }
  }
  return answer;
}

std::string GeometryText(const Geometry& g) {
  std::ostringstream os;
  os << "|die_unit_capacity: " << g.die_unit << "|die_capacity: " << g.die
     << "|plane_capacity: " << g.plane << "|block_capacity: " << g.block;
  return os.str();
}

class Routes : public ClusterTest {
 protected:
  // Opens a fresh disk of the cluster; ok expected.
  std::unique_ptr<HostDisk> OpenDisk(const std::string& stem) {
    std::unique_ptr<HostDisk> disk(new HostDisk(world_->NewDisk(stem)));
    EXPECT_TRUE(ClusterWorld::Open(disk.get()));
    EXPECT_EQ(disk->ok(), 1);
    SyncDrivers();
    tap().Clear();
    faults().ResetCounts();
    return disk;
  }
  uint64_t BmCalls(int i) { return world_->Calls(Role::kBlockMaster, i, "QueryPlaneRoute"); }
  // Each driver takes a term with its routes, on its own loop: once this
  // returns, what was handed to them before has arrived.
  static void SyncDrivers() {
    for (int i = 0; i < ClusterWorld::kDrivers; ++i) ctltest::OnDriver(i, [](PyxDriver*) {});
  }
};

TEST_F(Routes, BothBlockMastersNotLeaderEndsTheBringUp) {
  const std::string name = world_->NewDisk("noleader");
  faults().FailCalls(Role::kBlockMaster, 0, "QueryPlaneRoute", -10003, 1);
  HostDisk disk(name);
  ASSERT_TRUE(ClusterWorld::Open(&disk));
  EXPECT_EQ(disk.ok(), 0);
  EXPECT_EQ(BmCalls(0), 1u);
  EXPECT_EQ(BmCalls(1), 1u);  // not the leader either
  EXPECT_EQ(tap().Count("HandleQueryRouteResponse failed, try next blockmaster"), 2);
  EXPECT_EQ(tap().Count("cnlt err:0 or not leader"), 2);
  EXPECT_EQ(world_->VmCalls("RegisterVdi"), 0u);
  disk.Free();
}

struct CodeCase {
  int retcode;
  const char* line;  // the line's start; the tail follows
};

TEST_F(Routes, BringUpResultCodesEndIt) {
  const CodeCase cases[] = {
      {-10006, "vdisk not found.|err retcode:-10006|err msg:"},
      {-10012, "Received routes failed.|err retcode:-10012|err msg:"},
  };
  for (const CodeCase& c : cases) {
    tap().Clear();
    const std::string name = world_->NewDisk("code");
    faults().FailCalls(Role::kBlockMaster, 0, "QueryPlaneRoute", c.retcode, 1);
    HostDisk disk(name);
    disk.record()->exists = 1;
    ASSERT_TRUE(ClusterWorld::Open(&disk));
    EXPECT_EQ(disk.ok(), 0) << c.retcode;
    EXPECT_EQ(disk.exists(), c.retcode == -10006 ? 0 : 1) << c.retcode;
    const std::string message = tap().Message(c.line);
    EXPECT_NE(message, "") << c.retcode << "\n" << tap().text();
    EXPECT_NE(message.find("|vdi name:" + name + "|vdi uuid:" + cluster().DiskUuid(name) +
                           "|blocmaster:" + BmKey(world_, 0) + "|remote_side:"),
              std::string::npos)
        << message;
    EXPECT_EQ(world_->VmCalls("RegisterVdi"), 0u);
    disk.Free();
  }
  // Any other code: the whole answer, in its text form.
  const std::string name = world_->NewDisk("code");
  faults().FailCalls(Role::kBlockMaster, 0, "QueryPlaneRoute", -4242, 1);
  HostDisk disk(name);
  ASSERT_TRUE(ClusterWorld::Open(&disk));
  EXPECT_EQ(disk.ok(), 0);
  EXPECT_TRUE(tap().Has("retcode: -4242"));
  EXPECT_EQ(BmCalls(1), 0u);
  disk.Free();
}

TEST_F(Routes, UnusableGeometryFailsTheBringUp) {
  BlockMasterStandIn stand_in(world_);
  ASSERT_TRUE(stand_in.started());
  const uint64_t M = 1 << 20;
  const Geometry cases[] = {
      {64 * M * 1024, 256 * M, 0, M},         // no plane size
      {64 * M * 1024, 256 * M, 16 * M, 0},    // no block size
      {0, 256 * M, 16 * M, M},                // no die unit
      {64 * M * 1024, 0, 16 * M, M},          // no die size
      {64 * M * 1024, 16 * M, 256 * M, M},    // a plane larger than its die
      {64 * M * 1024, 40 * M, 16 * M, M},     // a die that is no whole number of planes
  };
  for (const Geometry& g : cases) {
    tap().Clear();
    stand_in.service().set_answer(RouteAnswer(g, 1, 5));
    const std::string name = world_->NewDisk("badgeo");
    HostDisk disk(name);
    ASSERT_TRUE(ClusterWorld::Open(&disk));
    EXPECT_EQ(disk.ok(), 0) << GeometryText(g);
    EXPECT_EQ(disk.record()->plane_capacity, 0u);
    EXPECT_EQ(disk.term(0), 0u);
    const std::string expected = "Failed to get route term:|err retcode:0|err msg:" +
                                 GeometryText(g) + "|vdi name:" + name + "|vdi uuid:" +
                                 cluster().DiskUuid(name) + "|blocmaster:" + BmKey(world_, 1) +
                                 "|remote_side:";
    EXPECT_TRUE(tap().Has(expected)) << expected << "\n" << tap().text();
    EXPECT_EQ(stand_in.service().last_vdi(), cluster().DiskUuid(name));
    disk.Free();
  }
}

// Routes go into every driver's cache in the order of the answer, die by
// die.
TEST_F(Routes, TwoDiesOfThreePlanesFillEntriesZeroToFive) {
  BlockMasterStandIn stand_in(world_);
  ASSERT_TRUE(stand_in.started());
  const uint64_t M = 1 << 20;
  const Geometry g{64 * M * 1024, 48 * M, 16 * M, M};
  stand_in.service().set_answer(RouteAnswer(g, 2, 9));
  const std::string name = world_->NewDisk("twodies", 96 * M);
  HostDisk disk(name);
  ASSERT_TRUE(ClusterWorld::Open(&disk));
  EXPECT_EQ(disk.ok(), 1);
  EXPECT_EQ(disk.record()->die_capacity, 48 * M);
  SyncDrivers();
  for (int i = 0; i < ClusterWorld::kDrivers; ++i) {
    EXPECT_EQ(disk.term(i), 9u);
    ctltest::OnDriver(i, [&](PyxDriver* d) {
      for (uint64_t p = 0; p < 6; ++p) {
        const vovorav::PlaneRouteDetail* r = d->route_of(name, p);
        ASSERT_NE(r, nullptr);
        EXPECT_EQ(r->plane_id().start_lba(), p * 16 * M) << p;
        EXPECT_EQ(r->endpoint().port(), 1000 + p) << p;
      }
      const vovorav::PlaneRouteDetail* none = d->route_of(name, 6);
      EXPECT_TRUE(none == nullptr || none->endpoint().port() == 0);
    });
  }
  EXPECT_TRUE(tap().Has("Received disk info: route_term: 9" + GeometryText(g)));
  disk.Free();
}

TEST_F(Routes, RefreshForOneDriverReachesItAlone) {
  std::unique_ptr<HostDisk> disk = OpenDisk("refresh");
  const std::string name = disk->record()->name;
  const uint64_t old_term = disk->term(0);
  const int old_server = cluster().PlaneServer(name, 0);
  ASSERT_EQ(faults().MovePlane(name, 0, 1 - old_server), 0);
  const uint64_t new_term = cluster().RouteTerm(name);
  ASSERT_NE(new_term, old_term);
  const uint32_t new_port = cluster().port(Role::kBlockServer, 1 - old_server);

  pyx::RequestRouteRefresh(disk->record(), 0, disk->size(), 2);
  ASSERT_TRUE(tap().WaitFor("Received route success: route_term: " + std::to_string(new_term)));
  SyncDrivers();
  const std::string message = tap().Message("Received route success:");
  EXPECT_NE(message.find("|vdi name:" + name + "|vdi uuid:" + cluster().DiskUuid(name) +
                         "|blokmaster:" + BmKey(world_, 0) + "|remote_side:"),
            std::string::npos)
      << message;
  for (int i = 0; i < ClusterWorld::kDrivers; ++i) {
    EXPECT_EQ(disk->term(i), i == 2 ? new_term : old_term) << i;
    ctltest::OnDriver(i, [&](PyxDriver* d) {
      const uint32_t port = d->route_of(name, 0)->endpoint().port();
      if (i == 2) {
        EXPECT_EQ(port, new_port);
      } else {
        EXPECT_NE(port, new_port) << i;
      }
    });
  }
  EXPECT_EQ(disk->ok(), 1);
  EXPECT_EQ(disk->done_count(), 1);  // a refresh never calls done
  EXPECT_EQ(BmCalls(0), 1u);
  disk->Free();
}

TEST_F(Routes, RefreshResultCodesLeaveTheBringUpsResult) {
  std::unique_ptr<HostDisk> disk = OpenDisk("refreshcodes");
  const std::string name = disk->record()->name;
  const std::string tail = "|vdi name:" + name + "|vdi uuid:" + cluster().DiskUuid(name) +
                           "|blokmaster:" + BmKey(world_, 0) + "|remote_side:";

  faults().FailCalls(Role::kBlockMaster, 0, "QueryPlaneRoute", -10012, 1);
  pyx::RequestRouteRefresh(disk->record(), 0, disk->size(), 1);
  ASSERT_TRUE(tap().WaitFor("Received routes failed.|err retcode:-10012"));
  EXPECT_NE(tap().Message("Received routes failed.").find(tail), std::string::npos);
  EXPECT_EQ(disk->exists(), 1);

  faults().FailCalls(Role::kBlockMaster, 0, "QueryPlaneRoute", -10006, 1);
  pyx::RequestRouteRefresh(disk->record(), 0, disk->size(), 1);
  ASSERT_TRUE(tap().WaitFor("vdisk not found.|err retcode:-10006"));
  EXPECT_NE(tap().Message("vdisk not found.").find(tail), std::string::npos);
  EXPECT_EQ(disk->exists(), 0);
  EXPECT_EQ(disk->ok(), 1);
  EXPECT_EQ(disk->done_count(), 1);
  EXPECT_EQ(BmCalls(1), 0u);
  disk->Free();
}

TEST_F(Routes, RefreshFromANonLeaderMovesThePrimaryWithoutResending) {
  std::unique_ptr<HostDisk> disk = OpenDisk("refreshleader");
  const std::string name = disk->record()->name;
  faults().SetPrimaryBlockMaster(1);
  pyx::RequestRouteRefresh(disk->record(), 0, disk->size(), 0);
  ASSERT_TRUE(tap().WaitFor("HandleQueryRouteResponse2 failed, try next blockmaster"));
  EXPECT_TRUE(tap().Has("cnlt err:0 or not leader"));
  ctltest::OnManager([&](PyxManager* m) { EXPECT_EQ(m->blockmasters().at(name).index, 1); });
  EXPECT_EQ(BmCalls(0), 1u);
  EXPECT_EQ(BmCalls(1), 0u);
  // The driver asks again when it needs to; the new primary answers.
  pyx::RequestRouteRefresh(disk->record(), 0, disk->size(), 0);
  ASSERT_TRUE(tap().WaitFor("Received route success:"));
  EXPECT_NE(tap().Message("Received route success:").find("|blokmaster:" + BmKey(world_, 1)),
            std::string::npos);
  EXPECT_EQ(BmCalls(1), 1u);
  disk->Free();
}

TEST_F(Routes, RefreshWithUnusableGeometryKeepsTheOldRoutes) {
  std::unique_ptr<HostDisk> disk = OpenDisk("refreshgeo");
  const std::string name = disk->record()->name;
  const bdev_pyx before = *disk->record();
  uint32_t port_before = 0;
  ctltest::OnDriver(1, [&](PyxDriver* d) { port_before = d->route_of(name, 0)->endpoint().port(); });

  BlockMasterStandIn stand_in(world_);
  ASSERT_TRUE(stand_in.started());
  ctltest::OnManager([&](PyxManager*) {});
  const uint64_t M = 1 << 20;
  const Geometry bad{64 * M * 1024, 16 * M, 256 * M, M};
  stand_in.service().set_answer(RouteAnswer(bad, 1, 77));
  // The first refresh finds the old primary no longer leading ...
  pyx::RequestRouteRefresh(disk->record(), 0, disk->size(), 1);
  ASSERT_TRUE(tap().WaitFor("HandleQueryRouteResponse2 failed, try next blockmaster"));
  // ... the second reaches the new one, whose geometry is refused.
  pyx::RequestRouteRefresh(disk->record(), 0, disk->size(), 1);
  ASSERT_TRUE(tap().WaitFor("Failed to get route term:"));
  EXPECT_NE(tap().Message("Failed to get route term:").find(GeometryText(bad)), std::string::npos);
  EXPECT_EQ(stand_in.service().calls(), 1);
  for (int i = 0; i < ClusterWorld::kDrivers; ++i) EXPECT_EQ(disk->term(i), before.route_term[i]);
  EXPECT_EQ(disk->record()->die_capacity, before.die_capacity);
  EXPECT_EQ(disk->record()->plane_capacity, before.plane_capacity);
  EXPECT_EQ(disk->record()->block_capacity, before.block_capacity);
  ctltest::OnDriver(1, [&](PyxDriver* d) {
    EXPECT_EQ(d->route_of(name, 0)->endpoint().port(), port_before);
  });

  // A usable answer then replaces geometry, term and the cache of driver 1.
  const Geometry good{64 * M * 1024, 48 * M, 16 * M, M};
  stand_in.service().set_answer(RouteAnswer(good, 2, 78));
  pyx::RequestRouteRefresh(disk->record(), 0, disk->size(), 1);
  ASSERT_TRUE(tap().WaitFor("Received route success: route_term: 78" + GeometryText(good)));
  SyncDrivers();
  EXPECT_EQ(disk->term(1), 78u);
  EXPECT_EQ(disk->term(0), before.route_term[0]);
  EXPECT_EQ(disk->record()->die_capacity, 48 * M);
  ctltest::OnDriver(1, [&](PyxDriver* d) {
    for (uint64_t p = 0; p < 6; ++p) EXPECT_EQ(d->route_of(name, p)->endpoint().port(), 1000 + p);
  });
  disk->Free();
}

TEST_F(Routes, RefreshOfAFreedDiskIsDropped) {
  std::unique_ptr<HostDisk> disk = OpenDisk("refreshfreed");
  bdev_pyx* record = disk->record();
  disk->Free();
  pyx::RequestRouteRefresh(record, 0, 1 << 20, 0);  // the pointer is only a key now
  ASSERT_TRUE(tap().WaitFor("route refresh dropped: its vdisk has been freed"));
  EXPECT_EQ(BmCalls(0), 0u);
}


// The answer's routes moved to ports from `base` on.
vovorav::BlockMasterQueryPlaneRouteResponse Ported(vovorav::BlockMasterQueryPlaneRouteResponse a,
                                                   uint32_t base) {
  uint32_t port = base;
  for (vovorav::PlaneRouteInDie& die : *a.mutable_routes()) {
    for (vovorav::PlaneRouteDetail& r : *die.mutable_route()) r.mutable_endpoint()->set_port(port++);
  }
  return a;
}

const uint64_t kM = 1 << 20;
const Geometry kClusterGeometry{64 * kM * 1024, 256 * kM, 16 * kM, kM};

// Driver i's term, and the port of its route for plane 0.
std::pair<uint64_t, uint32_t> TermAndPort(HostDisk* disk, int i) {
  uint32_t port = 0;
  const std::string name = disk->record()->name;
  ctltest::OnDriver(i, [&](PyxDriver* d) { port = d->route_of(name, 0)->endpoint().port(); });
  return {disk->term(i), port};
}

// Two refreshes of one driver out at once; the block master answers the
// newer first. The older answer is dropped: the driver keeps the newer term
// and its routes.
TEST_F(Routes, RefreshAnswersLandingOutOfOrderKeepTheNewerTerm) {
  std::unique_ptr<HostDisk> disk = OpenDisk("refreshorder");
  BlockMasterStandIn stand_in(world_);
  ASSERT_TRUE(stand_in.started());
  // The first refresh finds the old primary no longer leading.
  pyx::RequestRouteRefresh(disk->record(), 0, disk->size(), 1);
  ASSERT_TRUE(tap().WaitFor("HandleQueryRouteResponse2 failed, try next blockmaster"));
  stand_in.service().set_hold(true);
  pyx::RequestRouteRefresh(disk->record(), 0, disk->size(), 1);
  pyx::RequestRouteRefresh(disk->record(), 0, disk->size(), 1);
  ASSERT_TRUE(testsupport::WaitFor([&] { return stand_in.service().held() == 2; }));
  const uint64_t older = disk->term(1) + 10, newer = disk->term(1) + 20;
  stand_in.service().Answer(1, Ported(RouteAnswer(kClusterGeometry, 1, newer), 2000));
  ASSERT_TRUE(tap().WaitFor("Received route success: route_term: " + std::to_string(newer)));
  stand_in.service().Answer(0, Ported(RouteAnswer(kClusterGeometry, 1, older), 3000));
  const std::string dropped = "Route answer of term " + std::to_string(older) +
                              " is older than term " + std::to_string(newer) +
                              " of worker 1, dropped|vdi name:" + disk->record()->name;
  ASSERT_TRUE(tap().WaitFor(dropped));
  SyncDrivers();
  EXPECT_EQ(TermAndPort(disk.get(), 1), std::make_pair(newer, 2000u));
  EXPECT_EQ(tap().Count("Received route success:"), 1);
  disk->Free();
}

// A refresh asked while the bring-up's own query is out lands first with a
// newer term: the bring-up's older answer still opens the disk and reaches
// every other driver, but leaves the refreshed one as it is.
TEST_F(Routes, ABringUpAnswerOlderThanARefreshLeavesTheRefreshedDriver) {
  BlockMasterStandIn stand_in(world_);
  ASSERT_TRUE(stand_in.started());
  stand_in.service().set_hold(true);
  HostDisk disk(world_->NewDisk("bringuporder"));
  ASSERT_EQ(pyx_init(disk.record()), 0);
  ASSERT_TRUE(testsupport::WaitFor([&] { return stand_in.service().held() == 1; }));
  pyx::RequestRouteRefresh(disk.record(), 0, disk.size(), 2);
  ASSERT_TRUE(testsupport::WaitFor([&] { return stand_in.service().held() == 2; }));
  stand_in.service().Answer(1, Ported(RouteAnswer(kClusterGeometry, 1, 60), 2000));
  ASSERT_TRUE(tap().WaitFor("Received route success: route_term: 60"));
  stand_in.service().Answer(0, Ported(RouteAnswer(kClusterGeometry, 1, 50), 3000));
  ASSERT_TRUE(disk.WaitDone());
  EXPECT_EQ(disk.ok(), 1);
  EXPECT_TRUE(tap().Has("Route answer of term 50 is older than term 60 of worker 2, dropped"));
  SyncDrivers();
  for (int i = 0; i < ClusterWorld::kDrivers; ++i) {
    EXPECT_EQ(TermAndPort(&disk, i), i == 2 ? std::make_pair(uint64_t{60}, 2000u)
                                            : std::make_pair(uint64_t{50}, 3000u))
        << i;
  }
  disk.Free();
}

// The term a driver sends with its I/O changes on the driver's loop with
// its routes, never before: while driver 2's loop is busy, the manager has
// taken a new answer for it but the driver still holds the old term.
TEST_F(Routes, ARefreshedTermReachesTheDriverTogetherWithItsRoutes) {
  std::unique_ptr<HostDisk> disk = OpenDisk("termwithroutes");
  const std::string name = disk->record()->name;
  const auto before = TermAndPort(disk.get(), 2);
  const int old_server = cluster().PlaneServer(name, 0);
  ASSERT_EQ(faults().MovePlane(name, 0, 1 - old_server), 0);
  const uint64_t new_term = cluster().RouteTerm(name);
  const uint32_t new_port = cluster().port(Role::kBlockServer, 1 - old_server);
  std::mutex gate;
  {
    std::unique_lock<std::mutex> busy(gate);
    ASSERT_EQ(pyxdrivers[2]->worker()->loop()->RunInLoop(
                  [&gate] { std::lock_guard<std::mutex> wait(gate); }, true),
              0);
    pyx::RequestRouteRefresh(disk->record(), 0, disk->size(), 2);
    ASSERT_TRUE(tap().WaitFor("Received route success: route_term: " + std::to_string(new_term)));
    EXPECT_EQ(disk->term(2), before.first);
  }
  EXPECT_EQ(TermAndPort(disk.get(), 2), std::make_pair(new_term, new_port));
  disk->Free();
}

}  // namespace
