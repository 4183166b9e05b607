// The stand-in's NVMe driver calls themselves: transport ids and PCI
// addresses, probe and detach, and the queue-pair rules a real controller
// enforces (completion only when asked, in order, within the batch; one
// thread per queue pair).
#include <cerrno>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "disk/nvme_test_util.h"
#include "gtest/gtest.h"

namespace {

TEST(NvmeStandinTest, TransportIdsParse) {
  struct Case {
    const char* text;
    int rc;
    const char* traddr;
  };
  const Case cases[] = {
      {"trtype:PCIe traddr:0000:04:00.0", 0, "0000:04:00.0"},
      {"  TRTYPE:pcie\ttraddr:04:00.0  ", 0, "04:00.0"},
      {"trtype:PCIe traddr:0000:04:00.0 subnqn:nqn.x priority:3", 0, "0000:04:00.0"},
      {"", 0, ""},
      {"trtype:PCIe traddr", -EINVAL, ""},
      {"trtype:Carrier-Pigeon", -EINVAL, ""},
      {"trtype:PCIe flavour:mint", -EINVAL, ""},
      {"priority:high", -EINVAL, ""},
      {":x", -EINVAL, ""},
  };
  for (const Case& c : cases) {
    spdk_nvme_transport_id trid;
    memset(&trid, 0, sizeof(trid));
    EXPECT_EQ(c.rc, spdk_nvme_transport_id_parse(&trid, c.text)) << c.text;
    if (c.rc == 0) {
      EXPECT_STREQ(c.traddr, trid.traddr) << c.text;
    }
  }
  spdk_nvme_transport_id trid;
  EXPECT_EQ(-EINVAL, spdk_nvme_transport_id_parse(&trid, nullptr));
  const std::string long_addr = "traddr:" + std::string(300, 'a');
  EXPECT_EQ(-EINVAL, spdk_nvme_transport_id_parse(&trid, long_addr.c_str()));
}

TEST(NvmeStandinTest, PciAddressesParseAndPrint) {
  struct Case {
    const char* text;
    int rc;
    const char* printed;
  };
  const Case cases[] = {
      {"0000:04:00.0", 0, "0000:04:00.0"}, {"04:1f.7", 0, "0000:04:1f.7"},
      {"abcd:ff:01.3", 0, "abcd:ff:01.3"}, {"04:20.0", -EINVAL, ""},
      {"04:00.8", -EINVAL, ""},            {"04:00", -EINVAL, ""},
      {"0:0:0:0.0", -EINVAL, ""},          {"04:00.0x", -EINVAL, ""},
      {"zz:00.0", -EINVAL, ""},
  };
  for (const Case& c : cases) {
    spdk_pci_addr addr;
    EXPECT_EQ(c.rc, spdk_pci_addr_parse(&addr, c.text)) << c.text;
    if (c.rc != 0) continue;
    char buf[32];
    ASSERT_EQ(0, spdk_pci_addr_fmt(buf, sizeof(buf), &addr));
    EXPECT_STREQ(c.printed, buf);
  }
}

class StandinQpairTest : public ::testing::Test {
 protected:
  static bool Probe(void*, const spdk_nvme_transport_id*, spdk_nvme_ctrlr_opts*) {
    return true;
  }
  static void Attach(void* ctx, const spdk_nvme_transport_id*, spdk_nvme_ctrlr* ctrlr,
                     const spdk_nvme_ctrlr_opts*) {
    *static_cast<spdk_nvme_ctrlr**>(ctx) = ctrlr;
  }
  static void Done(void* ctx, const spdk_nvme_cpl* cpl) {
    static_cast<std::vector<int>*>(ctx)->push_back(spdk_nvme_cpl_is_error(cpl) ? -1 : 1);
  }

  void SetUp() override {
    nvmetest::StartSpdkEnv();
    addr_ = nvmetest::FreshAddress();
    ASSERT_EQ(0, spdk_standin::add_controller(
                     nvmetest::MakeSpec(dir_.path(), addr_, 512, 0, 64)));
    spdk_nvme_transport_id trid;
    memset(&trid, 0, sizeof(trid));
    ASSERT_EQ(0, spdk_nvme_transport_id_parse(&trid, nvmetest::Trid(addr_).c_str()));
    ASSERT_EQ(0, spdk_nvme_probe(&trid, &ctrlr_, Probe, Attach, nullptr));
    ASSERT_NE(nullptr, ctrlr_);
    // Probing again reports nothing: the controller is attached.
    spdk_nvme_ctrlr* again = nullptr;
    ASSERT_EQ(0, spdk_nvme_probe(&trid, &again, Probe, Attach, nullptr));
    EXPECT_EQ(nullptr, again);
    ns_ = spdk_nvme_ctrlr_get_ns(ctrlr_, 1);
    qp_ = spdk_nvme_ctrlr_alloc_io_qpair(ctrlr_, nullptr, 0);
    ASSERT_NE(nullptr, qp_);
  }

  void TearDown() override {
    if (ctrlr_ != nullptr) {
      EXPECT_EQ(0, spdk_nvme_detach(ctrlr_));
    }
    spdk_standin::ControllerStats st;
    ASSERT_TRUE(spdk_standin::controller_stats(addr_, &st));
    EXPECT_EQ(1, st.attaches);
    EXPECT_EQ(1, st.detaches);
    EXPECT_EQ(0, spdk_standin::remove_controller(addr_));
  }

  nvmetest::TempDir dir_;
  std::string addr_;
  spdk_nvme_ctrlr* ctrlr_ = nullptr;
  spdk_nvme_ns* ns_ = nullptr;
  spdk_nvme_qpair* qp_ = nullptr;
};

TEST_F(StandinQpairTest, CommandsCompleteOnlyWhenAskedInOrderAndInBatches) {
  nvmetest::DmaBuf buf(512);
  std::vector<int> done;
  for (int i = 0; i < 5; ++i) {
    ASSERT_EQ(0, spdk_nvme_ns_cmd_read_with_md(ns_, qp_, buf.get(), nullptr, i, 1, Done, &done,
                                               0, 0, 0));
  }
  EXPECT_TRUE(done.empty());
  EXPECT_EQ(-EBUSY, spdk_standin::remove_controller(addr_));
  EXPECT_EQ(2, spdk_nvme_qpair_process_completions(qp_, 2));
  EXPECT_EQ(2u, done.size());
  EXPECT_EQ(3, spdk_nvme_qpair_process_completions(qp_, 0));
  EXPECT_EQ(0, spdk_nvme_qpair_process_completions(qp_, 0));
  EXPECT_EQ(5u, done.size());
  // Outstanding commands are aborted when their queue pair goes.
  ASSERT_EQ(0, spdk_nvme_ns_cmd_write_zeroes(ns_, qp_, 0, 1, Done, &done, 0));
  EXPECT_EQ(0, spdk_nvme_ctrlr_free_io_qpair(qp_));
  EXPECT_EQ((std::vector<int>{1, 1, 1, 1, 1, -1}), done);
}

TEST_F(StandinQpairTest, ArgumentsAReadWriteCommandIsRefusedFor) {
  nvmetest::DmaBuf buf(4096);
  std::vector<char> heap(512);
  std::vector<int> done;
  spdk_nvme_dsm_range range;
  memset(&range, 0, sizeof(range));
  range.length = 1;
  EXPECT_EQ(-EINVAL, spdk_nvme_ns_cmd_read_with_md(ns_, qp_, buf.get(), nullptr, 0, 0, Done,
                                                   &done, 0, 0, 0));
  EXPECT_EQ(-EINVAL, spdk_nvme_ns_cmd_read_with_md(ns_, qp_, nullptr, nullptr, 0, 1, Done,
                                                   &done, 0, 0, 0));
  EXPECT_EQ(-EFAULT, spdk_nvme_ns_cmd_write_with_md(ns_, qp_, heap.data(), nullptr, 0, 1, Done,
                                                    &done, 0, 0, 0));
  // A DMA block too short for the blocks asked.
  EXPECT_EQ(-EFAULT, spdk_nvme_ns_cmd_write_with_md(ns_, qp_, buf.get(), nullptr, 0, 9, Done,
                                                    &done, 0, 0, 0));
  EXPECT_EQ(-EINVAL, spdk_nvme_ns_cmd_write_zeroes(ns_, qp_, 0, 65537, Done, &done, 0));
  EXPECT_EQ(-EINVAL, spdk_nvme_ns_cmd_dataset_management(
                         ns_, qp_, SPDK_NVME_DSM_ATTR_DEALLOCATE, &range, 0, Done, &done));
  EXPECT_TRUE(done.empty());
  EXPECT_EQ(0, spdk_nvme_qpair_process_completions(qp_, 0));
  EXPECT_TRUE(done.empty());
}

// A queue pair has the request objects asked for at allocation (at least
// its queue size); a command takes one, or one per piece of the largest
// transfer plus one when longer. -ENOMEM when they are not free now, and
// for a command that needs more than the queue pair has, even idle.
TEST_F(StandinQpairTest, ACommandTakesARequestPerPiecePlusOne) {
  spdk_nvme_io_qpair_opts opts;
  spdk_nvme_ctrlr_get_default_io_qpair_opts(ctrlr_, &opts, sizeof(opts));
  opts.io_queue_size = 2;
  opts.io_queue_requests = 4;
  spdk_nvme_qpair* qp = spdk_nvme_ctrlr_alloc_io_qpair(ctrlr_, &opts, sizeof(opts));
  ASSERT_NE(nullptr, qp);
  const uint32_t piece = spdk_nvme_ns_get_max_io_xfer_size(ns_) / 512;  // sectors
  nvmetest::DmaBuf buf(4 * piece * 512);
  std::vector<int> done;
  auto read = [&](uint32_t sectors) {
    return spdk_nvme_ns_cmd_read_with_md(ns_, qp, buf.get(), nullptr, 0, sectors, Done, &done,
                                         0, 0, 0);
  };
  // Three pieces and their parent: all four.
  ASSERT_EQ(0, read(3 * piece));
  EXPECT_EQ(-ENOMEM, read(1));
  EXPECT_EQ(1, spdk_nvme_qpair_process_completions(qp, 0));
  // Idle: one piece fits, four (five requests) never do.
  EXPECT_EQ(-ENOMEM, read(3 * piece + 1));
  EXPECT_EQ(-ENOMEM, read(4 * piece));
  ASSERT_EQ(0, read(piece));
  ASSERT_EQ(0, read(piece));
  ASSERT_EQ(0, read(piece));
  ASSERT_EQ(0, read(piece));
  EXPECT_EQ(-ENOMEM, read(1));
  EXPECT_EQ(4, spdk_nvme_qpair_process_completions(qp, 0));
  EXPECT_EQ(5u, done.size());
  EXPECT_EQ(0, spdk_nvme_ctrlr_free_io_qpair(qp));
}

TEST_F(StandinQpairTest, DetachFreesQueuePairsStillAllocated) {
  nvmetest::DmaBuf buf(512);
  std::vector<int> done;
  ASSERT_EQ(0, spdk_nvme_ns_cmd_read_with_md(ns_, qp_, buf.get(), nullptr, 0, 1, Done, &done,
                                             0, 0, 0));
  EXPECT_EQ(0, spdk_nvme_detach(ctrlr_));
  ctrlr_ = nullptr;
  EXPECT_EQ((std::vector<int>{-1}), done);
}

using StandinQpairDeathTest = StandinQpairTest;

TEST_F(StandinQpairDeathTest, AQueuePairServesOneThread) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  nvmetest::DmaBuf buf(512);
  std::vector<int> done;
  ASSERT_EQ(0, spdk_nvme_ns_cmd_read_with_md(ns_, qp_, buf.get(), nullptr, 0, 1, Done, &done,
                                             0, 0, 0));
  EXPECT_DEATH(
      {
        std::thread other([this] { spdk_nvme_qpair_process_completions(qp_, 0); });
        other.join();
      },
      "used from a second thread");
  EXPECT_EQ(1, spdk_nvme_qpair_process_completions(qp_, 0));
}

}  // namespace
