// Aligned writes: one attachment in buffer order, the request's fields, the
// CRCs recorded before sending and the block locations on success; the
// integrity vectors' sizes and the per-driver dgs.
#include <string>

#include "butil/crc32c.h"
#include "io_fixture.h"
#include "tarn/rpc/closure_guard.h"

namespace iotest {
namespace {

class WriteTest : public DriverTest {
 protected:
  bool WaitHeld(size_t n) {
    return testsupport::WaitFor([&] { return bs_.held() == n; });
  }
};

TEST_F(WriteTest, BuffersTravelAsOneAttachmentInTheirOrder) {
  StartDrivers();
  const std::string data = Pattern(16384, 1);
  TestIo* t = NewWrite(8192, data, {4096, 8192, 4096});
  Submit(t);
  ASSERT_TRUE(WaitDone(t));
  EXPECT_EQ(t->io()->status, 0);
  const auto reqs = bs_.requests();
  ASSERT_EQ(reqs.size(), 1u);
  EXPECT_EQ(reqs[0].vdi, uuid_);
  EXPECT_EQ(reqs[0].lba, 8192u);
  EXPECT_EQ(reqs[0].size, 16384u);
  EXPECT_EQ(reqs[0].dgs, 5u);
  EXPECT_EQ(reqs[0].term, 7u);
  EXPECT_EQ(Diff(reqs[0].data, data), "equal");
  EXPECT_EQ(Diff(bs_.Stored(8192, 16384), data), "equal");
  EXPECT_EQ(Metric("_4_k_write_sum"), 1u);
  EXPECT_EQ(Read<int64_t>(0, [&] { return driver()->in_flight(); }), 0);
}

TEST_F(WriteTest, CrcsAreRecordedBeforeSendingAndLocationsOnSuccess) {
  is_crc = 1;
  StartDrivers();
  const std::string data = Pattern(16384, 2);
  FakeBlockServer::Answer hold;
  hold.hold = true;
  bs_.Push("Write", hold);
  TestIo* t = NewWrite(8192, data);
  Submit(t);
  ASSERT_TRUE(WaitHeld(1));
  OnLoop([&] {
    for (uint64_t b = 0; b < 8; ++b) {
      const uint32_t want = b >= 2 && b <= 5
                                ? butil::crc32c::Extend(0, data.data() + (b - 2) * kBlock, kBlock)
                                : 0;
      EXPECT_EQ(driver()->crc_at(name_, b), want) << b;
      EXPECT_EQ(driver()->location_at(name_, b).segment_id, 0) << b;
    }
  });
  bs_.Release();
  ASSERT_TRUE(WaitDone(t));
  EXPECT_EQ(t->io()->status, 0);
  OnLoop([&] {
    for (uint64_t b = 0; b < 8; ++b) {
      const PyxDriver::BlockLocation loc = driver()->location_at(name_, b);
      const bool written = b >= 2 && b <= 5;
      EXPECT_EQ(loc.segment_id, written ? 0x34 : 0) << b;  // low 8 bits of 0x1234
      EXPECT_EQ(loc.stream_id, written ? 0x56 : 0) << b;
      EXPECT_EQ(loc.extent_id, written ? 0x78 : 0) << b;
      EXPECT_EQ(loc.offset_in_extent, written ? 0xabcdef01u : 0u) << b;
    }
  });
}

TEST_F(WriteTest, AFailedWriteKeepsItsCrcsButRecordsNoLocation) {
  is_crc = 1;
  StartDrivers();
  FakeBlockServer::Answer fail;
  fail.retcode = -14001;
  bs_.Push("Write", fail);
  TestIo* t = NewWrite(0, Pattern(kBlock, 3));
  Submit(t);
  ASSERT_TRUE(WaitDone(t));
  EXPECT_EQ(t->io()->status, -1);
  OnLoop([&] {
    EXPECT_NE(driver()->crc_at(name_, 0), 0u);
    EXPECT_EQ(driver()->location_at(name_, 0).segment_id, 0);
  });
}

TEST_F(WriteTest, VectorsHoldOneEntryPerWholeBlock) {
  is_crc = 1;
  StartDrivers(1, 4096, 10ull << 20);
  EXPECT_EQ(Read<size_t>(0, [&] { return driver()->vector_size(name_); }), 2560u);
  testsupport::LogCapture logs;
  OnLoop([&] { driver()->VectorCreate(disk_, 4095); });
  EXPECT_EQ(Read<size_t>(0, [&] { return driver()->vector_size(name_); }), 0u);
  EXPECT_NE(logs.LineWith("create vdisk crc vector sucess, vector capacity: 0"), "");
}

TEST_F(WriteTest, ASnapshotRaisesTheDgsOfLaterWritesOnly) {
  StartDrivers();
  FakeBlockServer::Answer hold;
  hold.hold = true;
  bs_.Push("Write", hold);
  TestIo* first = NewWrite(0, Pattern(kBlock, 4));
  Submit(first);
  ASSERT_TRUE(WaitHeld(1));
  bool answered = false;
  auto guard = std::make_shared<tarn::ClosureGuard>(
      google::protobuf::NewCallback(+[](bool* a) { *a = true; }, &answered));
  OnLoop([&] { driver()->UpdateDgs(name_, 6, std::move(guard)); });
  EXPECT_TRUE(answered);  // the task let go of its share
  bs_.Release();
  ASSERT_TRUE(WaitDone(first));
  TestIo* second = NewWrite(4096, Pattern(kBlock, 5));
  Submit(second);
  ASSERT_TRUE(WaitDone(second));
  const auto reqs = bs_.requests();
  ASSERT_EQ(reqs.size(), 2u);
  EXPECT_EQ(reqs[0].dgs, 5u);
  EXPECT_EQ(reqs[1].dgs, 6u);
}

TEST_F(WriteTest, DgsIsNeverLoweredAndCreateKeepsAnExistingOne) {
  StartDrivers();
  testsupport::LogCapture logs;
  OnLoop([&] {
    driver()->UpdateDgs(name_, 5, nullptr);
    driver()->UpdateDgs(name_, 4, nullptr);
    driver()->CreateDgs(name_, 9);
    EXPECT_EQ(driver()->dgs_of(name_), 5u);
    driver()->UpdateDgs("other", 9, nullptr);
    driver()->FreeDgs(name_);
    driver()->FreeDgs(name_);
  });
  EXPECT_NE(logs.LineWith("worker 0 vdi disk0 dgs 5 ge dgs from snapshot 5"), "");
  EXPECT_NE(logs.LineWith("worker 0 vdi disk0 dgs 5 ge dgs from snapshot 4"), "");
  EXPECT_NE(logs.LineWith("worker 0 vdi other dgs not found"), "");
  EXPECT_NE(logs.LineWith("worker 0 vdi disk0 dgs not exit"), "");
  // Without a dgs the write still goes, with 0.
  TestIo* t = NewWrite(0, Pattern(kBlock, 6));
  Submit(t);
  ASSERT_TRUE(WaitDone(t));
  EXPECT_EQ(bs_.requests().back().dgs, 0u);
}

TEST_F(WriteTest, UpdateLogsTheRaise) {
  StartDrivers();
  testsupport::LogCapture logs;
  OnLoop([&] { driver()->UpdateDgs(name_, 8, nullptr); });
  EXPECT_NE(logs.LineWith("update disk0 worer 0 dgs to 8"), "");
  EXPECT_EQ(Read<uint64_t>(0, [&] { return driver()->dgs_of(name_); }), 8u);
}

}  // namespace
}  // namespace iotest
