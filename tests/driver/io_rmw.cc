// Unaligned writes: the covering range they hold, read and written back
// with the new bytes merged in, waiting on a held lock,
// locks kept across retries, and which I/O a lock release may issue.
#include <set>
#include <string>

#include "control/globals.h"
#include "io_fixture.h"

namespace iotest {
namespace {

class RmwTest : public DriverTest {
 protected:
  std::set<uint64_t> LockedBlocks(uint64_t upto = 8) {
    std::set<uint64_t> locked;
    OnLoop([&] {
      for (uint64_t b = 0; b < upto; ++b) {
        if (driver()->block_locked(name_, b)) locked.insert(b);
      }
    });
    return locked;
  }
  uint8_t LockWait(TestIo* t) {
    return Read<uint8_t>(0, [&] { return t->io()->lock_wait; });
  }
  bool WaitHeld(size_t n) {
    return testsupport::WaitFor([&] { return bs_.held() == n; });
  }
};

struct LockCase {
  uint64_t offset;
  uint64_t len;
  std::set<uint64_t> locked;
  uint64_t lba;   // of the read and of the write
  uint64_t size;
};

TEST_F(RmwTest, HoldsTheCoveringRangeAndWritesItBackMerged) {
  StartDrivers();
  const LockCase cases[] = {
      {512, 512, {0}, 0, 4096},
      {2048, 6144, {0, 1}, 0, 8192},
      {4097, 4096, {1, 2}, 4096, 8192},
      {8192, 1024, {2}, 8192, 4096},
  };
  const std::string old = Pattern(4 * kBlock, 1);
  testsupport::LogCapture logs;
  for (const LockCase& c : cases) {
    bs_.Store(0, old);
    const size_t before = bs_.requests().size();
    FakeBlockServer::Answer hold;
    hold.hold = true;
    bs_.Push("Read", hold);
    const std::string data = Pattern(c.len, 2);
    TestIo* t = NewWrite(c.offset, data);
    Submit(t);
    ASSERT_TRUE(WaitHeld(1));
    EXPECT_EQ(LockedBlocks(), c.locked) << c.offset;
    bs_.Release();
    ASSERT_TRUE(WaitDone(t));
    EXPECT_EQ(t->io()->status, 0);
    EXPECT_TRUE(LockedBlocks().empty()) << c.offset;

    const auto reqs = bs_.requests();
    ASSERT_EQ(reqs.size(), before + 2);
    EXPECT_EQ(reqs[before].method, "Read");
    EXPECT_EQ(reqs[before].lba, c.lba);
    EXPECT_EQ(reqs[before].size, c.size);
    EXPECT_EQ(reqs[before + 1].method, "Write");
    EXPECT_EQ(reqs[before + 1].lba, c.lba);
    EXPECT_EQ(reqs[before + 1].size, c.size);
    EXPECT_EQ(reqs[before + 1].dgs, 5u);
    std::string want = old.substr(c.lba, c.size);
    want.replace(c.offset - c.lba, c.len, data);
    EXPECT_EQ(Diff(reqs[before + 1].data, want), "equal") << c.offset;
  }
  // Each release gives back exactly what its lock step took.
  EXPECT_EQ(logs.text().find("does not unlock"), std::string::npos);
  EXPECT_EQ(logs.text().find("does not lock"), std::string::npos);
  EXPECT_EQ(Metric("_512_write_sum"), 4u);
  EXPECT_EQ(Read<int64_t>(0, [&] { return driver()->in_flight(); }), 0);
}

TEST_F(RmwTest, AZeroFilledOldRangeIsWrittenWithZerosAroundTheNewBytes) {
  StartDrivers();
  const std::string data = Pattern(1000, 3);
  TestIo* t = NewWrite(5000, data);
  Submit(t);
  ASSERT_TRUE(WaitDone(t));
  EXPECT_EQ(t->io()->status, 0);
  std::string want(4096, '\0');
  want.replace(5000 - 4096, 1000, data);
  EXPECT_EQ(bs_.requests().back().lba, 4096u);
  EXPECT_EQ(Diff(bs_.requests().back().data, want), "equal");
  EXPECT_EQ(Diff(bs_.Stored(4096, 4096), want), "equal");
}

TEST_F(RmwTest, ASecondWriteIntoAHeldBlockWaitsAndGoesRightAfterTheRelease) {
  StartDrivers();
  bs_.Store(0, Pattern(kBlock, 4));
  FakeBlockServer::Answer hold;
  hold.hold = true;
  bs_.Push("Read", hold);
  TestIo* first = NewWrite(512, Pattern(512, 5));
  Submit(first);
  ASSERT_TRUE(WaitHeld(1));
  TestIo* second = NewWrite(1024, Pattern(100, 6));
  Submit(second);
  ASSERT_TRUE(WaitRetry(1));
  EXPECT_EQ(LockWait(second), 1);
  // No drain runs by itself here (its period is 1000 s): the release of the
  // first write's lock alone issues the second.
  bs_.Release();
  ASSERT_TRUE(WaitDone(first));
  ASSERT_TRUE(WaitDone(second));
  EXPECT_EQ(first->io()->status, 0);
  EXPECT_EQ(second->io()->status, 0);
  EXPECT_EQ(LockWait(second), 0);
  std::string want = Pattern(kBlock, 4);
  want.replace(512, 512, Pattern(512, 5));
  want.replace(1024, 100, Pattern(100, 6));
  EXPECT_EQ(Diff(bs_.Stored(0, kBlock), want), "equal");
  EXPECT_TRUE(LockedBlocks().empty());
}

// The bring-up's lock-set task comes from the manager's thread, the I/O
// from a host thread; the loop may run the I/O first. A write that took its
// lock before that task ran still holds it afterwards: a neighbour waits,
// and the release finds what the lock step took.
TEST_F(RmwTest, ALockTakenBeforeTheBringUpsLockSetTaskIsKept) {
  StartDrivers();
  const std::string old = Pattern(kBlock, 40);
  bs_.Store(0, old);
  FakeBlockServer::Answer hold;
  hold.hold = true;
  bs_.Push("Read", hold);
  testsupport::LogCapture logs;
  TestIo* first = NewWrite(512, Pattern(512, 41));
  Submit(first);
  ASSERT_TRUE(WaitHeld(1));
  OnLoop([&] { driver()->BitMapCreate(disk_, disk_->size); });
  ASSERT_EQ(LockedBlocks(), std::set<uint64_t>{0});

  TestIo* second = NewWrite(2048, Pattern(100, 42));
  Submit(second);
  ASSERT_TRUE(WaitRetry(1));
  EXPECT_EQ(LockWait(second), 1);
  bs_.Release();
  ASSERT_TRUE(WaitDone(first));
  ASSERT_TRUE(WaitDone(second));
  EXPECT_EQ(first->io()->status, 0);
  EXPECT_EQ(second->io()->status, 0);
  std::string want = old;
  want.replace(512, 512, Pattern(512, 41));
  want.replace(2048, 100, Pattern(100, 42));
  EXPECT_EQ(Diff(bs_.Stored(0, kBlock), want), "equal");
  EXPECT_TRUE(LockedBlocks().empty());
  EXPECT_EQ(logs.text().find("does not"), std::string::npos);
}

// A release names its write: blocks held by another write stay held.
TEST_F(RmwTest, AReleaseLeavesTheBlocksOfAnotherWrite) {
  StartDrivers();
  FakeBlockServer::Answer hold;
  hold.hold = true;
  bs_.Push("Read", hold);
  TestIo* holder = NewWrite(4097, Pattern(4096, 43));  // blocks 1 and 2
  Submit(holder);
  ASSERT_TRUE(WaitHeld(1));
  TestIo* stranger = NewWrite(4096 + 100, Pattern(8000, 44));  // the same blocks
  testsupport::LogCapture logs;
  EXPECT_EQ(Read<int>(0, [&] { return driver()->BitMapReset(name_, stranger->io()); }), 0);
  EXPECT_NE(logs.LineWith("does not unlock"), "");
  EXPECT_EQ(LockedBlocks(), (std::set<uint64_t>{1, 2}));
  bs_.Release();
  ASSERT_TRUE(WaitDone(holder));
  EXPECT_EQ(holder->io()->status, 0);
  EXPECT_TRUE(LockedBlocks().empty());
}

TEST_F(RmwTest, AWriteWaitingOnAnotherBlockOfItsRangeWaitsToo) {
  StartDrivers();
  FakeBlockServer::Answer hold;
  hold.hold = true;
  bs_.Push("Read", hold);
  TestIo* first = NewWrite(4097, Pattern(4096, 7));  // locks 1 and 2
  Submit(first);
  ASSERT_TRUE(WaitHeld(1));
  TestIo* tail_user = NewWrite(8192 + 10, Pattern(10, 8));  // block 2
  Submit(tail_user);
  ASSERT_TRUE(WaitRetry(1));
  bs_.Release();
  ASSERT_TRUE(WaitDone(first));
  ASSERT_TRUE(WaitDone(tail_user));
  EXPECT_EQ(tail_user->io()->status, 0);
  EXPECT_EQ(Diff(bs_.Stored(8192 + 10, 10), Pattern(10, 8)), "equal");
  EXPECT_EQ(Diff(bs_.Stored(4097, 4096), Pattern(4096, 7)), "equal");
}

TEST_F(RmwTest, AStaleRouteInTheReadStageKeepsTheLockAcrossTheRetry) {
  StartDrivers();
  FakeBlockServer::Answer stale;
  stale.retcode = -12003;
  stale.term = 8;
  bs_.Push("Read", stale);
  TestIo* t = NewWrite(512, Pattern(512, 9));
  Submit(t);
  ASSERT_TRUE(WaitRetry(1));
  EXPECT_EQ(LockedBlocks(), std::set<uint64_t>{0});
  EXPECT_EQ(LockWait(t), 0);
  EXPECT_EQ(Metric("_query_route_count"), 1u);
  FakeBlockServer::Answer hold;
  hold.hold = true;
  bs_.Push("Read", hold);
  testsupport::LogCapture logs;
  OnLoop([&] { driver()->pyx_retry_io(); });
  ASSERT_TRUE(WaitHeld(1));
  EXPECT_EQ(LockedBlocks(), std::set<uint64_t>{0});
  bs_.Release();
  ASSERT_TRUE(WaitDone(t));
  EXPECT_EQ(t->io()->status, 0);
  EXPECT_TRUE(LockedBlocks().empty());
  // The retry found its own lock: nothing locked twice, nothing unlocked
  // that was not held.
  EXPECT_EQ(logs.text().find("does not"), std::string::npos);
}

// A write stage that timed out may still be applied by the block server.
// Its blocks stay locked until the write ends, so a neighbour's
// read-modify-write of the same block comes after the late write, never
// before it (where the late write would revert it).
TEST_F(RmwTest, ATimedOutWriteStageKeepsItsBlockLockedUntilTheWriteEnds) {
  rpc_timeout = 300;
  StartDrivers();
  const std::string old = Pattern(kBlock, 20);
  bs_.Store(0, old);
  FakeBlockServer::Answer late;
  late.hold = true;
  late.apply_late = true;
  bs_.Push("Write", late);
  TestIo* first = NewWrite(512, Pattern(512, 21));
  Submit(first);
  ASSERT_TRUE(WaitRetry(1));  // the write stage timed out
  EXPECT_EQ(bs_.held(), 1u);
  EXPECT_EQ(LockedBlocks(), std::set<uint64_t>{0});

  TestIo* second = NewWrite(2048, Pattern(100, 22));
  Submit(second);
  ASSERT_TRUE(WaitRetry(2));
  EXPECT_EQ(LockWait(second), 1);
  EXPECT_EQ(bs_.count("Read"), 1u);  // the first write's only

  bs_.Release();  // the first write lands now, its answer long abandoned
  ASSERT_TRUE(RetryUntilDone(first));
  ASSERT_TRUE(WaitDone(second));
  EXPECT_EQ(first->io()->status, 0);
  EXPECT_EQ(second->io()->status, 0);
  std::string want = old;
  want.replace(512, 512, Pattern(512, 21));
  want.replace(2048, 100, Pattern(100, 22));
  EXPECT_EQ(Diff(bs_.Stored(0, kBlock), want), "equal");
  EXPECT_TRUE(LockedBlocks().empty());
}

// Records come back from the host's pool holding what their last I/O left,
// a lock_wait of 1 among it (a write that failed while waiting for a lock).
// A read or an aligned write with such a record that sits on the retry ring
// for another reason when a lock is released is not a lock waiter: it stays
// for the periodic drain and runs as what it is. Handed to the driver
// directly the stale flag reaches the driver; through send_pyx_io the
// record starts afresh.
TEST_F(RmwTest, OnlyWritesWaitingForBlocksAreTakenForLockWaiters) {
  StartDrivers();
  // A geometry with every plane of the disk in the route cache.
  disk_->die_unit_capacity = disk_->die_capacity = 64ull << 20;
  disk_->plane_capacity = disk_->block_capacity = 4ull << 20;
  worker_num = 1;
  pyxdrivers = {driver()};
  struct Reset {
    ~Reset() { pyxdrivers.clear(); }
  } reset;
  testsupport::LogCapture logs;
  bs_.Store(0, Pattern(8 * kBlock, 30));
  for (const bool through_send : {false, true}) {
    const uint64_t base = through_send ? 4 * kBlock : 0;
    auto dirty = [&](TestIo* t) {
      bdev_pyx_io* io = t->io();
      io->lock_wait = 1;
      io->pending_ms = int64_t{1} << 40;
      io->link.tqe_next = io;
      io->link.tqe_prev = &io->link.tqe_next;
      if (through_send) io->plane = 12345;
    };
    auto submit = [&](TestIo* t) {
      tracked_[t->io()] = t;
      if (through_send) {
        delete t->io()->stats;  // send_pyx_io gives the I/O its own
        t->io()->stats = nullptr;
        send_pyx_io(t->bio());
      } else {
        Submit(t);
      }
    };
    FakeBlockServer::Answer hold;
    hold.hold = true;
    bs_.Push("Read", hold);
    TestIo* locker = NewWrite(base + 100, Pattern(100, 31));
    submit(locker);
    ASSERT_TRUE(WaitHeld(1));

    FakeBlockServer::Answer retry;
    retry.retcode = -12001;
    bs_.Push("Read", retry);
    bs_.Push("Write", retry);
    TestIo* read = NewRead(base + kBlock + 300, 700);
    TestIo* write = NewWrite(base + 2 * kBlock, Pattern(kBlock, 32));
    dirty(read);
    dirty(write);
    submit(read);
    submit(write);
    ASSERT_TRUE(WaitRetry(2)) << through_send;

    bs_.Release();  // the locker completes and releases its block
    ASSERT_TRUE(WaitDone(locker));
    OnLoop([] {});  // the drain the release posted has run
    EXPECT_EQ(Read<size_t>(0, [&] { return driver()->retry_count(); }), 2u) << through_send;
    ASSERT_TRUE(RetryUntilDone(read));
    ASSERT_TRUE(WaitDone(write));
    EXPECT_EQ(read->io()->status, 0);
    EXPECT_EQ(write->io()->status, 0);
    EXPECT_EQ(Diff(read->data(), Pattern(8 * kBlock, 30).substr(base + kBlock + 300, 700)),
              "equal");
    std::string want = Pattern(8 * kBlock, 30).substr(base, 3 * kBlock);
    want.replace(100, 100, Pattern(100, 31));
    want.replace(2 * kBlock, kBlock, Pattern(kBlock, 32));
    EXPECT_EQ(Diff(bs_.Stored(base, 3 * kBlock), want), "equal") << through_send;
  }
  EXPECT_EQ(logs.text().find("Check failed"), std::string::npos);
  EXPECT_EQ(logs.text().find("does not"), std::string::npos);
  EXPECT_EQ(Read<int64_t>(0, [&] { return driver()->in_flight(); }), 0);
  EXPECT_TRUE(LockedBlocks(16).empty());
}

TEST_F(RmwTest, AFailedWriteStageGivesTheLockBack) {
  StartDrivers();
  FakeBlockServer::Answer fail;
  fail.retcode = -14001;
  bs_.Push("Write", fail);
  TestIo* t = NewWrite(100, Pattern(200, 10));
  Submit(t);
  ASSERT_TRUE(WaitDone(t));
  EXPECT_EQ(t->io()->status, -1);
  EXPECT_TRUE(LockedBlocks().empty());
  EXPECT_EQ(Metric("_write_fail_count"), 1u);
}

TEST_F(RmwTest, ShortOldDataFailsTheWriteWithoutWritingAnything) {
  StartDrivers();
  bs_.Store(0, Pattern(kBlock, 11));
  FakeBlockServer::Answer short_data;
  short_data.data_delta = -1;
  bs_.Push("Read", short_data);
  testsupport::LogCapture logs;
  TestIo* t = NewWrite(100, Pattern(200, 12));
  Submit(t);
  ASSERT_TRUE(WaitDone(t));
  EXPECT_EQ(t->io()->status, -1);
  EXPECT_EQ(bs_.count("Write"), 0u);
  EXPECT_TRUE(LockedBlocks().empty());
  EXPECT_NE(logs.LineWith("RMW obtained data error,"), "");
}

TEST_F(RmwTest, ReadModifyWriteLeavesTheVectorsAlone) {
  is_crc = 1;
  StartDrivers();
  TestIo* t = NewWrite(512, Pattern(512, 13));
  Submit(t);
  ASSERT_TRUE(WaitDone(t));
  EXPECT_EQ(t->io()->status, 0);
  OnLoop([&] {
    EXPECT_EQ(driver()->crc_at(name_, 0), 0u);
    EXPECT_EQ(driver()->location_at(name_, 0).segment_id, 0);
  });
}

}  // namespace
}  // namespace iotest
