// Control-path cases that need a start-up of their own (IPv6 addresses,
// answers no simulated cluster gives, a library already shut down): each
// runs in a child process and reports by its exit status and output.
#include <string>

#include <gtest/gtest.h>

#include "control/globals.h"
#include "driver/control_support.h"
#include "driver/snapshot_client.h"
#include "driver/start_ini.h"
#include "pyxsim/cluster.h"
#include "support/child.h"
#include "support/ports.h"
#include "support/wait.h"

namespace {

using ctltest::FakeServer;
using ctltest::FakeVolumeManager;
using ctltest::HostDisk;
using ctltest::IniFile;
using ctltest::LogTap;

std::string Ini(const std::string& vm_ips, const std::string& vm_ports, const std::string& ip,
                uint16_t service_port, const std::string& extra) {
  return ctltest::StartIni(tarn::kTcp, 2, vm_ips, vm_ports,
                           "asyn_log No\nrpc_timeout 2000\n" + extra, ip, service_port);
}

bool Started() {
  return pyx_init_env() == 0 &&
         testsupport::WaitFor([] { return pyxmanager.load() != nullptr; });
}

bool Open(HostDisk* disk) { return pyx_init(disk->record()) == 0 && disk->WaitDone(); }

// A successful route answer of one term and a fixed geometry.
vovorav::BlockMasterQueryPlaneRouteResponse RoutesOfTerm(uint64_t term) {
  vovorav::BlockMasterQueryPlaneRouteResponse routes;
  routes.mutable_rc()->set_retcode(0);
  routes.mutable_route_term()->set_term(term);
  routes.mutable_basic()->set_die_unit_capacity(1ull << 36);
  routes.mutable_basic()->set_die_capacity(1ull << 28);
  routes.mutable_basic()->set_plane_capacity(1ull << 24);
  routes.mutable_basic()->set_block_capacity(1ull << 20);
  return routes;
}

TEST(Ipv6, DiskOpensOverIpv6) {
  if (!testsupport::Ipv6LoopbackAvailable()) GTEST_SKIP() << "no IPv6 loopback";
  const testsupport::ChildResult r = testsupport::RunInChild([] {
    pyxsim::ClusterOptions options;
    options.ip = "::1";
    options.ipv6 = true;
    pyxsim::Cluster cluster(options);
    CHILD_EXPECT(cluster.Start() == 0);
    CHILD_EXPECT(cluster.CreateDisk("v6disk", 64ull << 20) == 0);
    const uint16_t service_port = testsupport::PickFreePort6();
    IniFile ini(Ini(cluster.volume_manager_ips(), cluster.volume_manager_ports(), "::1",
                    service_port, "is_ipv6 Yes\n"));
    LogTap tap;
    CHILD_EXPECT(Started());
    HostDisk disk("v6disk");
    CHILD_EXPECT(Open(&disk));
    CHILD_EXPECT(disk.ok() == 1);
    CHILD_EXPECT(tap.Has("ipv6 is true"));
    // ::1 in network order: the last word holds the byte 1 first.
    CHILD_EXPECT(tap.Has("after pton::1 int0 0 int1 0 int2 0 int3 16777216"));
    const std::string bs = "Get blockserver ip successfully:|blockserver ip:::1|blockserver_port:" +
                           std::to_string(cluster.port(pyxsim::Role::kBlockServer, 0));
    CHILD_EXPECT(tap.Has(bs));
    CHILD_EXPECT(tap.Has("Get blockmaster ip successfully:|blockmaster ip:::1|blockmaster_port:"));
    // Registered with the driver's own IPv6 service address.
    const auto registered = cluster.Registrations();
    CHILD_EXPECT(registered.count("v6disk") == 1);
    CHILD_EXPECT(registered.at("v6disk").find(std::to_string(service_port)) != std::string::npos);
    // The snapshot service answers on its IPv6 address.
    CHILD_EXPECT(testsupport::WaitFor([&] { return tap.Has("pyxdriver service started"); }));
    ctltest::SnapshotClient client("::1", service_port, true);
    CHILD_EXPECT(client.CreateSnapshot("v6disk", cluster.DiskDgs("v6disk") + 1) == 0);
    disk.Free();
    CHILD_EXPECT(tap.WaitFor("Unregister v6disk"));
    pyx_finish_env();
    cluster.Stop();
    return 0;
  });
  EXPECT_TRUE(r.ok()) << testsupport::Describe(r);
}

TEST(Ipv6, BlockServerAddressThatDoesNotParseEndsTheBringUp) {
  if (!testsupport::Ipv6LoopbackAvailable()) GTEST_SKIP() << "no IPv6 loopback";
  const testsupport::ChildResult r = testsupport::RunInChild([] {
    const uint16_t vm_port = testsupport::PickFreePort6();
    FakeServer<FakeVolumeManager> vm("::1", vm_port, true);
    CHILD_EXPECT(vm.started());
    volume::VolumeManagerLocateVdiResponse locate;
    locate.mutable_rc()->set_retcode(0);
    locate.set_vdi_uuid("uuid-v6");
    locate.set_dgs(4);
    MemberIPv6Info* bm = locate.add_blockmasters_v6();
    bm->set_ipv6("::1");
    bm->set_port(1);
    bm->set_role(MemberIPv6Info::PRIMARY);
    locate.add_blocksvrs_v6()->set_ipv6("::1");
    locate.mutable_blocksvrs_v6(0)->set_port(2);
    locate.add_blocksvrs_v6()->set_ipv6("fe80::zz");
    locate.mutable_blocksvrs_v6(1)->set_port(3);
    vm.service().set_locate(locate);
    IniFile ini(Ini("::1", std::to_string(vm_port), "::1", testsupport::PickFreePort6(),
                    "is_ipv6 Yes\n"));
    LogTap tap;
    CHILD_EXPECT(Started());
    HostDisk disk("badv6");
    CHILD_EXPECT(Open(&disk));
    CHILD_EXPECT(disk.ok() == 0);
    CHILD_EXPECT(disk.done_count() == 1);
    CHILD_EXPECT(tap.Has("AF_INET6 inet_pton errorfe80::zz"));
    CHILD_EXPECT(vm.service().calls("LocateVdi") == 1);
    CHILD_EXPECT(vm.service().calls("RegisterVdi") == 0);
    CHILD_EXPECT(!tap.Has("pyx_route_query begin"));
    disk.Free();
    pyx_finish_env();
    return 0;
  });
  EXPECT_TRUE(r.ok()) << testsupport::Describe(r);
}

TEST(LocateAnswer, WithoutAPrimaryBlockMasterTheFirstIsUsed) {
  const testsupport::ChildResult r = testsupport::RunInChild([] {
    const uint16_t vm_port = testsupport::PickFreePort();
    FakeServer<FakeVolumeManager> vm("127.0.0.1", vm_port, false);
    const uint16_t bm_port = testsupport::PickFreePort();
    FakeServer<ctltest::FakeBlockMaster> bm("127.0.0.1", bm_port, false);
    CHILD_EXPECT(vm.started() && bm.started());
    bm.service().set_answer(RoutesOfTerm(3));
    // Three block masters, none of them the primary; only the first one
    // listens.
    volume::VolumeManagerLocateVdiResponse locate;
    locate.mutable_rc()->set_retcode(0);
    locate.set_vdi_uuid("uuid-noprimary");
    for (uint32_t port : {static_cast<uint32_t>(bm_port), 6u, 7u}) {
      MemberInfo* member = locate.add_blockmasters();
      member->set_ip(0x0100007f);
      member->set_port(port);
      member->set_role(MemberInfo::SLAVERY);
    }
    locate.add_blocksvrs()->set_ip(0x0100007f);
    locate.mutable_blocksvrs(0)->set_port(8);
    vm.service().set_locate(locate);
    IniFile ini(Ini("127.0.0.1", std::to_string(vm_port), "127.0.0.1",
                    testsupport::PickFreePort(), ""));
    LogTap tap;
    CHILD_EXPECT(Started());
    HostDisk disk("noprimary");
    CHILD_EXPECT(Open(&disk));
    CHILD_EXPECT(disk.ok() == 1);
    CHILD_EXPECT(!tap.Has("blockmaster primary_index is:"));
    CHILD_EXPECT(!tap.Has("HandleQueryRouteResponse failed"));
    CHILD_EXPECT(bm.service().calls() == 1);
    CHILD_EXPECT(bm.service().last_vdi() == "uuid-noprimary");
    int index = -1;
    ctltest::OnManager([&](PyxManager* m) { index = m->blockmasters().at("noprimary").index; });
    CHILD_EXPECT(index == 0);
    CHILD_EXPECT(std::string(disk.record()->uuid) == "uuid-noprimary");
    disk.Free();
    pyx_finish_env();
    return 0;
  });
  EXPECT_TRUE(r.ok()) << testsupport::Describe(r);
}

// A full bring-up asked again finds another disk behind the name (a new
// uuid) whose routes count from a lower term: its terms start afresh rather
// than being dropped as older than the old disk's.
TEST(LocateAnswer, ANewDiskBehindTheNameStartsItsRouteTermsAfresh) {
  const testsupport::ChildResult r = testsupport::RunInChild([] {
    const uint16_t vm_port = testsupport::PickFreePort();
    FakeServer<FakeVolumeManager> vm("127.0.0.1", vm_port, false);
    const uint16_t bm_port = testsupport::PickFreePort();
    FakeServer<ctltest::FakeBlockMaster> bm("127.0.0.1", bm_port, false);
    CHILD_EXPECT(vm.started() && bm.started());
    bm.service().set_answer(RoutesOfTerm(30));
    volume::VolumeManagerLocateVdiResponse locate;
    locate.mutable_rc()->set_retcode(0);
    locate.set_vdi_uuid("uuid-first");
    MemberInfo* member = locate.add_blockmasters();
    member->set_ip(0x0100007f);
    member->set_port(bm_port);
    member->set_role(MemberInfo::PRIMARY);
    locate.add_blocksvrs()->set_ip(0x0100007f);
    locate.mutable_blocksvrs(0)->set_port(8);
    vm.service().set_locate(locate);
    IniFile ini(Ini("127.0.0.1", std::to_string(vm_port), "127.0.0.1",
                    testsupport::PickFreePort(), ""));
    CHILD_EXPECT(Started());
    HostDisk disk("renewed");
    CHILD_EXPECT(Open(&disk));
    CHILD_EXPECT(disk.ok() == 1);
    auto terms_are = [&](uint64_t term) {
      for (int i = 0; i < 2; ++i) {
        ctltest::OnDriver(i, [](PyxDriver*) {});  // its copy has run
        if (disk.term(i) != term) return false;
      }
      return true;
    };
    CHILD_EXPECT(terms_are(30));

    locate.set_vdi_uuid("uuid-second");
    vm.service().set_locate(locate);
    bm.service().set_answer(RoutesOfTerm(3));
    CHILD_EXPECT(get_vdisk_size(disk.record()) == 0);
    CHILD_EXPECT(disk.WaitDone(2));
    CHILD_EXPECT(disk.ok() == 1);
    CHILD_EXPECT(bm.service().last_vdi() == "uuid-second");
    CHILD_EXPECT(terms_are(3));
    disk.Free();
    pyx_finish_env();
    return 0;
  });
  EXPECT_TRUE(r.ok()) << testsupport::Describe(r);
}

TEST(ShutDown, SnapshotAfterFinishIsNotFound) {
  const testsupport::ChildResult r = testsupport::RunInChild([] {
    const uint16_t service_port = testsupport::PickFreePort();
    IniFile ini(Ini("127.0.0.1", "1", "127.0.0.1", service_port, ""));
    LogTap tap;
    CHILD_EXPECT(Started());
    CHILD_EXPECT(testsupport::WaitFor([&] { return tap.Has("pyxdriver service started"); }));
    pyx_finish_env();
    ctltest::SnapshotClient client("127.0.0.1", service_port, false);
    CHILD_EXPECT(client.CreateSnapshot("any", 3) == -30100);
    CHILD_EXPECT(tap.Has("Create Snapshot Err: any is not found"));
    return 0;
  });
  EXPECT_TRUE(r.ok()) << testsupport::Describe(r);
}

}  // namespace
