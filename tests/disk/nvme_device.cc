// SpdkNvmeDevice over the emulated controller, driven directly on the test
// thread: every submit form against a model of the namespace, the refusals,
// the queue limits, injected and failed completions, shared controllers.
#include "tarn/polling/spdk_nvme_device.h"

#include <cerrno>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "disk/nvme_test_util.h"
#include "gtest/gtest.h"
#include "support/log_capture.h"
#include "tarn/types.h"

namespace {

using nvmetest::DmaBuf;
using tarn::SgEntry;
using tarn::SpdkNvmeDevice;

// Callback results of one test, in arrival order.
struct Results {
  std::vector<int> got;
  SpdkNvmeDevice::Callback cb() {
    return [this](int r) { got.push_back(r); };
  }
};

class NvmeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    nvmetest::StartSpdkEnv();
    ASSERT_FALSE(dir_.path().empty());
  }

  // Registers a controller and returns an inited device with one queue pair.
  std::shared_ptr<SpdkNvmeDevice> Open(const spdk_standin::ControllerShape& shape,
                                       uint32_t* qp) {
    EXPECT_EQ(0, spdk_standin::add_controller(shape));
    auto dev = std::make_shared<SpdkNvmeDevice>(nvmetest::Trid(shape.traddr), 1, 0);
    EXPECT_EQ(0, dev->Init());
    EXPECT_EQ(0, dev->CreateQpair(qp));
    return dev;
  }

  // The shape of a fresh controller with one namespace in the test's folder.
  spdk_standin::ControllerShape FreshShape(uint32_t sector, uint32_t md, uint64_t sectors) {
    return nvmetest::MakeSpec(dir_.path(), nvmetest::FreshAddress(), sector, md, sectors);
  }

  // A device with one queue pair on a fresh controller of that shape.
  std::shared_ptr<SpdkNvmeDevice> OpenFresh(uint32_t sector, uint32_t md, uint64_t sectors,
                                            uint32_t* qp) {
    return Open(FreshShape(sector, md, sectors), qp);
  }

  static bool Drain(SpdkNvmeDevice* dev, uint32_t qp, const Results& r, size_t n) {
    return nvmetest::PollUntil([&] { dev->Poll(qp); }, [&] { return r.got.size() >= n; });
  }

  nvmetest::TempDir dir_;
};

// ---------------------------------------------------------------------------
// Every form against a model of the namespace.

struct Format {
  uint32_t sector;
  uint32_t md;
};

class NvmeModelTest : public NvmeTest, public ::testing::WithParamInterface<Format> {};

TEST_P(NvmeModelTest, EveryFormMatchesTheModel) {
  const Format f = GetParam();
  const uint64_t sectors = 2048;
  auto shape = FreshShape(f.sector, f.md, sectors);
  shape.max_xfer_size = 16384;  // longer commands are split into pieces
  uint32_t qp = 0;
  auto dev = Open(shape, &qp);
  ASSERT_EQ(sectors * f.sector, dev->GetDeviceSize());
  ASSERT_EQ(f.sector, dev->GetPhysicalSectorSize());
  ASSERT_EQ(f.md, dev->GetMetaDataSize());

  std::vector<uint8_t> data(sectors * f.sector, 0);
  std::vector<uint8_t> meta(sectors * f.md, 0);
  const uint64_t max_len = 65536;
  DmaBuf buf(max_len + 32 * 64);  // room for gaps between scatter entries
  DmaBuf md(max_len / 512 * 64);
  std::mt19937_64 rng(1234 + f.sector + f.md);
  Results r;

  enum Op { kWrite, kWritev, kWriteMd, kWritevMd, kRead, kReadv, kReadMd, kReadvMd, kTrim,
            kZeroes, kOps };
  for (int i = 0; i < 600; ++i) {
    const uint64_t max_n = max_len / f.sector;
    const uint64_t n = 1 + rng() % max_n;
    const uint64_t lba = rng() % (sectors - n + 1);
    const uint64_t off = lba * f.sector, len = n * f.sector;
    int op = static_cast<int>(rng() % kOps);
    if (f.md == 0 && (op == kWriteMd || op == kWritevMd || op == kReadMd || op == kReadvMd)) {
      op -= 2;  // the plain form instead
    }
    const bool write = op <= kWritevMd;
    const bool vectored = op == kWritev || op == kWritevMd || op == kReadv || op == kReadvMd;
    const bool with_md = op == kWriteMd || op == kWritevMd || op == kReadMd || op == kReadvMd;

    // Scatter entries: random byte-sized pieces with gaps between them.
    std::vector<SgEntry> sges;
    std::vector<std::pair<uint64_t, uint64_t>> pieces;  // (buffer offset, length)
    if (vectored) {
      const int k = 1 + static_cast<int>(rng() % 32);
      uint64_t left = len, at = 0;
      for (int j = 0; j < k && left > 0; ++j) {
        const uint64_t piece = j == k - 1 ? left : 1 + rng() % left;
        pieces.push_back({at, piece});
        at += piece + 8 + rng() % 56;
        left -= piece;
      }
      if (left > 0) pieces.back().second += left;
      for (auto& p : pieces) {
        SgEntry e;
        e.addr = reinterpret_cast<uint64_t>(buf.get() + p.first);
        e.len = p.second;
        sges.push_back(e);
      }
    } else {
      pieces.push_back({0, len});
    }
    const size_t md_len = n * f.md;
    auto for_bytes = [&](const std::function<void(uint8_t*, uint64_t)>& fn) {
      uint64_t pos = 0;
      for (auto& p : pieces) {
        for (uint64_t b = 0; b < p.second; ++b) fn(reinterpret_cast<uint8_t*>(buf.get()) + p.first + b, pos++);
      }
    };

    const size_t before = r.got.size();
    int rc;
    if (write) {
      for_bytes([&](uint8_t* b, uint64_t pos) {
        *b = static_cast<uint8_t>(rng());
        data[off + pos] = *b;
      });
      if (with_md) {
        for (size_t b = 0; b < md_len; ++b) md.get()[b] = static_cast<char>(rng());
        memcpy(&meta[lba * f.md], md.get(), md_len);
      } else if (f.md != 0) {
        memset(&meta[lba * f.md], 0, md_len);  // the zeroed scratch is sent
      }
    }
    switch (op) {
      case kWrite: rc = dev->SubmitWrite(qp, buf.get(), off, len, r.cb()); break;
      case kWritev: rc = dev->SubmitWritev(qp, sges.data(), int(sges.size()), off, len, r.cb()); break;
      case kWriteMd: rc = dev->SubmitWriteMd(qp, buf.get(), off, len, md.get(), r.cb(), 0, 0, 0); break;
      case kWritevMd:
        rc = dev->SubmitWritevMd(qp, sges.data(), int(sges.size()), off, len, md.get(), r.cb(), 0, 0, 0);
        break;
      case kRead: rc = dev->SubmitRead(qp, buf.get(), off, len, r.cb()); break;
      case kReadv: rc = dev->SubmitReadv(qp, sges.data(), int(sges.size()), off, len, r.cb()); break;
      case kReadMd: rc = dev->SubmitReadMd(qp, buf.get(), off, len, md.get(), r.cb(), 0, 0, 0); break;
      case kReadvMd:
        rc = dev->SubmitReadvMd(qp, sges.data(), int(sges.size()), off, len, md.get(), r.cb(), 0, 0, 0);
        break;
      case kTrim: rc = dev->SubmitTrim(qp, off, len, r.cb()); break;
      default: rc = dev->SubmitWriteZeroes(qp, off, len, r.cb(), 0); break;
    }
    ASSERT_EQ(0, rc) << "op " << op << " i " << i;
    ASSERT_EQ(before, r.got.size()) << "a command completed outside Poll";
    ASSERT_TRUE(Drain(dev.get(), qp, r, before + 1));
    ASSERT_EQ(static_cast<int>(len), r.got.back()) << "op " << op << " i " << i;
    if (op == kTrim || op == kZeroes) {
      memset(&data[off], 0, len);
      if (f.md != 0) memset(&meta[lba * f.md], 0, md_len);
    }
    if (!write && op != kTrim && op != kZeroes) {
      uint64_t bad = 0;
      for_bytes([&](uint8_t* b, uint64_t pos) { bad += *b != data[off + pos]; });
      ASSERT_EQ(0u, bad) << "op " << op << " i " << i;
      if (with_md) {
        ASSERT_EQ(0, memcmp(md.get(), &meta[lba * f.md], md_len)) << "i " << i;
      }
    }
  }
  ASSERT_EQ(600u, r.got.size());
}

INSTANTIATE_TEST_SUITE_P(Formats, NvmeModelTest,
                         ::testing::Values(Format{512, 0}, Format{512, 8}, Format{4096, 0},
                                           Format{4096, 64}),
                         [](const ::testing::TestParamInfo<Format>& info) {
                           return "s" + std::to_string(info.param.sector) + "_md" +
                                  std::to_string(info.param.md);
                         });

TEST_F(NvmeTest, ByteOffsetsAddressWholeSectors) {
  // A 4096-byte read at byte 8192 of a 512-byte-sector namespace is blocks
  // 16 to 23: what the namespace file holds there.
  auto shape = FreshShape(512, 0, 64);
  uint32_t qp = 0;
  auto dev = Open(shape, &qp);
  {
    FILE* f = fopen(shape.namespaces[0].path.c_str(), "r+");
    ASSERT_NE(nullptr, f);
    std::vector<char> pattern(64 * 512);
    for (size_t i = 0; i < pattern.size(); ++i) pattern[i] = static_cast<char>(i / 512);
    ASSERT_EQ(pattern.size(), fwrite(pattern.data(), 1, pattern.size(), f));
    fclose(f);
  }
  DmaBuf buf(4096);
  Results r;
  ASSERT_EQ(0, dev->SubmitRead(qp, buf.get(), 8192, 4096, r.cb()));
  ASSERT_TRUE(Drain(dev.get(), qp, r, 1));
  ASSERT_EQ(4096, r.got[0]);
  for (int i = 0; i < 4096; ++i) ASSERT_EQ(16 + i / 512, buf.get()[i]);
}

// ---------------------------------------------------------------------------
// Refusals: each calls back exactly once, with the code the submit returns.

TEST_F(NvmeTest, RefusedSubmissionsCallBackOnce) {
  uint32_t qp = 0;
  auto dev = OpenFresh(4096, 0, 256, &qp);
  DmaBuf buf(2 << 20);
  DmaBuf md(4096);
  std::vector<char> heap(8192);
  std::vector<SgEntry> sges(33);
  for (int i = 0; i < 33; ++i) {
    sges[i].addr = reinterpret_cast<uint64_t>(buf.get() + i * 4096);
    sges[i].len = 4096;
  }
  SgEntry heap_sge;
  heap_sge.addr = reinterpret_cast<uint64_t>(heap.data());
  heap_sge.len = 4096;
  struct Case {
    const char* what;
    std::function<int(const SpdkNvmeDevice::Callback&)> submit;
    int code;
  };
  char* b = buf.get();
  const std::vector<Case> cases = {
      {"offset not a whole sector", [&](auto& cb) { return dev->SubmitRead(qp, b, 512, 4096, cb); }, -1},
      {"length not a whole sector", [&](auto& cb) { return dev->SubmitWrite(qp, b, 0, 4000, cb); }, -1},
      {"empty length", [&](auto& cb) { return dev->SubmitRead(qp, b, 0, 0, cb); }, -1},
      {"trim not whole", [&](auto& cb) { return dev->SubmitTrim(qp, 4096, 100, cb); }, -1},
      {"zeroes not whole", [&](auto& cb) { return dev->SubmitWriteZeroes(qp, 1, 4096, cb, 0); }, -1},
      {"33 entries", [&](auto& cb) { return dev->SubmitReadv(qp, sges.data(), 33, 0, 33 * 4096, cb); }, -1},
      {"list shorter than len", [&](auto& cb) { return dev->SubmitWritev(qp, sges.data(), 2, 0, 3 * 4096, cb); }, -1},
      {"metadata without format", [&](auto& cb) { return dev->SubmitReadMd(qp, b, 0, 4096, md.get(), cb, 0, 0, 0); }, -1},
      {"longer than the callback can count",
       [&](auto& cb) { return dev->SubmitRead(qp, b, 0, SpdkNvmeDevice::kMaxCommandBytes + 1, cb); }, -1},
      {"unknown queue pair", [&](auto& cb) { return dev->SubmitRead(qp + 5, b, 0, 4096, cb); }, -1},
      {"write zeroes over one command's reach",
       [&](auto& cb) { return dev->SubmitWriteZeroes(qp, 0, 65537ull * 4096, cb, 0); }, -1},
      // The controller's own refusals: memory it cannot reach.
      {"heap buffer", [&](auto& cb) { return dev->SubmitWrite(qp, heap.data(), 0, 4096, cb); }, -3},
      {"heap scatter entry", [&](auto& cb) { return dev->SubmitReadv(qp, &heap_sge, 1, 0, 4096, cb); }, -3},
  };
  for (const Case& c : cases) {
    Results r;
    EXPECT_EQ(c.code, c.submit(r.cb())) << c.what;
    ASSERT_EQ(1u, r.got.size()) << c.what;
    EXPECT_EQ(c.code, r.got[0]) << c.what;
    for (int i = 0; i < 3; ++i) dev->Poll(qp);
    EXPECT_EQ(1u, r.got.size()) << c.what << ": called back again";
  }
  // 32 entries are accepted.
  Results r;
  ASSERT_EQ(0, dev->SubmitWritev(qp, sges.data(), 32, 0, 32 * 4096, r.cb()));
  ASSERT_TRUE(Drain(dev.get(), qp, r, 1));
  EXPECT_EQ(32 * 4096, r.got[0]);
}

TEST_F(NvmeTest, RangePastTheNamespaceFailsAtCompletion) {
  uint32_t qp = 0;
  auto dev = OpenFresh(512, 8, 64, &qp);
  DmaBuf buf(8192);
  Results r;
  ASSERT_EQ(0, dev->SubmitRead(qp, buf.get(), 63 * 512, 1024, r.cb()));
  ASSERT_EQ(0, dev->SubmitTrim(qp, 64 * 512, 512, r.cb()));
  ASSERT_EQ(0, dev->SubmitWriteZeroes(qp, 60 * 512, 8 * 512, r.cb(), 0));
  ASSERT_EQ(0, dev->SubmitWrite(qp, buf.get(), 63 * 512, 512, r.cb()));  // the last sector
  ASSERT_TRUE(Drain(dev.get(), qp, r, 4));
  EXPECT_EQ((std::vector<int>{-3, -3, -3, 512}), r.got);
}

TEST_F(NvmeTest, PlainFormsFitTheMetadataScratchAtTheLargestTransfer) {
  // Small commands (4 KiB) split a 1 MiB transfer into 256 pieces; the
  // scratch metadata must cover all of them.
  auto shape = FreshShape(4096, 64, 512);
  shape.max_xfer_size = 4096;
  shape.max_queue_entries = 256;  // 2048 requests: room for the pieces
  uint32_t qp = 0;
  auto dev = Open(shape, &qp);
  const uint64_t len = SpdkNvmeDevice::kMaxTransferSize;
  DmaBuf buf(len);
  memset(buf.get(), 0x5a, len);
  Results r;
  ASSERT_EQ(0, dev->SubmitWrite(qp, buf.get(), 0, len, r.cb()));
  ASSERT_EQ(0, dev->SubmitRead(qp, buf.get(), 0, len, r.cb()));
  ASSERT_TRUE(Drain(dev.get(), qp, r, 2));
  EXPECT_EQ((std::vector<int>{int(len), int(len)}), r.got);
  for (uint64_t i = 0; i < len; ++i) ASSERT_EQ(0x5a, buf.get()[i]);
}

// Commands longer than the namespace's largest transfer go whole to the
// driver, which splits them; only the metadata scratch of the forms without
// the caller's metadata has a limit.
TEST_F(NvmeTest, LongCommandsAreSplitByTheDriverAndOnlyTheScratchLimitsThem) {
  constexpr uint64_t kLen = 4 << 20;
  constexpr uint64_t kPiece = 131072;
  auto md_shape = FreshShape(512, 8, 2 * kLen / 512);
  md_shape.max_xfer_size = kPiece;
  auto plain_shape = FreshShape(4096, 0, 2 * kLen / 4096);
  plain_shape.max_xfer_size = kPiece;
  uint32_t md_qp = 0;
  uint32_t plain_qp = 0;
  auto md_dev = Open(md_shape, &md_qp);
  auto plain_dev = Open(plain_shape, &plain_qp);
  ASSERT_EQ(kPiece, md_dev->max_xfer_size());

  DmaBuf out(kLen);
  DmaBuf in(kLen);
  DmaBuf md_out(kLen / 512 * 8);
  DmaBuf md_in(kLen / 512 * 8);
  // Sixteen entries of 256 KiB: every entry spans two pieces.
  std::vector<SgEntry> out_sges(16);
  std::vector<SgEntry> in_sges(16);
  for (int i = 0; i < 16; ++i) {
    out_sges[i] = {reinterpret_cast<uint64_t>(out.get()) + i * kLen / 16, kLen / 16, 0, 0, false};
    in_sges[i] = {reinterpret_cast<uint64_t>(in.get()) + i * kLen / 16, kLen / 16, 0, 0, false};
  }
  using Submit = std::function<int(const SpdkNvmeDevice::Callback&)>;
  struct Case {
    const char* what;
    SpdkNvmeDevice* dev;
    uint32_t qp;
    const spdk_standin::ControllerShape* shape;
    uint64_t offset;
    Submit write;
    Submit read;
    bool md;
  };
  SpdkNvmeDevice* m = md_dev.get();
  SpdkNvmeDevice* p = plain_dev.get();
  const Case cases[] = {
      {"flat with metadata", m, md_qp, &md_shape, 0,
       [&](auto& cb) { return m->SubmitWriteMd(md_qp, out.get(), 0, kLen, md_out.get(), cb, 0, 0, 0); },
       [&](auto& cb) { return m->SubmitReadMd(md_qp, in.get(), 0, kLen, md_in.get(), cb, 0, 0, 0); },
       true},
      {"vectored with metadata", m, md_qp, &md_shape, kLen,
       [&](auto& cb) {
         return m->SubmitWritevMd(md_qp, out_sges.data(), 16, kLen, kLen, md_out.get(), cb, 0, 0, 0);
       },
       [&](auto& cb) {
         return m->SubmitReadvMd(md_qp, in_sges.data(), 16, kLen, kLen, md_in.get(), cb, 0, 0, 0);
       },
       true},
      {"flat without metadata", p, plain_qp, &plain_shape, 0,
       [&](auto& cb) { return p->SubmitWrite(plain_qp, out.get(), 0, kLen, cb); },
       [&](auto& cb) { return p->SubmitRead(plain_qp, in.get(), 0, kLen, cb); }, false},
      {"vectored without metadata", p, plain_qp, &plain_shape, kLen,
       [&](auto& cb) { return p->SubmitWritev(plain_qp, out_sges.data(), 16, kLen, kLen, cb); },
       [&](auto& cb) { return p->SubmitReadv(plain_qp, in_sges.data(), 16, kLen, kLen, cb); },
       false},
  };
  int seed = 1;
  for (const Case& c : cases) {
    for (uint64_t i = 0; i < kLen; ++i) out.get()[i] = static_cast<char>(i * 13 + seed);
    for (uint64_t i = 0; i < md_out.size(); ++i) md_out.get()[i] = static_cast<char>(i * 5 + seed);
    memset(in.get(), 0, kLen);
    memset(md_in.get(), 0, md_in.size());
    ++seed;
    spdk_standin::ControllerStats before;
    ASSERT_TRUE(spdk_standin::controller_stats(c.shape->traddr, &before));
    Results r;
    ASSERT_EQ(0, c.write(r.cb())) << c.what;
    ASSERT_TRUE(Drain(c.dev, c.qp, r, 1)) << c.what;
    ASSERT_EQ(0, c.read(r.cb())) << c.what;
    ASSERT_TRUE(Drain(c.dev, c.qp, r, 2)) << c.what;
    EXPECT_EQ((std::vector<int>{int(kLen), int(kLen)}), r.got) << c.what;
    EXPECT_EQ(0, memcmp(out.get(), in.get(), kLen)) << c.what;
    if (c.md) {
      EXPECT_EQ(0, memcmp(md_out.get(), md_in.get(), md_in.size())) << c.what;
    }
    spdk_standin::ControllerStats after;
    ASSERT_TRUE(spdk_standin::controller_stats(c.shape->traddr, &after));
    EXPECT_EQ(2 * kLen / kPiece, after.pieces - before.pieces) << c.what;
    EXPECT_EQ(2u, after.commands - before.commands) << c.what;
  }

  // Without the caller's metadata, a namespace with metadata takes what the
  // scratch covers: 1 MiB (its largest transfer is smaller), not a sector
  // more.
  const uint64_t scratch = SpdkNvmeDevice::kMaxTransferSize;
  testsupport::LogCapture logs;
  const Submit refused[] = {
      [&](auto& cb) { return m->SubmitRead(md_qp, in.get(), 0, scratch + 512, cb); },
      [&](auto& cb) { return m->SubmitWrite(md_qp, out.get(), 0, scratch + 512, cb); },
      [&](auto& cb) { return m->SubmitReadv(md_qp, in_sges.data(), 16, 0, kLen, cb); },
      [&](auto& cb) { return m->SubmitWritev(md_qp, out_sges.data(), 16, 0, kLen, cb); },
  };
  for (const Submit& submit : refused) {
    Results r;
    EXPECT_EQ(-1, submit(r.cb()));
    EXPECT_EQ((std::vector<int>{-1}), r.got);
  }
  EXPECT_NE(logs.LineWith("io len too large for the queue pair's metadata scratch, len: 1049088"
                          ", max len: 1048576"),
            "");
  Results r;
  ASSERT_EQ(0, m->SubmitRead(md_qp, in.get(), 0, scratch, r.cb()));
  ASSERT_TRUE(Drain(m, md_qp, r, 1));
  EXPECT_EQ(int(scratch), r.got[0]);
}

// ---------------------------------------------------------------------------
// Queue limits and injected outcomes.

TEST_F(NvmeTest, QueueHoldsTwiceItsSizeAtLeast2048) {
  struct Case {
    uint32_t max_queue;
    int holds;
  };
  for (const Case c : {Case{1024, 2048}, Case{4096, 8192}}) {
    auto shape = FreshShape(512, 0, 64);
    shape.max_queue_entries = c.max_queue;
    uint32_t qp = 0;
    auto dev = Open(shape, &qp);
    ASSERT_EQ(c.max_queue, dev->io_queue_size());
    DmaBuf buf(512);
    Results r;
    int accepted = 0;
    while (dev->SubmitRead(qp, buf.get(), 0, 512, r.cb()) == 0) ++accepted;
    EXPECT_EQ(c.holds, accepted);
    ASSERT_EQ(1u, r.got.size());
    EXPECT_EQ(-2, r.got[0]);  // full: may be retried
    ASSERT_TRUE(Drain(dev.get(), qp, r, 1 + accepted));
    int ok = 0;
    for (size_t i = 1; i < r.got.size(); ++i) ok += r.got[i] == 512;
    EXPECT_EQ(accepted, ok);
    // Room again once completed.
    ASSERT_EQ(0, dev->SubmitRead(qp, buf.get(), 0, 512, r.cb()));
    ASSERT_TRUE(Drain(dev.get(), qp, r, 2 + accepted));
  }
}

// A queue pair has max(2048, 2 x queue size) SPDK request objects, and a
// command longer than the largest transfer takes one per piece plus one.
// The longest command an idle queue pair holds is served whole; one piece
// more can never be admitted and is refused for good (-1, with an ERROR
// line), never as "full, retry" (-2), which stays for a queue pair that is
// full now and serves again once drained.
TEST_F(NvmeTest, CommandsBeyondAnIdleQueuePairAreRefusedForGood) {
  constexpr uint64_t kPiece = 4096;
  constexpr uint64_t kRequests = 2048;                // queue of 1024 entries
  constexpr uint64_t kLargest = (kRequests - 1) * kPiece;
  constexpr uint64_t kTooLong = kLargest + kPiece;
  constexpr uint64_t kSectors = kTooLong / 4096;
  auto md_shape = FreshShape(4096, 64, kSectors);
  auto plain_shape = FreshShape(4096, 0, kSectors);
  for (auto* shape : {&md_shape, &plain_shape}) {
    shape->max_xfer_size = kPiece;
    shape->max_queue_entries = 1024;
  }
  uint32_t md_qp = 0;
  uint32_t plain_qp = 0;
  auto md_dev = Open(md_shape, &md_qp);
  auto plain_dev = Open(plain_shape, &plain_qp);
  SpdkNvmeDevice* m = md_dev.get();
  SpdkNvmeDevice* p = plain_dev.get();

  DmaBuf out(kTooLong);
  DmaBuf in(kTooLong);
  DmaBuf md_out(kSectors * 64);
  DmaBuf md_in(kSectors * 64);
  constexpr int kSges = 8;
  SgEntry out_sges[kSges];
  SgEntry in_sges[kSges];
  for (int i = 0; i < kSges; ++i) {
    const uint64_t at = i * (kTooLong / kSges);
    out_sges[i] = {reinterpret_cast<uint64_t>(out.get()) + at, kTooLong / kSges, 0, 0, false};
    in_sges[i] = {reinterpret_cast<uint64_t>(in.get()) + at, kTooLong / kSges, 0, 0, false};
  }
  // A form's write and read of `len` bytes from byte 0.
  using Submit = std::function<int(uint64_t len, const SpdkNvmeDevice::Callback&)>;
  struct Case {
    const char* what;
    SpdkNvmeDevice* dev;
    uint32_t qp;
    Submit write;
    Submit read;
    bool md;
  };
  const Case cases[] = {
      {"flat with metadata", m, md_qp,
       [&](uint64_t len, auto& cb) { return m->SubmitWriteMd(md_qp, out.get(), 0, len, md_out.get(), cb, 0, 0, 0); },
       [&](uint64_t len, auto& cb) { return m->SubmitReadMd(md_qp, in.get(), 0, len, md_in.get(), cb, 0, 0, 0); },
       true},
      {"vectored with metadata", m, md_qp,
       [&](uint64_t len, auto& cb) {
         return m->SubmitWritevMd(md_qp, out_sges, kSges, 0, len, md_out.get(), cb, 0, 0, 0);
       },
       [&](uint64_t len, auto& cb) {
         return m->SubmitReadvMd(md_qp, in_sges, kSges, 0, len, md_in.get(), cb, 0, 0, 0);
       },
       true},
      {"flat without metadata", p, plain_qp,
       [&](uint64_t len, auto& cb) { return p->SubmitWrite(plain_qp, out.get(), 0, len, cb); },
       [&](uint64_t len, auto& cb) { return p->SubmitRead(plain_qp, in.get(), 0, len, cb); },
       false},
      {"vectored without metadata", p, plain_qp,
       [&](uint64_t len, auto& cb) { return p->SubmitWritev(plain_qp, out_sges, kSges, 0, len, cb); },
       [&](uint64_t len, auto& cb) { return p->SubmitReadv(plain_qp, in_sges, kSges, 0, len, cb); },
       false},
  };
  int seed = 1;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    for (uint64_t i = 0; i < kLargest; ++i) out.get()[i] = static_cast<char>(i * 7 + seed);
    for (uint64_t i = 0; i < md_out.size(); ++i) md_out.get()[i] = static_cast<char>(i + seed);
    memset(in.get(), 0, in.size());
    memset(md_in.get(), 0, md_in.size());
    ++seed;

    // The longest that fits: written and read back whole.
    Results r;
    ASSERT_EQ(0, c.write(kLargest, r.cb()));
    ASSERT_TRUE(Drain(c.dev, c.qp, r, 1));
    ASSERT_EQ(0, c.read(kLargest, r.cb()));
    ASSERT_TRUE(Drain(c.dev, c.qp, r, 2));
    EXPECT_EQ((std::vector<int>{int(kLargest), int(kLargest)}), r.got);
    EXPECT_EQ(0, memcmp(out.get(), in.get(), kLargest));
    if (c.md) {
      EXPECT_EQ(0, memcmp(md_out.get(), md_in.get(), kLargest / 4096 * 64));
    }

    // One piece more, on the idle queue pair: refused for good, at once.
    for (const Submit* submit : {&c.write, &c.read}) {
      testsupport::LogCapture logs;
      Results refused;
      EXPECT_EQ(-1, (*submit)(kTooLong, refused.cb()));
      EXPECT_EQ((std::vector<int>{-1}), refused.got);
      const std::string line = logs.LineWith("io len never fits the queue pair, len: 8388608");
      EXPECT_NE(line.find("ERROR"), std::string::npos) << line;
      EXPECT_NE(line.find("pieces: 2048 of max_xfer_size: 4096, requests needed: 2049, "
                          "qpair requests: 2048"),
                std::string::npos)
          << line;
    }

    // Full now: the longest takes every request object, so a one-block
    // command must wait (-2) while one piece too many is still -1; once
    // drained the one-block command is served.
    Results full;
    ASSERT_EQ(0, c.write(kLargest, full.cb()));
    EXPECT_EQ(-2, c.read(4096, full.cb()));
    EXPECT_EQ(-1, c.read(kTooLong, full.cb()));
    EXPECT_EQ((std::vector<int>{-2, -1}), full.got);
    ASSERT_TRUE(Drain(c.dev, c.qp, full, 3));
    EXPECT_EQ(int(kLargest), full.got[2]);
    ASSERT_EQ(0, c.read(4096, full.cb()));
    ASSERT_TRUE(Drain(c.dev, c.qp, full, 4));
    EXPECT_EQ(4096, full.got[3]);
  }

  // A queue larger than 1024 entries has twice its size in request objects.
  auto big_shape = FreshShape(4096, 0, 4 * kSectors);
  big_shape.max_xfer_size = kPiece;
  big_shape.max_queue_entries = 4096;
  uint32_t big_qp = 0;
  auto big = Open(big_shape, &big_qp);
  const uint64_t big_largest = (8192 - 1) * kPiece;
  DmaBuf big_buf(big_largest + kPiece);
  testsupport::LogCapture logs;
  Results r;
  EXPECT_EQ(-1, big->SubmitWrite(big_qp, big_buf.get(), 0, big_largest + kPiece, r.cb()));
  EXPECT_NE(logs.LineWith("requests needed: 8193, qpair requests: 8192"), "");
  ASSERT_EQ(0, big->SubmitWrite(big_qp, big_buf.get(), 0, big_largest, r.cb()));
  ASSERT_TRUE(Drain(big.get(), big_qp, r, 2));
  EXPECT_EQ((std::vector<int>{-1, int(big_largest)}), r.got);
}

TEST_F(NvmeTest, InjectedOutcomesReachTheCallbackOnce) {
  uint32_t qp = 0;
  auto dev = OpenFresh(512, 0, 64, &qp);
  const std::string addr = dev->address();
  DmaBuf buf(512);
  struct Case {
    const char* what;
    std::function<void()> arm;
    int submit_rc;
    int result;
  };
  const std::vector<Case> cases = {
      {"media error status", [&] { spdk_standin::inject_status(addr, SPDK_NVME_SCT_MEDIA_ERROR, SPDK_NVME_SC_UNRECOVERED_READ_ERROR); }, 0, -3},
      {"generic status", [&] { spdk_standin::inject_status(addr, SPDK_NVME_SCT_GENERIC, SPDK_NVME_SC_INTERNAL_DEVICE_ERROR); }, 0, -3},
      {"no request left", [&] { spdk_standin::inject_submit_error(addr, -ENOMEM); }, -2, -2},
      {"controller gone", [&] { spdk_standin::inject_submit_error(addr, -ENXIO); }, -3, -3},
      {"other refusal", [&] { spdk_standin::inject_submit_error(addr, -EIO); }, -3, -3},
      {"nothing", [] {}, 0, 512},
  };
  for (const Case& c : cases) {
    for (int form = 0; form < 3; ++form) {
      c.arm();
      Results r;
      int rc = form == 0   ? dev->SubmitRead(qp, buf.get(), 0, 512, r.cb())
               : form == 1 ? dev->SubmitTrim(qp, 0, 512, r.cb())
                           : dev->SubmitWriteZeroes(qp, 0, 512, r.cb(), 0);
      EXPECT_EQ(c.submit_rc, rc) << c.what << " form " << form;
      for (int i = 0; i < 3; ++i) dev->Poll(qp);
      ASSERT_EQ(1u, r.got.size()) << c.what << " form " << form;
      EXPECT_EQ(c.result, r.got[0]) << c.what << " form " << form;
    }
  }
}

TEST_F(NvmeTest, FailedControllerRefusesAndAbortsOutstanding) {
  uint32_t qp = 0;
  auto dev = OpenFresh(512, 0, 64, &qp);
  const std::string addr = dev->address();
  DmaBuf buf(512);
  Results r;
  ASSERT_EQ(0, dev->SubmitWrite(qp, buf.get(), 0, 512, r.cb()));
  ASSERT_EQ(0, dev->SubmitRead(qp, buf.get(), 0, 512, r.cb()));
  ASSERT_EQ(0, spdk_standin::set_controller_failed(addr, true));
  EXPECT_EQ(-3, dev->SubmitRead(qp, buf.get(), 0, 512, r.cb()));
  EXPECT_LT(dev->Poll(qp), 0);
  EXPECT_EQ((std::vector<int>{-3, -3, -3}), r.got);
  uint32_t qp2 = 0;
  EXPECT_EQ(-1, dev->CreateQpair(&qp2));
  ASSERT_EQ(0, spdk_standin::set_controller_failed(addr, false));
}

TEST_F(NvmeTest, DeletingAQueuePairCompletesItsCommands) {
  uint32_t qp = 0;
  auto dev = OpenFresh(512, 0, 64, &qp);
  DmaBuf buf(512);
  Results r;
  for (int i = 0; i < 5; ++i) ASSERT_EQ(0, dev->SubmitRead(qp, buf.get(), 0, 512, r.cb()));
  dev->DeleteQpair(qp);
  EXPECT_EQ((std::vector<int>{-3, -3, -3, -3, -3}), r.got);
  EXPECT_EQ(0u, dev->qpair_count());
  dev->DeleteQpair(qp);  // unknown now: logged, nothing else
  EXPECT_LT(dev->Poll(qp), 0);
}

// ---------------------------------------------------------------------------
// Set-up: queue-pair ids, shared controllers, bad descriptions.

TEST_F(NvmeTest, QueuePairIdsAreBoundedAndReleased) {
  auto shape = FreshShape(512, 0, 64);
  shape.max_io_qpairs = 200;
  shape.max_queue_entries = 2;
  uint32_t qp = 0;
  auto dev = Open(shape, &qp);
  std::vector<uint32_t> ids{qp};
  for (uint32_t i = 1; i < SpdkNvmeDevice::kMaxQpairNum; ++i) {
    uint32_t id = 0;
    ASSERT_EQ(0, dev->CreateQpair(&id));
    ids.push_back(id);
  }
  uint32_t extra = 0;
  EXPECT_EQ(-1, dev->CreateQpair(&extra));  // the 129th
  EXPECT_EQ(-1, dev->CreateQpair(nullptr));
  dev->DeleteQpair(ids[77]);
  ASSERT_EQ(0, dev->CreateQpair(&extra));
  EXPECT_EQ(ids[77], extra);
}

TEST_F(NvmeTest, FailedQueuePairCreationKeepsItsIdFree) {
  auto shape = FreshShape(512, 0, 64);
  shape.max_io_qpairs = 2;
  uint32_t qp = 0;
  auto dev = Open(shape, &qp);
  uint32_t second = 0, third = 0;
  ASSERT_EQ(0, dev->CreateQpair(&second));
  // The controller has no more; ids must not leak on the way.
  for (uint32_t i = 0; i < 2 * SpdkNvmeDevice::kMaxQpairNum; ++i) {
    ASSERT_EQ(-1, dev->CreateQpair(&third));
  }
  EXPECT_EQ(2u, dev->qpair_count());
  dev->DeleteQpair(second);
  ASSERT_EQ(0, dev->CreateQpair(&third));
  EXPECT_EQ(second, third);
}

TEST_F(NvmeTest, DevicesShareTheirAddressesController) {
  auto shape = FreshShape(512, 0, 64);
  const std::string addr = shape.traddr;
  spdk_standin::NamespaceSpec ns2 = shape.namespaces[0];
  ns2.path += "-2";
  ns2.sector_size = 4096;
  shape.namespaces.push_back(ns2);
  ASSERT_EQ(0, spdk_standin::add_controller(shape));
  tarn::g_enable_metrics = true;  // the address's metrics are shared too
  // The second device spells the address without its domain.
  auto a = std::make_shared<SpdkNvmeDevice>(nvmetest::Trid(addr), 1, 1);
  auto b = std::make_shared<SpdkNvmeDevice>(nvmetest::Trid(addr.substr(5)), 2, 2);
  ASSERT_EQ(0, a->Init());
  ASSERT_EQ(0, b->Init());
  ASSERT_EQ(0, a->Init());  // once only
  tarn::g_enable_metrics = false;
  spdk_standin::ControllerStats st;
  ASSERT_TRUE(spdk_standin::controller_stats(addr, &st));
  EXPECT_EQ(1, st.probes);
  EXPECT_EQ(1, st.attaches);
  EXPECT_EQ(4096u, b->GetPhysicalSectorSize());

  uint32_t qa = 0, qb = 0;
  ASSERT_EQ(0, a->CreateQpair(&qa));
  ASSERT_EQ(0, b->CreateQpair(&qb));
  DmaBuf buf(4096);
  Results r;
  ASSERT_EQ(0, a->SubmitWrite(qa, buf.get(), 0, 512, r.cb()));
  ASSERT_EQ(0, b->SubmitWrite(qb, buf.get(), 0, 4096, r.cb()));
  ASSERT_TRUE(nvmetest::PollUntil([&] { a->Poll(qa); b->Poll(qb); },
                                  [&] { return r.got.size() == 2; }));
  EXPECT_EQ((std::vector<int>{512, 4096}), r.got);

  a.reset();
  ASSERT_TRUE(spdk_standin::controller_stats(addr, &st));
  EXPECT_TRUE(st.attached);
  EXPECT_EQ(0, st.detaches);
  ASSERT_EQ(0, b->SubmitRead(qb, buf.get(), 0, 4096, r.cb()));
  ASSERT_TRUE(nvmetest::PollUntil([&] { b->Poll(qb); }, [&] { return r.got.size() == 3; }));
  EXPECT_EQ(4096, r.got[2]);
  b.reset();
  ASSERT_TRUE(spdk_standin::controller_stats(addr, &st));
  EXPECT_FALSE(st.attached);
  EXPECT_EQ(1, st.detaches);

  // A new device attaches it again from scratch.
  auto c = std::make_shared<SpdkNvmeDevice>(nvmetest::Trid(addr), 1, 3);
  ASSERT_EQ(0, c->Init());
  c.reset();
  ASSERT_TRUE(spdk_standin::controller_stats(addr, &st));
  EXPECT_EQ(2, st.attaches);
  EXPECT_EQ(2, st.detaches);
  EXPECT_EQ(0, spdk_standin::remove_controller(addr));
}

TEST_F(NvmeTest, BadDescriptionsFailInitWithoutEndingTheProcess) {
  auto shape = FreshShape(512, 0, 64);
  const std::string addr = shape.traddr;
  spdk_standin::NamespaceSpec off = shape.namespaces[0];
  off.path += "-inactive";
  off.active = false;
  shape.namespaces.push_back(off);
  ASSERT_EQ(0, spdk_standin::add_controller(shape));
  struct Case {
    std::string trid;
    uint32_t nsid;
  };
  const std::vector<Case> cases = {
      {"trtype:PCIe traddr", 1},                     // no value
      {"trtype:PCIe traddr:0000:zz:00.0", 1},        // not a PCI address
      {"trtype:PCIe colour:blue traddr:" + addr, 1},  // unknown key
      {"trtype:TCP traddr:10.0.0.1 trsvcid:4420", 1},
      {nvmetest::Trid(nvmetest::FreshAddress()), 1},  // nothing there
      {nvmetest::Trid(addr), 3},                      // no such namespace
      {nvmetest::Trid(addr), 2},                      // inactive namespace
  };
  for (const Case& c : cases) {
    SpdkNvmeDevice dev(c.trid, c.nsid, 9);
    EXPECT_EQ(-1, dev.Init()) << c.trid << " ns " << c.nsid;
    EXPECT_FALSE(dev.inited());
    uint32_t qp = 0;
    EXPECT_EQ(-1, dev.CreateQpair(&qp));
    Results r;
    DmaBuf buf(512);
    EXPECT_EQ(-1, dev.SubmitRead(0, buf.get(), 0, 512, r.cb()));
    EXPECT_EQ((std::vector<int>{-1}), r.got);
    EXPECT_EQ(0u, dev.GetDeviceSize());
  }
  // Failed attempts left the controller free.
  spdk_standin::ControllerStats st;
  ASSERT_TRUE(spdk_standin::controller_stats(addr, &st));
  EXPECT_FALSE(st.attached);
  EXPECT_EQ(st.attaches, st.detaches);
  EXPECT_EQ(0, spdk_standin::remove_controller(addr));
}

// ---------------------------------------------------------------------------
// Maintenance: features, health, command error injection.

TEST_F(NvmeTest, HealthAndFeaturesComeFromTheController) {
  struct Case {
    const char* what;
    uint16_t temperature;
    uint16_t threshold;
    uint8_t warning;
    uint8_t used;
    int health;
  };
  const Case cases[] = {
      {"healthy", 310, 343, 0, 3, 0},
      {"too hot", 350, 343, 0, 3, 1},
      {"critical warning", 310, 343, 0x4, 3, 1},
      {"worn out", 310, 343, 0, 100, 1},
      {"no threshold reported", 400, 0, 0, 3, 0},
  };
  std::vector<tarn::SpdkNvmeDisk> disks;
  for (const Case& c : cases) {
    auto shape = FreshShape(512, 0, 64);
    shape.temperature = c.temperature;
    shape.temperature_threshold = c.threshold;
    shape.critical_warning = c.warning;
    shape.percentage_used = c.used;
    shape.max_io_qpairs = 16;
    uint32_t qp = 0;
    tarn::SpdkNvmeDisk disk;
    disk.dev = Open(shape, &qp);
    DmaBuf buf(1024);
    Results r;
    ASSERT_EQ(0, disk.dev->SubmitWrite(qp, buf.get(), 0, 1024, r.cb()));
    ASSERT_EQ(0, disk.dev->SubmitRead(qp, buf.get(), 0, 512, r.cb()));
    ASSERT_TRUE(Drain(disk.dev.get(), qp, r, 2));
    EXPECT_EQ(c.health, SpdkNvmeDevice::DetectNvmeHealth(&disk)) << c.what;
    EXPECT_EQ(c.temperature, disk.health.temperature) << c.what;
    EXPECT_EQ(c.threshold, disk.temperature_threshold) << c.what;
    EXPECT_EQ(1u, disk.health.host_write_commands[0]) << c.what;
    EXPECT_EQ(1u, disk.health.host_read_commands[0]) << c.what;
    disks.push_back(disk);
  }
  // Features of every disk; the one without a threshold fails that one.
  EXPECT_EQ(-1, SpdkNvmeDevice::GetFeatures(&disks, {SPDK_NVME_FEAT_TEMPERATURE_THRESHOLD,
                                                     SPDK_NVME_FEAT_NUMBER_OF_QUEUES}));
  for (size_t i = 0; i < disks.size(); ++i) {
    EXPECT_EQ((15u << 16) | 15u, disks[i].features[SPDK_NVME_FEAT_NUMBER_OF_QUEUES]);
    EXPECT_EQ(cases[i].threshold != 0,
              disks[i].features.count(SPDK_NVME_FEAT_TEMPERATURE_THRESHOLD) == 1);
  }
  disks.pop_back();
  EXPECT_EQ(0, SpdkNvmeDevice::GetFeatures(&disks, {SPDK_NVME_FEAT_TEMPERATURE_THRESHOLD}));
  SpdkNvmeDevice::HarvestCtrlrJobs(&disks);  // nothing waits: harmless

  // A failed controller or a missing disk cannot tell.
  ASSERT_EQ(0, spdk_standin::set_controller_failed(disks[0].dev->address(), true));
  EXPECT_EQ(-1, SpdkNvmeDevice::DetectNvmeHealth(&disks[0]));
  ASSERT_EQ(0, spdk_standin::set_controller_failed(disks[0].dev->address(), false));
  EXPECT_EQ(-1, SpdkNvmeDevice::DetectNvmeHealth(nullptr));
  tarn::SpdkNvmeDisk empty;
  EXPECT_EQ(-1, SpdkNvmeDevice::DetectNvmeHealth(&empty));
}

TEST_F(NvmeTest, InjectedCommandErrorsHitTheirOpcodeOnly) {
  uint32_t qp = 0;
  auto dev = OpenFresh(512, 0, 64, &qp);
  DmaBuf out(512), in(512);
  memset(out.get(), 0x7e, 512);
  ASSERT_EQ(0, dev->ErrorInjection(qp, SPDK_NVME_OPC_READ, true, 0, 2, SPDK_NVME_SCT_MEDIA_ERROR,
                                   SPDK_NVME_SC_UNRECOVERED_READ_ERROR));
  // Not submitted to the media: the write's data never lands.
  ASSERT_EQ(0, dev->ErrorInjection(qp, SPDK_NVME_OPC_WRITE, true, 0, 1, SPDK_NVME_SCT_GENERIC,
                                   SPDK_NVME_SC_INTERNAL_DEVICE_ERROR));
  EXPECT_EQ(-1, dev->ErrorInjection(qp + 1, SPDK_NVME_OPC_READ, true, 0, 1, 0, 1));
  EXPECT_EQ(-1, dev->ErrorInjection(qp, SPDK_NVME_OPC_READ, true, 0, 0, 0, 1));
  Results r;
  ASSERT_EQ(0, dev->SubmitWrite(qp, out.get(), 0, 512, r.cb()));
  ASSERT_EQ(0, dev->SubmitTrim(qp, 512, 512, r.cb()));
  ASSERT_EQ(0, dev->SubmitRead(qp, in.get(), 0, 512, r.cb()));
  ASSERT_EQ(0, dev->SubmitRead(qp, in.get(), 0, 512, r.cb()));
  ASSERT_EQ(0, dev->SubmitRead(qp, in.get(), 0, 512, r.cb()));
  ASSERT_TRUE(Drain(dev.get(), qp, r, 5));
  EXPECT_EQ((std::vector<int>{-3, 512, -3, -3, 512}), r.got);
  EXPECT_EQ(0, in.get()[0]);
  // Submitted, then failed: the data lands although the status says not.
  ASSERT_EQ(0, dev->ErrorInjection(qp, SPDK_NVME_OPC_WRITE, false, 0, 1, SPDK_NVME_SCT_GENERIC,
                                   SPDK_NVME_SC_INTERNAL_DEVICE_ERROR));
  ASSERT_EQ(0, dev->SubmitWrite(qp, out.get(), 0, 512, r.cb()));
  ASSERT_EQ(0, dev->SubmitRead(qp, in.get(), 0, 512, r.cb()));
  ASSERT_TRUE(Drain(dev.get(), qp, r, 7));
  EXPECT_EQ(-3, r.got[5]);
  EXPECT_EQ(512, r.got[6]);
  EXPECT_EQ(0, memcmp(out.get(), in.get(), 512));
}

}  // namespace
