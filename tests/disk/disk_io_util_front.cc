// The disk I/O front itself, driven on the test thread: refusals without a
// back end, SPDK NVMe devices by (sparse) id over the emulated controller,
// the exclusion of the two back ends, and teardown of the queue pairs.
#include "tarn/disk_io_util.h"

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "disk/nvme_test_util.h"
#include "support/log_capture.h"
#include "tarn/event/aio_context.h"
#include "tarn/event/event_loop.h"
#include "tarn/polling/spdk_nvme_device.h"
#include "tarn/rpc/attachment.h"

namespace tarn {
namespace {

using nvmetest::DmaBuf;

// Callback values in arrival order.
struct Calls {
  std::vector<int> got;
  DiskIOUtil::Callback Cb() {
    return [this](int r) { got.push_back(r); };
  }
};

class DiskIOUtilTest : public ::testing::Test {
 protected:
  // A loop bound to this thread, never run; the front is driven by hand.
  DiskIOUtilTest() : loop_(nullptr, nullptr, false), front_(new DiskIOUtil(&loop_)) {}

  EventLoop loop_;
  std::unique_ptr<DiskIOUtil> front_;
};

// Without a back end every submit is refused with one callback of -1
// before it returns -1; the trim's length is checked first.
TEST_F(DiskIOUtilTest, EverySubmitWithoutABackEndCallsBackOnceWithMinus1) {
  DmaBuf buf(4096);
  SgEntry sge;
  sge.addr = reinterpret_cast<uint64_t>(buf.get());
  sge.len = 4096;
  void* b = buf.get();
  DiskIOUtil* f = front_.get();
  struct Case {
    const char* name;
    const char* log;
    std::function<int(const DiskIOUtil::Callback&)> submit;
  };
  const char* kNoAio = "libaio not enable";
  const char* kNoDev = "spdk nvme device not found, dev_id: 3";
  const std::vector<Case> cases = {
      {"read", kNoAio, [&](auto& cb) { return f->SubmitRead(0, b, 0, 4096, cb); }},
      {"write", kNoAio, [&](auto& cb) { return f->SubmitWrite(0, b, 0, 4096, cb); }},
      {"trim", kNoAio, [&](auto& cb) { return f->SubmitTrim(0, 0, 4096, cb); }},
      {"long trim", "len is larger than kMaxZeroBufSize, len: 1048577",
       [&](auto& cb) { return f->SubmitTrim(0, 0, DiskIOUtil::kMaxZeroBufSize + 1, cb); }},
      {"spdk read", kNoDev, [&](auto& cb) { return f->SubmitReadSpdk(3, b, 0, 4096, cb); }},
      {"spdk readv", kNoDev,
       [&](auto& cb) { return f->SubmitReadvSpdk(3, &sge, 1, 0, 4096, cb); }},
      {"spdk write", kNoDev, [&](auto& cb) { return f->SubmitWriteSpdk(3, b, 0, 4096, cb); }},
      {"spdk writev", kNoDev,
       [&](auto& cb) { return f->SubmitWritevSpdk(3, &sge, 1, 0, 4096, cb); }},
      {"spdk read md", kNoDev,
       [&](auto& cb) { return f->SubmitReadMdSpdk(3, b, 0, 4096, nullptr, cb, 0, 0, 0); }},
      {"spdk readv md", kNoDev,
       [&](auto& cb) {
         return f->SubmitReadvMdSpdk(3, &sge, 1, 0, 4096, nullptr, cb, 0, 0, 0);
       }},
      {"spdk write md", kNoDev,
       [&](auto& cb) { return f->SubmitWriteMdSpdk(3, b, 0, 4096, nullptr, cb, 0, 0, 0); }},
      {"spdk writev md", kNoDev,
       [&](auto& cb) {
         return f->SubmitWritevMdSpdk(3, &sge, 1, 0, 4096, nullptr, cb, 0, 0, 0);
       }},
      {"spdk trim", kNoDev, [&](auto& cb) { return f->SubmitTrimSpdk(3, 0, 4096, cb); }},
      {"spdk write zeroes", kNoDev,
       [&](auto& cb) { return f->SubmitWriteZeroesSpdk(3, 0, 4096, cb, 0); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testsupport::LogCapture log;
    Calls calls;
    EXPECT_EQ(c.submit(calls.Cb()), -1);
    EXPECT_EQ(calls.got, std::vector<int>{-1});
    EXPECT_NE(log.text().find(c.log), std::string::npos) << log.text();
  }
  EXPECT_EQ(front_->SpdkPoll(), 0);
}

class DiskIOUtilNvmeTest : public DiskIOUtilTest {
 protected:
  void SetUp() override {
    nvmetest::StartSpdkEnv();
    ASSERT_FALSE(dir_.path().empty());
    addr_ = nvmetest::FreshAddress();
    ASSERT_EQ(0, spdk_standin::add_controller(
                     nvmetest::MakeSpec(dir_.path(), addr_, 512, 0, 1024)));
    dev_ = std::make_shared<SpdkNvmeDevice>(nvmetest::Trid(addr_), 1, 5);
    ASSERT_EQ(0, dev_->Init());
  }
  void TearDown() override {
    front_.reset();
    dev_.reset();
    spdk_standin::remove_controller(addr_);
  }

  bool Drain(const Calls& calls, size_t n) {
    return nvmetest::PollUntil([&] { front_->SpdkPoll(); }, [&] { return calls.got.size() >= n; });
  }
  uint32_t QpairsOnController() {
    spdk_standin::ControllerStats st;
    EXPECT_TRUE(spdk_standin::controller_stats(addr_, &st));
    return st.io_qpairs;
  }

  nvmetest::TempDir dir_;
  std::string addr_;
  std::shared_ptr<SpdkNvmeDevice> dev_;
};

// Device 5 alone: ids 0 to 4 and 6 are unknown; 5 carries its requests to
// its queue pair, and SpdkPoll reports progress only when it made some.
TEST_F(DiskIOUtilNvmeTest, SparseDeviceIdServesItsQueuePair) {
  ASSERT_EQ(front_->AddSpdkNvmeUtil(dev_), 0);
  EXPECT_EQ(front_->spdk_device_count(), 1);
  EXPECT_EQ(QpairsOnController(), 1u);
  DmaBuf buf(8192);
  for (uint32_t id : {0u, 4u, 6u}) {
    Calls c;
    EXPECT_EQ(front_->SubmitReadSpdk(id, buf.get(), 0, 512, c.Cb()), -1);
    EXPECT_EQ(c.got, std::vector<int>{-1}) << id;
  }
  EXPECT_EQ(front_->SpdkPoll(), 0);

  // Write a pattern, zero part of it two ways, read it back through the
  // other forms.
  memset(buf.get(), 0x7c, 4096);
  Calls w;
  ASSERT_EQ(front_->SubmitWriteSpdk(5, buf.get(), 0, 4096, w.Cb()), 0);
  ASSERT_TRUE(Drain(w, 1));
  ASSERT_EQ(w.got, std::vector<int>{4096});
  Calls z;
  ASSERT_EQ(front_->SubmitTrimSpdk(5, 0, 512, z.Cb()), 0);
  ASSERT_EQ(front_->SubmitWriteZeroesSpdk(5, 1024, 512, z.Cb(), 0), 0);
  ASSERT_TRUE(Drain(z, 2));
  EXPECT_EQ(z.got, (std::vector<int>{512, 512}));

  SgEntry sges[2];
  sges[0].addr = reinterpret_cast<uint64_t>(buf.get() + 4096);
  sges[0].len = 1024;
  sges[1].addr = reinterpret_cast<uint64_t>(buf.get() + 6144);
  sges[1].len = 1024;
  memset(buf.get() + 4096, 0xee, 4096);
  Calls r;
  ASSERT_EQ(front_->SubmitReadvSpdk(5, sges, 2, 0, 2048, r.Cb()), 0);
  ASSERT_TRUE(Drain(r, 1));
  ASSERT_EQ(r.got, std::vector<int>{2048});
  std::vector<uint8_t> want(2048, 0x7c);
  memset(want.data(), 0, 512);
  memset(want.data() + 1024, 0, 512);
  EXPECT_EQ(memcmp(buf.get() + 4096, want.data(), 1024), 0);
  EXPECT_EQ(memcmp(buf.get() + 6144, want.data() + 1024, 1024), 0);
  EXPECT_EQ(front_->SpdkPoll(), 0);
}

TEST_F(DiskIOUtilNvmeTest, AioIsRefusedOnceAnSpdkDeviceIsAttached) {
  ASSERT_EQ(front_->AddSpdkNvmeUtil(dev_), 0);
  testsupport::LogCapture log;
  std::unique_ptr<AioContext> aio(new AioContext(&loop_, 4, 4));
  EXPECT_EQ(front_->SetAioContext(aio.get()), -1);
  EXPECT_FALSE(front_->aio_enabled());
  EXPECT_NE(log.text().find("spdk nvme device has been set, can't enable libaio"),
            std::string::npos);
}

// The front's end deletes its queue pairs on their devices and lets the
// devices go.
TEST_F(DiskIOUtilNvmeTest, DestructionDeletesTheQueuePairs) {
  ASSERT_EQ(front_->AddSpdkNvmeUtil(dev_), 0);
  EXPECT_EQ(dev_->qpair_count(), 1u);
  EXPECT_EQ(dev_.use_count(), 2);
  front_.reset();
  EXPECT_EQ(dev_->qpair_count(), 0u);
  EXPECT_EQ(QpairsOnController(), 0u);
  EXPECT_EQ(dev_.use_count(), 1);
}

using DiskIOUtilDeathTest = DiskIOUtilNvmeTest;

TEST_F(DiskIOUtilDeathTest, ConflictingAttachmentsEndTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        testsupport::SendLogsToStderr();
        front_->AddSpdkNvmeUtil(dev_);
        front_->AddSpdkNvmeUtil(dev_);
      },
      "spdk nvme dev already set, dev_id: 5");
  EXPECT_DEATH(
      {
        testsupport::SendLogsToStderr();
        front_->SetAioContext(new AioContext(&loop_, 4, 4));
        front_->AddSpdkNvmeUtil(dev_);
      },
      "aio has been enable, can't set spdk nvme");
}

}  // namespace
}  // namespace tarn
