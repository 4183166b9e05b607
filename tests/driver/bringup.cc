// Opening disks against the simulated cluster: the bring-up chain, its
// fail-over between volume managers and block masters, registration and
// unregistration, and disks freed while answers are still out.
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "driver/cluster_world.h"

namespace {

using ctltest::ClusterTest;
using ctltest::ClusterWorld;
using ctltest::HostDisk;
using pyxsim::Role;

constexpr int kVms = 3;

std::string Port(ClusterWorld* w, Role role, int i) {
  return std::to_string(w->cluster().port(role, i));
}

class BringUp : public ClusterTest {};

TEST_F(BringUp, ChainRegistersTheDiskAndEquipsEveryDriver) {
  const std::string name = world_->NewDisk("plain");
  const int vm = ctltest::CurrentVolumeManager();
  HostDisk disk(name);
  ASSERT_TRUE(ClusterWorld::Open(&disk));
  bdev_pyx* r = disk.record();
  EXPECT_EQ(disk.ok(), 1);
  EXPECT_EQ(disk.exists(), 1);
  EXPECT_EQ(r->deleting, 0);
  EXPECT_EQ(disk.size(), cluster().DiskSize(name));
  EXPECT_EQ(std::string(r->uuid), cluster().DiskUuid(name));
  const pyxsim::Geometry geo = cluster().options().geometry;
  EXPECT_EQ(r->die_unit_capacity, geo.die_unit_capacity);
  EXPECT_EQ(r->die_capacity, geo.die_capacity);
  EXPECT_EQ(r->plane_capacity, geo.plane_capacity);
  EXPECT_EQ(r->block_capacity, geo.block_capacity);
  const uint64_t term = cluster().RouteTerm(name);
  // Each driver takes the term with its routes, on its own loop.
  for (int i = 0; i < ClusterWorld::kDrivers; ++i) ctltest::OnDriver(i, [](PyxDriver*) {});
  for (int i = 0; i < 16; ++i) EXPECT_EQ(disk.term(i), i < ClusterWorld::kDrivers ? term : 0u);
  EXPECT_EQ(r->attempts, 0);
  EXPECT_EQ(cluster().Registrations().count(name), 1u);

  // One call of each step, all on the current volume manager.
  for (const char* m : {"GetVdiSize", "LocateVdi", "RegisterVdi"}) {
    EXPECT_EQ(world_->Calls(Role::kVolumeManager, vm, m), 1u) << m;
    EXPECT_EQ(world_->VmCalls(m), 1u) << m;
  }
  EXPECT_EQ(world_->Calls(Role::kBlockMaster, 0, "QueryPlaneRoute"), 1u);
  EXPECT_EQ(world_->Calls(Role::kBlockMaster, 1, "QueryPlaneRoute"), 0u);
  EXPECT_EQ(ctltest::CurrentVolumeManager(), vm);

  const std::string vm_addr =
      "127.0.0.1|volume manager port:" + Port(world_, Role::kVolumeManager, vm);
  EXPECT_TRUE(tap().Has("volume manager ip:" + vm_addr + "|volume manager:127.0.0.1:" +
                        Port(world_, Role::kVolumeManager, vm)));
  EXPECT_TRUE(tap().Has("Volume manager ip 127.0.0.1volume manager port " +
                        Port(world_, Role::kVolumeManager, vm)));
  EXPECT_TRUE(tap().Has("+++++++++vdisk size:" + std::to_string(disk.size()) + "bytes"));
  EXPECT_TRUE(tap().Has("blockmaster primary_index is: 0member.role: 0"));
  EXPECT_TRUE(tap().Has("Get blockmaster ip successfully:|blockmaster ip:127.0.0.1|blockmaster_port:" +
                        Port(world_, Role::kBlockMaster, 1) + "|vdi name:" + name + "|remote_side:"));
  // The IPv4 address as its 32-bit number: 127.0.0.1 in network order.
  EXPECT_TRUE(tap().Has("Get blockserver ip successfully:|blockserver ip:16777343|blockserver_port:" +
                        Port(world_, Role::kBlockServer, 1) + "|vdi name:" + name +
                        "|vdi uuid:" + cluster().DiskUuid(name) + "|remote_side:"));
  EXPECT_TRUE(tap().Has("pyx_route_query begin"));
  EXPECT_TRUE(tap().Has("HandleQueryRouteResponse begin"));
  std::ostringstream info;
  info << "Received disk info: route_term: " << term << "|die_unit_capacity: "
       << geo.die_unit_capacity << "|die_capacity: " << geo.die_capacity
       << "|plane_capacity: " << geo.plane_capacity << "|block_capacity: " << geo.block_capacity
       << "|vdi name:" << name << "|vdi uuid:" << cluster().DiskUuid(name)
       << "|blocmaster:127.0.0.1:" << Port(world_, Role::kBlockMaster, 0) << "|remote_side:";
  EXPECT_TRUE(tap().Has(info.str())) << info.str() << "\n" << tap().text();
  EXPECT_TRUE(tap().Has("Received routes successfully.|vdi name:" + name + "|vdi uuid:" +
                        cluster().DiskUuid(name) + "|blockmaster:127.0.0.1:" +
                        Port(world_, Role::kBlockMaster, 0)));

  // Every driver holds the disk's routes, its dgs and both block servers.
  for (int i = 0; i < ClusterWorld::kDrivers; ++i) {
    ctltest::OnDriver(i, [&](PyxDriver* d) {
      EXPECT_TRUE(d->has_route_cache(name));
      EXPECT_EQ(d->dgs_of(name), cluster().DiskDgs(name));
      EXPECT_GE(d->client_group_count(), 2u);
      const vovorav::PlaneRouteDetail* route = d->route_of(name, 0);
      ASSERT_NE(route, nullptr);
      EXPECT_NE(route->endpoint().port(), 0u);
    });
  }
  ctltest::OnManager([&](PyxManager* m) {
    EXPECT_EQ(m->dgs().at(name), cluster().DiskDgs(name));
    EXPECT_EQ(m->blockmasters().at(name).addrs.size(), 2u);
    EXPECT_EQ(m->blockmasters().at(name).index, 0);
    EXPECT_EQ(m->calls_out(), 0u);
  });
  disk.Free();
}

TEST_F(BringUp, ThreeVolumeManagersFailingGetVdiSizeEndIt) {
  const std::string name = world_->NewDisk("nosize");
  const int vm = ctltest::CurrentVolumeManager();
  faults().FailCalls(Role::kVolumeManager, pyxsim::Faults::kAnyServer, "GetVdiSize", -5, 3);
  HostDisk disk(name);
  ASSERT_TRUE(ClusterWorld::Open(&disk));
  EXPECT_EQ(disk.ok(), 0);
  EXPECT_EQ(disk.done_count(), 1);
  EXPECT_EQ(world_->VmCalls("GetVdiSize"), 3u);
  for (int i = 0; i < kVms; ++i) {
    EXPECT_EQ(world_->Calls(Role::kVolumeManager, i, "GetVdiSize"), 1u) << i;
  }
  EXPECT_EQ(world_->VmCalls("LocateVdi"), 0u);
  EXPECT_EQ(ctltest::CurrentVolumeManager(), (vm + 2) % kVms);
  EXPECT_EQ(tap().Count("get disk size failed,retry next volumemanager..."), 2);
  disk.Free();
}

// A counter left behind by an earlier failure can never make a step retry
// past the number of volume managers.
TEST_F(BringUp, AttemptsStartAfreshWithEveryHostQuery) {
  const std::string name = world_->NewDisk("stale-attempts");
  faults().FailCalls(Role::kVolumeManager, pyxsim::Faults::kAnyServer, "GetVdiSize", -5,
                     pyxsim::Faults::kForever);
  HostDisk disk(name);
  disk.record()->attempts = 100;
  ASSERT_TRUE(ClusterWorld::Open(&disk));
  EXPECT_EQ(disk.ok(), 0);
  EXPECT_EQ(world_->VmCalls("GetVdiSize"), 3u);
  // Asking again gives each volume manager one more try, no more.
  ASSERT_EQ(get_vdisk_size(disk.record()), 0);
  ASSERT_TRUE(disk.WaitDone(2));
  EXPECT_EQ(world_->VmCalls("GetVdiSize"), 6u);
  faults().ClearCallFaults();
  ASSERT_EQ(get_vdisk_size(disk.record()), 0);
  ASSERT_TRUE(disk.WaitDone(3));
  EXPECT_EQ(disk.ok(), 1);
  disk.Free();
}

TEST_F(BringUp, ModeOneOnlyRefreshesTheSize) {
  const std::string name = world_->NewDisk("sizeonly", 32ull << 20);
  HostDisk disk(name, /*mode=*/1);
  ASSERT_TRUE(ClusterWorld::Open(&disk));
  EXPECT_EQ(disk.size(), 32ull << 20);
  EXPECT_EQ(disk.ok(), 0);
  EXPECT_EQ(world_->VmCalls("GetVdiSize"), 1u);
  EXPECT_EQ(world_->VmCalls("LocateVdi"), 0u);
  EXPECT_EQ(world_->VmCalls("RegisterVdi"), 0u);
  disk.Free();
}

TEST_F(BringUp, ASecondSizeAnswerDoesNotRecreateDriverState) {
  const std::string name = world_->NewDisk("resize");
  HostDisk disk(name);
  ASSERT_TRUE(ClusterWorld::Open(&disk));
  ASSERT_EQ(disk.ok(), 1);
  // The drivers run the creation tasks on their loops; wait behind them.
  for (int i = 0; i < ClusterWorld::kDrivers; ++i) ctltest::OnDriver(i, [](PyxDriver*) {});
  EXPECT_EQ(tap().Count("create vdisk bitmap vector sucess"), ClusterWorld::kDrivers);
  EXPECT_EQ(tap().Count("create vdisk crc vector sucess"), ClusterWorld::kDrivers);
  disk.record()->mode = 1;
  ASSERT_EQ(get_vdisk_size(disk.record()), 0);
  ASSERT_TRUE(disk.WaitDone(2));
  EXPECT_EQ(tap().Count("+++++++++vdisk size:"), 2);
  // A second creation would have been posted before `done`: it has run
  // once the drivers' loops have run a task posted now.
  for (int i = 0; i < ClusterWorld::kDrivers; ++i) ctltest::OnDriver(i, [](PyxDriver*) {});
  EXPECT_EQ(tap().Count("create vdisk bitmap vector sucess"), ClusterWorld::kDrivers);
  EXPECT_EQ(tap().Count("create vdisk crc vector sucess"), ClusterWorld::kDrivers);
  EXPECT_EQ(disk.ok(), 1);  // a size refresh leaves the bring-up's result
  disk.Free();
}

TEST_F(BringUp, RegisterAnswerWithAFailedControllerIsAFailure) {
  const std::string name = world_->NewDisk("regclose");
  const int vm = ctltest::CurrentVolumeManager();
  // The connection closes: the controller fails, the answer's retcode is 0.
  faults().CloseOnCalls(Role::kVolumeManager, vm, "RegisterVdi", 1);
  HostDisk disk(name);
  ASSERT_TRUE(ClusterWorld::Open(&disk));
  EXPECT_EQ(disk.ok(), 1);
  EXPECT_EQ(disk.done_count(), 1);
  EXPECT_EQ(world_->VmCalls("RegisterVdi"), 2u);
  EXPECT_TRUE(tap().Has("Failed to register vdi " + name + " err: "));
  EXPECT_EQ(tap().Count("Switch to next Volume Manager"), 1);
  EXPECT_EQ(ctltest::CurrentVolumeManager(), (vm + 1) % kVms);
  disk.Free();
}

TEST_F(BringUp, RegisterRefusedEverywhereEndsWithTheDiskMissing) {
  const std::string name = world_->NewDisk("regfail");
  faults().FailCalls(Role::kVolumeManager, pyxsim::Faults::kAnyServer, "RegisterVdi", -9, 3);
  HostDisk disk(name);
  ASSERT_TRUE(ClusterWorld::Open(&disk));
  EXPECT_EQ(disk.ok(), 0);
  EXPECT_EQ(disk.exists(), 0);
  EXPECT_EQ(world_->VmCalls("RegisterVdi"), 3u);
  // Retcode and message joined as they come (the message is empty here).
  EXPECT_EQ(tap().Count("Failed to register vdi " + name + " Err: -9 - "), 3);
  EXPECT_EQ(tap().Count("Switch to next Volume Manager"), 2);
  disk.Free();
}

// A full bring-up asked again for an open disk keeps the disk usable while
// a registration attempt fails and the next volume manager is tried.
TEST_F(BringUp, ARepeatedBringUpKeepsAnOpenDiskThroughRegistrationRetries) {
  const std::string name = world_->NewDisk("reregister");
  HostDisk disk(name);
  ASSERT_TRUE(ClusterWorld::Open(&disk));
  ASSERT_EQ(disk.exists(), 1);
  faults().ResetCounts();
  faults().FailCalls(Role::kVolumeManager, pyxsim::Faults::kAnyServer, "RegisterVdi", -9, 1);
  std::atomic<int> exists_at_failure{-1};
  tap().OnceOn("Failed to register vdi " + name, [&] { exists_at_failure = disk.exists(); });
  const int want = disk.done_count() + 1;
  ASSERT_EQ(get_vdisk_size(disk.record()), 0);
  ASSERT_TRUE(disk.WaitDone(want));
  EXPECT_EQ(exists_at_failure.load(), 1);
  EXPECT_EQ(disk.ok(), 1);
  EXPECT_EQ(disk.exists(), 1);
  EXPECT_EQ(world_->VmCalls("RegisterVdi"), 2u);
  disk.Free();
}

TEST_F(BringUp, LocateFailureLogsItsCause) {
  const std::string name = world_->NewDisk("locfail");
  faults().FailCalls(Role::kVolumeManager, pyxsim::Faults::kAnyServer, "LocateVdi", -77, 3);
  HostDisk disk(name);
  ASSERT_TRUE(ClusterWorld::Open(&disk));
  EXPECT_EQ(disk.ok(), 0);
  EXPECT_EQ(world_->VmCalls("LocateVdi"), 3u);
  EXPECT_EQ(tap().Count("can not get blockmaster ip;|retcode:-77|err msg:"), 3);
  EXPECT_TRUE(tap().Has("|vdi name:" + name + "|cntl error text:|remote_side:"));
  EXPECT_EQ(tap().Count("get blockmaster failed,retry next volumemanager..."), 2);
  EXPECT_EQ(world_->VmCalls("RegisterVdi"), 0u);
  disk.Free();
}

TEST_F(BringUp, FreeUnregistersAndForgetsTheDgs) {
  const std::string name = world_->NewDisk("freed");
  HostDisk disk(name);
  ASSERT_TRUE(ClusterWorld::Open(&disk));
  ASSERT_EQ(cluster().Registrations().count(name), 1u);
  disk.Free();
  ASSERT_TRUE(tap().WaitFor("Unregister " + name));
  EXPECT_EQ(cluster().Registrations().count(name), 0u);
  EXPECT_EQ(world_->VmCalls("UnregisterVdi"), 1u);
  ctltest::OnManager([&](PyxManager* m) {
    EXPECT_EQ(m->dgs().count(name), 0u);
    // Block masters and client groups of a disk stay.
    EXPECT_EQ(m->blockmasters().count(name), 1u);
  });
  for (int i = 0; i < ClusterWorld::kDrivers; ++i) {
    ctltest::OnDriver(i, [&](PyxDriver* d) { EXPECT_FALSE(d->has_route_cache(name)); });
  }
}

// The unregistration needs nothing of the record: pyx_free sends it before
// it waits for the drivers to forget the disk.
TEST_F(BringUp, FreeUnregistersBeforeItWaitsForTheDrivers) {
  const std::string name = world_->NewDisk("busyfree");
  HostDisk disk(name);
  ASSERT_TRUE(ClusterWorld::Open(&disk));
  std::mutex gate;
  gate.lock();
  PyxDriver* busy = pyxdrivers[0];
  ASSERT_EQ(busy->worker()->loop()->RunInLoop([&gate] { std::lock_guard<std::mutex> l(gate); },
                                              true),
            0);
  std::atomic<bool> freed{false};
  std::thread freeing([&] {
    disk.Free();
    freed = true;
  });
  EXPECT_TRUE(tap().WaitFor("Unregister " + name, 30.0));
  EXPECT_FALSE(freed.load());
  gate.unlock();
  freeing.join();
  EXPECT_EQ(cluster().Registrations().count(name), 0u);
}

TEST_F(BringUp, UnregisterFailsOverToTheNextVolumeManager) {
  const std::string name = world_->NewDisk("unregfail");
  HostDisk disk(name);
  ASSERT_TRUE(ClusterWorld::Open(&disk));
  const int vm = ctltest::CurrentVolumeManager();
  faults().FailCalls(Role::kVolumeManager, vm, "UnregisterVdi", -5, 1);
  disk.Free();
  ASSERT_TRUE(tap().WaitFor("Unregister " + name));
  EXPECT_TRUE(tap().Has("Failed to unregister vdi " + name + " Err: -5 - "));
  EXPECT_EQ(world_->VmCalls("UnregisterVdi"), 2u);
  EXPECT_EQ(ctltest::CurrentVolumeManager(), (vm + 1) % kVms);
  EXPECT_EQ(cluster().Registrations().count(name), 0u);
}

// pyx_free's unregistration fails and would go on to the next volume
// manager, but the host has opened the name again meanwhile: the retry is
// given up and the new registration stands.
TEST_F(BringUp, AnUnregistrationRetryNeverUndoesANewOpenOfTheName) {
  const std::string name = world_->NewDisk("reopen");
  std::unique_ptr<HostDisk> first(new HostDisk(name));
  ASSERT_TRUE(ClusterWorld::Open(first.get()));
  faults().ResetCounts();
  // No answer: the call fails at its time-out, long after the new open.
  faults().DropCalls(Role::kVolumeManager, pyxsim::Faults::kAnyServer, "UnregisterVdi", 1);
  first->Free();
  HostDisk second(name);
  ASSERT_TRUE(ClusterWorld::Open(&second));
  ASSERT_EQ(second.ok(), 1);
  ASSERT_TRUE(tap().WaitFor("UnregisterVdi of " + name + " given up: the vdi is open again"));
  EXPECT_TRUE(tap().Has("Failed to unregister vdi " + name + " err: "));
  EXPECT_EQ(world_->VmCalls("UnregisterVdi"), 1u);
  EXPECT_EQ(cluster().Registrations().count(name), 1u);
  second.Free();
}

TEST_F(BringUp, AnAnswerForAFreedDiskIsDropped) {
  const std::string name = world_->NewDisk("gone");
  // The size answer leaves a second after its call; the disk is freed at
  // once, so its record is gone (AddressSanitizer watches) when it lands.
  faults().DelayCalls(Role::kVolumeManager, pyxsim::Faults::kAnyServer, "GetVdiSize", 1000, 1);
  HostDisk disk(name);
  ASSERT_EQ(pyx_init(disk.record()), 0);
  disk.Free();
  ASSERT_TRUE(tap().WaitFor("GetVdiSize answer dropped: its vdisk has been freed"));
  EXPECT_EQ(disk.done_count(), 0);
  EXPECT_EQ(world_->VmCalls("LocateVdi"), 0u);
  ASSERT_TRUE(tap().WaitFor("Unregister " + name));
  ctltest::OnManager([](PyxManager* m) { EXPECT_EQ(m->calls_out(), 0u); });
}

TEST_F(BringUp, ADiskOpensWhileAnotherIsFreed) {
  const std::string first = world_->NewDisk("leaving");
  const std::string second = world_->NewDisk("arriving");
  HostDisk a(first);
  ASSERT_TRUE(ClusterWorld::Open(&a));
  ASSERT_EQ(a.ok(), 1);
  HostDisk b(second);
  std::thread freeing([&] { a.Free(); });
  std::thread opening([&] { EXPECT_EQ(pyx_init(b.record()), 0); });
  freeing.join();
  opening.join();
  ASSERT_TRUE(b.WaitDone());
  EXPECT_EQ(b.ok(), 1);
  ASSERT_TRUE(tap().WaitFor("Unregister " + first));
  const auto registered = cluster().Registrations();
  EXPECT_EQ(registered.count(first), 0u);
  EXPECT_EQ(registered.count(second), 1u);
  b.Free();
}

// ---- One fail-over per step and kind of failure.

enum class Step { kSize, kLocate, kRoute, kRegister };
enum class Kind { kRetcode, kTimeout, kClose, kDown };

struct FailoverCase {
  Step step;
  Kind kind;
};

std::string CaseName(const ::testing::TestParamInfo<FailoverCase>& info) {
  static const char* const steps[] = {"Size", "Locate", "Route", "Register"};
  static const char* const kinds[] = {"Retcode", "Timeout", "Close", "Down"};
  return std::string(steps[static_cast<int>(info.param.step)]) +
         kinds[static_cast<int>(info.param.kind)];
}

class Failover : public ClusterTest, public ::testing::WithParamInterface<FailoverCase> {};

TEST_P(Failover, StepMovesOnAndTheDiskOpens) {
  const FailoverCase c = GetParam();
  const std::string name = world_->NewDisk("failover");
  const int vm = ctltest::CurrentVolumeManager();
  pyxsim::Faults& f = faults();

  const char* method = nullptr;
  const char* before_step = nullptr;  // a line logged just before the step's call
  switch (c.step) {
    case Step::kSize: method = "GetVdiSize"; break;
    case Step::kLocate: method = "LocateVdi"; before_step = "+++++++++vdisk size:"; break;
    case Step::kRoute: method = "QueryPlaneRoute"; before_step = "pyx_route_query begin"; break;
    case Step::kRegister: method = "RegisterVdi"; before_step = "Received routes successfully."; break;
  }
  const bool route = c.step == Step::kRoute;
  const Role role = route ? Role::kBlockMaster : Role::kVolumeManager;
  const int victim = route ? 0 : vm;
  switch (c.kind) {
    case Kind::kRetcode:
      // A block master fails over on "not leader" only.
      if (!route) f.FailCalls(role, victim, method, -5, 1);
      break;
    case Kind::kTimeout: f.DropCalls(role, victim, method, 1); break;
    case Kind::kClose: f.CloseOnCalls(role, victim, method, 1); break;
    case Kind::kDown: break;
  }
  // At the step: the victim goes down, and the block masters' leadership
  // moves to the other one, which the route step then finds.
  auto at_step = [&f, c, role, victim, route] {
    if (c.kind == Kind::kDown) f.MarkDown(role, victim);
    if (route) f.SetPrimaryBlockMaster(1);
  };
  if (before_step == nullptr) {
    at_step();
  } else {
    tap().OnceOn(before_step, at_step);
  }

  HostDisk disk(name);
  ASSERT_TRUE(ClusterWorld::Open(&disk));
  EXPECT_EQ(disk.ok(), 1) << tap().text();
  EXPECT_EQ(world_->Calls(role, victim, method), 1u);
  if (route) {
    EXPECT_EQ(world_->Calls(Role::kBlockMaster, 1, method), 1u);
    EXPECT_EQ(tap().Count("HandleQueryRouteResponse failed, try next blockmaster"), 1);
    EXPECT_TRUE(tap().Has(" or not leader"));
    ctltest::OnManager([&](PyxManager* m) { EXPECT_EQ(m->blockmasters().at(name).index, 1); });
    EXPECT_EQ(ctltest::CurrentVolumeManager(), vm);
  } else {
    EXPECT_EQ(world_->Calls(role, (vm + 1) % kVms, method), 1u);
    EXPECT_EQ(world_->VmCalls(method), 2u);
    EXPECT_EQ(ctltest::CurrentVolumeManager(), (vm + 1) % kVms);
  }
  // Every other step ran once.
  for (const char* m : {"GetVdiSize", "LocateVdi", "RegisterVdi"}) {
    if (std::string(m) != method) {
      EXPECT_EQ(world_->VmCalls(m), 1u) << m;
    }
  }
  if (!route) {
    EXPECT_EQ(world_->Calls(Role::kBlockMaster, pyxsim::Faults::kAnyServer, "QueryPlaneRoute"), 1u);
  }
  EXPECT_EQ(disk.record()->attempts, 0);
  f.MarkUp(role, victim);
  disk.Free();
}

std::vector<FailoverCase> AllCases() {
  std::vector<FailoverCase> cases;
  for (Step s : {Step::kSize, Step::kLocate, Step::kRoute, Step::kRegister}) {
    for (Kind k : {Kind::kRetcode, Kind::kTimeout, Kind::kClose, Kind::kDown}) {
      cases.push_back({s, k});
    }
  }
  return cases;
}

INSTANTIATE_TEST_SUITE_P(EveryStepAndKind, Failover, ::testing::ValuesIn(AllCases()), CaseName);

}  // namespace
