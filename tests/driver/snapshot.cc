// The driver's snapshot service, called over a real RPC connection as the
// cluster calls it: the data generation sequence only grows, every driver
// holds the new value before the answer leaves, unknown and freed disks are
// not found.
#include <mutex>
#include <string>

#include <gtest/gtest.h>

#include "driver/cluster_world.h"
#include "driver/snapshot_client.h"

namespace {

using ctltest::ClusterTest;
using ctltest::ClusterWorld;
using ctltest::HostDisk;
using ctltest::SnapshotClient;

class Snapshot : public ClusterTest {
 protected:
  void SetUp() override {
    ClusterTest::SetUp();
    client_.reset(new SnapshotClient("127.0.0.1", world_->service_port(), false));
  }
  void TearDown() override {
    client_.reset();
    ClusterTest::TearDown();
  }

  std::unique_ptr<HostDisk> OpenDisk(const std::string& stem) {
    std::unique_ptr<HostDisk> disk(new HostDisk(world_->NewDisk(stem)));
    EXPECT_TRUE(ClusterWorld::Open(disk.get()));
    EXPECT_EQ(disk->ok(), 1);
    return disk;
  }

  uint64_t DriverDgs(int i, const std::string& name) {
    uint64_t dgs = 0;
    ctltest::OnDriver(i, [&](PyxDriver* d) { dgs = d->dgs_of(name); });
    return dgs;
  }

  std::unique_ptr<SnapshotClient> client_;
};

TEST_F(Snapshot, OnlyAHigherSequenceIsTaken) {
  std::unique_ptr<HostDisk> disk = OpenDisk("snap");
  const std::string name = disk->record()->name;
  const uint64_t current = cluster().DiskDgs(name);

  EXPECT_EQ(client_->CreateSnapshot(name, current), -30101);
  EXPECT_TRUE(tap().Has("create snapshot"));
  EXPECT_TRUE(tap().Has("Create Snapshot Err: " + name + " dgs " + std::to_string(current) +
                        " is ge dgs " + std::to_string(current)));

  EXPECT_EQ(client_->CreateSnapshot(name, current + 1), 0);
  for (int i = 0; i < ClusterWorld::kDrivers; ++i) EXPECT_EQ(DriverDgs(i, name), current + 1) << i;
  ctltest::OnManager([&](PyxManager* m) { EXPECT_EQ(m->dgs().at(name), current + 1); });

  EXPECT_EQ(client_->CreateSnapshot(name, current), -30101);
  for (int i = 0; i < ClusterWorld::kDrivers; ++i) EXPECT_EQ(DriverDgs(i, name), current + 1) << i;
  disk->Free();
}

TEST_F(Snapshot, AnswerLeavesAfterTheLastDriverHasTheNewValue) {
  std::unique_ptr<HostDisk> disk = OpenDisk("snapslow");
  const std::string name = disk->record()->name;
  const uint64_t next = cluster().DiskDgs(name) + 5;

  // Driver 3's loop is held up until the test lets it go.
  std::mutex gate;
  gate.lock();
  pyxdrivers[3]->worker()->loop()->RunInLoop([&gate] { std::lock_guard<std::mutex> l(gate); }, true);
  std::shared_ptr<SnapshotClient::Call> call = client_->Send(name, next);
  ASSERT_TRUE(testsupport::WaitFor([&] {
    return DriverDgs(0, name) == next && DriverDgs(1, name) == next && DriverDgs(2, name) == next;
  }));
  // Three drivers hold the value; the fourth has not run its task, so the
  // answer cannot have left.
  EXPECT_FALSE(call->answered.load());
  gate.unlock();
  ASSERT_TRUE(testsupport::WaitFor([&] { return call->answered.load(); }));
  EXPECT_EQ(call->retcode, 0);
  EXPECT_EQ(DriverDgs(3, name), next);
  disk->Free();
}

TEST_F(Snapshot, UnknownAndFreedDisksAreNotFound) {
  EXPECT_EQ(client_->CreateSnapshot("no-such-disk", 9), -30100);
  EXPECT_TRUE(tap().Has("Create Snapshot Err: no-such-disk is not found"));

  std::unique_ptr<HostDisk> disk = OpenDisk("snapfreed");
  const std::string name = disk->record()->name;
  disk->Free();
  EXPECT_EQ(client_->CreateSnapshot(name, 100), -30100);
  EXPECT_TRUE(tap().Has("Create Snapshot Err: " + name + " is not found"));
}

// A later bring-up of the same disk takes the volume manager's value again.
TEST_F(Snapshot, ARepeatedBringUpResetsTheSequenceToTheClusters) {
  std::unique_ptr<HostDisk> disk = OpenDisk("snaprepeat");
  const std::string name = disk->record()->name;
  const uint64_t current = cluster().DiskDgs(name);
  ASSERT_EQ(client_->CreateSnapshot(name, current + 3), 0);
  ASSERT_EQ(get_vdisk_size(disk->record()), 0);
  ASSERT_TRUE(disk->WaitDone(2));
  ctltest::OnManager([&](PyxManager* m) { EXPECT_EQ(m->dgs().at(name), current); });
  // Drivers keep the higher value they hold.
  EXPECT_EQ(DriverDgs(0, name), current + 3);
  disk->Free();
}

}  // namespace
