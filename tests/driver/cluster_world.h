// One started library against one simulated cluster, shared by the cases of
// a test program (start-up acts once per process): three volume managers,
// two block masters, two block servers, four I/O drivers over TCP, the
// snapshot service on a free port, every log line tapped.
#ifndef TESTS_DRIVER_CLUSTER_WORLD_H_
#define TESTS_DRIVER_CLUSTER_WORLD_H_

#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "control/globals.h"
#include "driver/control_support.h"
#include "pyxsim/cluster.h"
#include "support/ports.h"
#include "support/wait.h"

namespace ctltest {

class ClusterWorld {
 public:
  static constexpr int kDrivers = 4;
  static constexpr int kRpcTimeoutMs = 1000;

  // Starts everything on first use; later calls return the same world.
  static ClusterWorld* Get() {
    static ClusterWorld* world = nullptr;
    if (world == nullptr) {
      world = new ClusterWorld;
      ::testing::AddGlobalTestEnvironment(new Teardown(world));
    }
    return world;
  }

  pyxsim::Cluster& cluster() { return *cluster_; }
  pyxsim::Faults& faults() { return cluster_->faults(); }
  LogTap& tap() { return tap_; }
  uint16_t service_port() const { return service_port_; }
  bool started() const { return started_; }

  // Creates a disk of the cluster under a name no other case uses.
  std::string NewDisk(const std::string& stem, uint64_t size = 64ull << 20) {
    const std::string name = stem + "-" + std::to_string(++disks_);
    EXPECT_EQ(cluster_->CreateDisk(name, size), 0) << name;
    return name;
  }

  // pyx_init, then waits for `done`. The count is taken first: the whole
  // bring-up may end before pyx_init's caller runs again.
  static bool Open(HostDisk* disk) {
    const int want = disk->done_count() + 1;
    if (pyx_init(disk->record()) != 0) return false;
    return disk->WaitDone(want);
  }

  // Fault-free, counts at zero, primary block master 0, every server up.
  void Reset() {
    faults().ClearCallFaults();
    for (int i = 0; i < cluster_->count(pyxsim::Role::kVolumeManager); ++i) {
      faults().MarkUp(pyxsim::Role::kVolumeManager, i);
    }
    for (int i = 0; i < cluster_->count(pyxsim::Role::kBlockMaster); ++i) {
      faults().MarkUp(pyxsim::Role::kBlockMaster, i);
    }
    faults().SetPrimaryBlockMaster(0);
    faults().ResetCounts();
    tap_.ClearTriggers();
    tap_.Clear();
  }

  uint64_t Calls(pyxsim::Role role, int index, const std::string& method) {
    return faults().CallCount(role, index, method);
  }
  uint64_t VmCalls(const std::string& method) {
    return Calls(pyxsim::Role::kVolumeManager, pyxsim::Faults::kAnyServer, method);
  }

 private:
  class Teardown : public ::testing::Environment {
   public:
    explicit Teardown(ClusterWorld* world) : world_(world) {}
    void TearDown() override {
      pyx_finish_env();
      world_->cluster_->Stop();
    }

   private:
    ClusterWorld* world_;
  };

  ClusterWorld() {
    pyxsim::ClusterOptions options;
    options.volume_managers = 3;
    options.block_masters = 2;
    options.block_servers = 2;
    cluster_ = new pyxsim::Cluster(options);
    if (cluster_->Start() != 0) return;
    service_port_ = testsupport::PickFreePort();
    std::ostringstream ini;
    ini << "[ORLA]\nuse_orla Yes\nvolume_manager_ips " << cluster_->volume_manager_ips()
        << "\nvolume_manager_ports " << cluster_->volume_manager_ports()
        << "\nrdma_device none\nis_tcp Yes\nis_crc Yes\nasyn_log No\ncrash_on_fatal_log No\n"
        << "worker_num " << kDrivers << "\nrpc_timeout " << kRpcTimeoutMs
        << "\nservice_ip 127.0.0.1\nservice_port " << service_port_ << "\n";
    IniFile file(ini.str());
    started_ = pyx_init_env() == 0 &&
               testsupport::WaitFor([] { return pyxmanager.load() != nullptr; });
    // The snapshot service listens once its thread has started the server.
    started_ = started_ && testsupport::WaitFor([this] { return tap_.Has("pyxdriver service started"); });
  }

  pyxsim::Cluster* cluster_ = nullptr;
  LogTap tap_;
  uint16_t service_port_ = 0;
  bool started_ = false;
  int disks_ = 0;
};

// Every case starts from a fault-free cluster with its counts at zero.
class ClusterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    world_ = ClusterWorld::Get();
    ASSERT_TRUE(world_->started());
    world_->Reset();
  }
  // The next case starts only when nothing of this one is still out (an
  // unregistration, a call waiting for its time-out).
  void TearDown() override {
    if (HasFailure()) fprintf(stderr, "---- log of the case\n%s----\n", tap().text().c_str());
    EXPECT_TRUE(testsupport::WaitFor([] {
      size_t out = 1;
      OnManager([&](PyxManager* m) { out = m->calls_out(); });
      return out == 0;
    }));
    world_->Reset();
  }

  pyxsim::Cluster& cluster() { return world_->cluster(); }
  pyxsim::Faults& faults() { return world_->faults(); }
  LogTap& tap() { return world_->tap(); }

  ClusterWorld* world_ = nullptr;
};

}  // namespace ctltest

#endif  // TESTS_DRIVER_CLUSTER_WORLD_H_
