// Reads through PyxDriver against the scriptable block server: the covering
// range asked for, the bytes copied out, answers of the wrong size or with
// short data, zero-filled answers and the CRC check.
#include <string>

#include "io_fixture.h"

namespace iotest {
namespace {

class ReadTest : public DriverTest {};

TEST_F(ReadTest, AlignedReadCopiesTheAnswerIntoEveryBuffer) {
  StartDrivers();
  const std::string stored = Pattern(5 * kBlock, 1);
  bs_.Store(0, stored);
  TestIo* t = NewIo(SPDK_BDEV_IO_TYPE_READ, 4096, 16384, {4096, 8192, 4096});
  Submit(t);
  ASSERT_TRUE(WaitDone(t));
  EXPECT_EQ(t->io()->status, 0);
  EXPECT_EQ(Diff(t->data(), stored.substr(4096, 16384)), "equal");
  const auto reqs = bs_.requests();
  ASSERT_EQ(reqs.size(), 1u);
  EXPECT_EQ(reqs[0].vdi, uuid_);
  EXPECT_EQ(reqs[0].lba, 4096u);
  EXPECT_EQ(reqs[0].size, 16384u);
  EXPECT_EQ(reqs[0].term, 7u);
  EXPECT_EQ(t->completions, 1);
  EXPECT_EQ(Metric("_4_k_read_sum"), 1u);
  EXPECT_EQ(Read<int64_t>(0, [&] { return driver()->in_flight(); }), 0);
}

TEST_F(ReadTest, UnalignedReadAsksForTheCoveringRangeAndCopiesItsPart) {
  StartDrivers();
  const std::string stored = Pattern(2 * kBlock, 2);
  bs_.Store(0, stored);
  TestIo* t = NewRead(4095, 512);
  Submit(t);
  ASSERT_TRUE(WaitDone(t));
  EXPECT_EQ(t->io()->status, 0);
  EXPECT_EQ(Diff(t->data(), stored.substr(4095, 512)), "equal");
  const auto reqs = bs_.requests();
  ASSERT_EQ(reqs.size(), 1u);
  EXPECT_EQ(reqs[0].lba, 0u);
  EXPECT_EQ(reqs[0].size, 8192u);
  EXPECT_EQ(Metric("_512_read_sum"), 1u);
}

TEST_F(ReadTest, AnAnswerOfTheWrongSizeFailsTheRead) {
  StartDrivers();
  bs_.Store(0, Pattern(4 * kBlock, 3));
  testsupport::LogCapture logs;
  FakeBlockServer::Answer short_size;
  short_size.size_delta = -4096;
  bs_.Push("Read", short_size);
  TestIo* t = NewRead(4096, 8192);
  Submit(t);
  ASSERT_TRUE(WaitDone(t));
  EXPECT_EQ(t->io()->status, -1);
  const std::string line = logs.LineWith("obtained length error");
  EXPECT_NE(line.find("ERROR "), std::string::npos);
  EXPECT_NE(line.find("disk0 obtained length error,|vdi uuid:uuid-disk0|reqlba: 4096|len: 8192"
                      "|remain: 4096|plane_num:0|remote_side:"),
            std::string::npos)
      << line;
  EXPECT_EQ(Metric("_read_fail_count"), 1u);
}

struct ShortDataCase {
  uint64_t offset;
  uint64_t len;
  int64_t data_delta;
  bool fails;
};

TEST_F(ReadTest, DataShorterThanAskedFailsAndLongerDataIsCutToTheRead) {
  StartDrivers();
  const std::string stored = Pattern(4 * kBlock, 4);
  bs_.Store(0, stored);
  const ShortDataCase cases[] = {
      {4096, 8192, -4096, true},   // aligned, one block short
      {4096, 8192, -1, true},      // aligned, one byte short
      {4095, 512, -4096, true},    // unaligned, covering range short
      {4096, 8192, 4096, false},   // aligned, one block long
      {4095, 512, 4096, false},    // unaligned, long
  };
  for (const ShortDataCase& c : cases) {
    FakeBlockServer::Answer a;
    a.data_delta = c.data_delta;
    bs_.Push("Read", a);
    TestIo* t = NewRead(c.offset, c.len);
    Submit(t);
    ASSERT_TRUE(WaitDone(t));
    EXPECT_EQ(t->io()->status, c.fails ? -1 : 0) << c.offset << " " << c.data_delta;
    if (!c.fails) {
      EXPECT_EQ(Diff(t->data(), stored.substr(c.offset, c.len)), "equal");
    }
  }
}

TEST_F(ReadTest, ZeroFilledAnswersZeroTheBuffers) {
  StartDrivers();
  for (uint64_t offset : {4095ull, 8192ull}) {
    TestIo* t = NewRead(offset, 512 * 9);
    t->set_data(std::string(512 * 9, '\xff'));
    Submit(t);
    ASSERT_TRUE(WaitDone(t));
    EXPECT_EQ(t->io()->status, 0);
    EXPECT_EQ(Diff(t->data(), std::string(512 * 9, '\0')), "equal") << offset;
  }
}

TEST_F(ReadTest, CrcMismatchOfBlocksNeverWrittenHereOnlyLogs) {
  is_crc = 1;
  StartDrivers();
  bs_.Store(0, Pattern(2 * kBlock, 5));  // written behind the driver's back
  testsupport::LogCapture logs;
  TestIo* t = NewRead(0, 8192);
  Submit(t);
  ASSERT_TRUE(WaitDone(t));
  EXPECT_EQ(t->io()->status, 0);
  const std::string text = logs.text();
  size_t lines = 0;
  for (size_t p = text.find("crc noequal"); p != std::string::npos;
       p = text.find("crc noequal", p + 1)) {
    ++lines;
  }
  EXPECT_EQ(lines, 2u);
  const std::string line = logs.LineWith("|4klba: 4096");
  EXPECT_NE(line.find("disk0 crc noequal,|reqlba: 0|4klba: 4096|write crc: 0|read crc: "),
            std::string::npos)
      << line;
  EXPECT_NE(line.find("|len: 8192|blockinfo_lba: 4096|Rread_segment_id: 4660"
                      "|Read_stream_id: 86|Read_extent_id: 120|Rread_offset_in_extent: "
                      "41537105665|Write_segment_id: 0|Write_stream_id: 0|Write_extent_id: 0"
                      "|Write_offset_in_extent: 0"),
            std::string::npos)
      << line;

  // A zero-filled answer matches blocks with no CRC recorded.
  logs.Clear();
  TestIo* z = NewRead(1 << 20, 8192);
  Submit(z);
  ASSERT_TRUE(WaitDone(z));
  EXPECT_EQ(z->io()->status, 0);
  EXPECT_EQ(logs.text().find("crc noequal"), std::string::npos);
}

TEST_F(ReadTest, CrcOfWrittenBlocksMatchesAndAZeroFilledAnswerDoesNot) {
  is_crc = 1;
  StartDrivers();
  testsupport::LogCapture logs;
  TestIo* w = NewWrite(0, Pattern(2 * kBlock, 6));
  Submit(w);
  ASSERT_TRUE(WaitDone(w));
  TestIo* r = NewRead(0, 8192);
  Submit(r);
  ASSERT_TRUE(WaitDone(r));
  EXPECT_EQ(r->io()->status, 0);
  EXPECT_EQ(logs.text().find("crc noequal"), std::string::npos);

  FakeBlockServer::Answer zerod;
  zerod.zerod = true;
  bs_.Push("Read", zerod);
  TestIo* z = NewRead(4096, 4096);
  Submit(z);
  ASSERT_TRUE(WaitDone(z));
  EXPECT_EQ(z->io()->status, 0);
  EXPECT_EQ(Diff(z->data(), std::string(4096, '\0')), "equal");
  EXPECT_NE(logs.LineWith("crc noequal").find("|4klba: 4096|write crc: "), std::string::npos);
  EXPECT_NE(logs.LineWith("crc noequal").find("|read crc: 0|len: 4096"), std::string::npos);
}

TEST_F(ReadTest, BlockInfoBeyondTheReadIsIgnoredWithAnError) {
  is_crc = 1;
  StartDrivers();
  bs_.Store(0, Pattern(kBlock, 7));
  testsupport::LogCapture logs;
  FakeBlockServer::Answer extra;
  extra.extra_infos = 3;
  bs_.Push("Read", extra);
  TestIo* t = NewRead(0, 4096);
  Submit(t);
  ASSERT_TRUE(WaitDone(t));
  EXPECT_EQ(t->io()->status, 0);
  EXPECT_EQ(Diff(t->data(), Pattern(kBlock, 7)), "equal");
  EXPECT_NE(logs.LineWith("block_info entries").find("holds 4 block_info entries for 1 blocks"),
            std::string::npos);
}

TEST_F(ReadTest, BlocksPastTheVectorsGoUncheckedWithOneWarning) {
  is_crc = 1;
  StartDrivers(1, 4096, 4 * kBlock);  // vectors of 4 blocks
  testsupport::LogCapture logs;
  for (int i = 0; i < 2; ++i) {
    TestIo* w = NewWrite(2 * kBlock, Pattern(4 * kBlock, 8));
    Submit(w);
    ASSERT_TRUE(WaitDone(w));
    EXPECT_EQ(w->io()->status, 0);
    TestIo* r = NewRead(2 * kBlock, 4 * kBlock);
    Submit(r);
    ASSERT_TRUE(WaitDone(r));
    EXPECT_EQ(r->io()->status, 0);
    EXPECT_EQ(Diff(r->data(), Pattern(4 * kBlock, 8)), "equal");
  }
  const std::string text = logs.text();
  const size_t first = text.find("past the 4 blocks of the integrity vectors");
  ASSERT_NE(first, std::string::npos);
  EXPECT_EQ(text.find("past the 4 blocks", first + 1), std::string::npos);
  EXPECT_EQ(text.find("crc noequal"), std::string::npos);
  EXPECT_NE(Read<uint32_t>(0, [&] { return driver()->crc_at(name_, 3); }), 0u);
}

}  // namespace
}  // namespace iotest
