// MrManager over the emulated verbs device: zone checks, keys at zone edges,
// the page map across 1 GiB ranges, and register / look up / unregister
// under load.
#include "tarn/polling/mr_manager.h"

#include <gtest/gtest.h>
#include <sys/mman.h>

#include <cstdint>
#include <iterator>
#include <map>
#include <random>
#include <vector>

#include "support/log_capture.h"
#include "verbs_emu/verbs_emu.h"

namespace {

constexpr uint64_t kMiB = 1ULL << 20;
constexpr uint64_t kGiB = 1ULL << 30;
constexpr uint32_t kUntouched = 0xabcdef01;

// Address space reserved without access: registration never touches the
// memory, so the page map can be exercised over gigabytes.
class Reservation {
 public:
  explicit Reservation(uint64_t bytes) : bytes_(bytes + kGiB) {
    raw_ = mmap(nullptr, bytes_, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    base_ = raw_ == MAP_FAILED ? 0 : (reinterpret_cast<uint64_t>(raw_) + kGiB - 1) & ~(kGiB - 1);
  }
  ~Reservation() {
    if (raw_ != MAP_FAILED) munmap(raw_, bytes_);
  }
  bool ok() const { return raw_ != MAP_FAILED; }
  // The address `off` bytes past a 1 GiB boundary inside the reservation.
  void* at(uint64_t off) const { return reinterpret_cast<void*>(base_ + off); }

 private:
  uint64_t bytes_;
  void* raw_;
  uint64_t base_;
};

class MrManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    verbs_emu::ResetFabric();
    list_ = ibv_get_device_list(nullptr);
    ASSERT_NE(list_, nullptr);
    ASSERT_NE(list_[0], nullptr);
    context_ = ibv_open_device(list_[0]);
    ASSERT_NE(context_, nullptr);
    pd_ = ibv_alloc_pd(context_);
    ASSERT_NE(pd_, nullptr);
    mr_ = new tarn::MrManager(pd_);
    ASSERT_TRUE(space_.ok());
  }
  void TearDown() override {
    delete mr_;
    if (pd_ != nullptr) ibv_dealloc_pd(pd_);
    if (context_ != nullptr) ibv_close_device(context_);
    if (list_ != nullptr) ibv_free_device_list(list_);
  }

  // Keys of p: the lookup's result with lkey and rkey (kUntouched when not
  // written).
  struct Keys {
    int ret;
    uint32_t lkey;
    uint32_t rkey;
  };
  Keys Lookup(void* p) const {
    Keys k{0, kUntouched, kUntouched};
    k.ret = mr_->GetKeyByAddr(p, &k.lkey, &k.rkey);
    return k;
  }
  void* At(uint64_t off) const { return space_.at(off); }
  static int LiveMrs() { return verbs_emu::GetCounters().mrs; }

  ibv_device** list_ = nullptr;
  ibv_context* context_ = nullptr;
  ibv_pd* pd_ = nullptr;
  tarn::MrManager* mr_ = nullptr;
  Reservation space_{8 * kGiB};
};

TEST_F(MrManagerTest, RefusesMisalignedAndOverlappingZones) {
  testsupport::LogCapture log;
  EXPECT_EQ(mr_->RegisterMr(At(2 * kMiB), 4 * kMiB), 0);
  EXPECT_EQ(mr_->RegisterMr(At(4 * kMiB), 4 * kMiB), -1);
  EXPECT_NE(log.text().find("memory zone has been registered, addr: "), std::string::npos);
  EXPECT_EQ(mr_->RegisterMr(At(6 * kMiB), 2 * kMiB), 0);

  struct Case {
    uint64_t off;
    uint64_t size;
  } bad[] = {{kMiB, 2 * kMiB}, {8 * kMiB, kMiB}, {8 * kMiB + 4096, 2 * kMiB}, {8 * kMiB, 0}};
  for (const Case& c : bad) {
    log.Clear();
    EXPECT_EQ(mr_->RegisterMr(At(c.off), c.size), -1) << c.off << " " << c.size;
    EXPECT_NE(log.text().find("register invalid memory zone, addr: "), std::string::npos);
  }
  EXPECT_EQ(mr_->zones().size(), 2u);
  EXPECT_EQ(LiveMrs(), 2);
}

TEST_F(MrManagerTest, KeysAtZoneEdges) {
  const uint64_t start = kGiB - 4 * kMiB;  // spans the boundary at 1 GiB
  const uint64_t size = 8 * kMiB;
  ASSERT_EQ(mr_->RegisterMr(At(start), size), 0);
  const tarn::MrManager::Memzone zone = mr_->zones().front();

  for (uint64_t off : {start, start + 2 * kMiB - 1, kGiB - 1, kGiB, start + size - 1}) {
    Keys k = Lookup(At(off));
    EXPECT_EQ(k.ret, 0) << off;
    EXPECT_EQ(k.lkey, zone.mr->lkey) << off;
    EXPECT_EQ(k.rkey, zone.mr->rkey) << off;
  }
  // Just outside, in slots of the same 1 GiB tables: not found, keys untouched.
  for (uint64_t off : {start - 1, start + size}) {
    Keys k = Lookup(At(off));
    EXPECT_EQ(k.ret, -1) << off;
    EXPECT_EQ(k.lkey, kUntouched);
    EXPECT_EQ(k.rkey, kUntouched);
  }
  // Either key alone.
  uint32_t lkey = 0;
  uint32_t rkey = 0;
  EXPECT_EQ(mr_->GetKeyByAddr(At(start), &lkey, nullptr), 0);
  EXPECT_EQ(mr_->GetKeyByAddr(At(start), nullptr, &rkey), 0);
  EXPECT_EQ(lkey, zone.mr->lkey);
  EXPECT_EQ(rkey, zone.mr->rkey);

  // Whole ranges, quietly: inside one region or not at all (a neighbouring
  // zone has other keys).
  ASSERT_EQ(mr_->RegisterMr(At(start + size), 2 * kMiB), 0);
  struct Range {
    uint64_t off;
    uint64_t len;
    int ret;
  } ranges[] = {{start, size, 0},          {kGiB - 1, 2, 0},     {start + size - 1, 0, 0},
                {start, size + 1, -1},     {start - 1, 2, -1},   {start + size + 2 * kMiB, 1, -1},
                {3 * kGiB, 4096, -1}};
  testsupport::LogCapture log;
  for (const Range& r : ranges) {
    lkey = kUntouched;
    EXPECT_EQ(mr_->GetKeyByRange(At(r.off), r.len, &lkey, nullptr), r.ret) << r.off << "+" << r.len;
    EXPECT_EQ(lkey, r.ret == 0 ? zone.mr->lkey : kUntouched) << r.off << "+" << r.len;
  }
  EXPECT_EQ(log.text(), "");
}

TEST_F(MrManagerTest, LookupsThatFindNothing) {
  testsupport::LogCapture log;
  ASSERT_EQ(mr_->RegisterMr(At(0), 2 * kMiB), 0);
  struct Case {
    void* addr;
    const char* text;
  } cases[] = {
      {At(3 * kGiB), "this addr not register in this MrManager, addr: "},  // no table
      {At(4 * kMiB), "this addr not register in this MrManager, addr: "},  // empty slot
      {reinterpret_cast<void*>(1ULL << 48), "invalid addr: "},
      {reinterpret_cast<void*>(~0ULL), "invalid addr: "},
  };
  for (const Case& c : cases) {
    log.Clear();
    Keys k = Lookup(c.addr);
    EXPECT_EQ(k.ret, -1) << c.addr;
    EXPECT_EQ(k.lkey, kUntouched);
    EXPECT_NE(log.text().find(c.text), std::string::npos) << log.text();
  }
  EXPECT_EQ(mr_->GetKeyByAddr(At(0), nullptr, nullptr), -1);
  // A zone reaching 2^48 is refused before the device sees it.
  EXPECT_EQ(mr_->RegisterMr(reinterpret_cast<void*>((1ULL << 48) - 2 * kMiB), 4 * kMiB), -1);
  EXPECT_EQ(LiveMrs(), 1);
}

TEST_F(MrManagerTest, UnregisterNeedsTheExactZoneAndRecyclesTables) {
  ASSERT_EQ(mr_->RegisterMr(At(2 * kMiB), 4 * kMiB), 0);
  ASSERT_EQ(mr_->RegisterMr(At(2 * kGiB - 2 * kMiB), 4 * kMiB), 0);  // spans 2 GiB

  testsupport::LogCapture log;
  EXPECT_EQ(mr_->UnregisterMr(At(2 * kMiB), 2 * kMiB), -1);
  EXPECT_NE(log.text().find("cannot find memory region, addr: "), std::string::npos);
  EXPECT_EQ(mr_->UnregisterMr(At(2 * kMiB + 4096), 2 * kMiB), -1);

  EXPECT_EQ(mr_->UnregisterMr(At(2 * kMiB), 4 * kMiB), 0);
  EXPECT_EQ(Lookup(At(2 * kMiB)).ret, -1);
  EXPECT_TRUE(mr_->HasTableFor(At(0)));  // a zone within one range keeps its table

  EXPECT_EQ(mr_->UnregisterMr(At(2 * kGiB - 2 * kMiB), 4 * kMiB), 0);
  EXPECT_FALSE(mr_->HasTableFor(At(kGiB)));     // first range of the span: freed
  EXPECT_TRUE(mr_->HasTableFor(At(2 * kGiB)));  // range of its last byte: kept
  EXPECT_EQ(Lookup(At(2 * kGiB)).ret, -1);
  EXPECT_EQ(LiveMrs(), 0);
  EXPECT_TRUE(mr_->zones().empty());
}

TEST_F(MrManagerTest, DeviceRefusalsLeaveTheMapAsItWas) {
  ASSERT_TRUE(verbs_emu::FailNextCall("ibv_reg_mr", ENOMEM));
  EXPECT_EQ(mr_->RegisterMr(At(0), 2 * kMiB), -1);
  EXPECT_EQ(Lookup(At(0)).ret, -1);
  EXPECT_TRUE(mr_->zones().empty());

  ASSERT_EQ(mr_->RegisterMr(At(0), 2 * kMiB), 0);
  ASSERT_TRUE(verbs_emu::FailNextCall("ibv_dereg_mr", EBUSY));
  EXPECT_EQ(mr_->UnregisterMr(At(0), 2 * kMiB), EBUSY);
  EXPECT_EQ(mr_->zones().size(), 1u);  // still listed, its slots cleared
  EXPECT_EQ(Lookup(At(0)).ret, -1);
  verbs_emu::ClearFailures();
}

// Many zones of 2 to 16 MiB, several across 1 GiB boundaries, registered,
// looked up against a reference, half unregistered, registered again; the
// destructor deregisters what is left.
TEST_F(MrManagerTest, RegisterLookUpAndUnregisterUnderLoad) {
  std::mt19937_64 rng(7);
  std::map<uint64_t, uint64_t> zones;  // start offset -> size
  uint64_t off = kGiB - 6 * kMiB;
  while (off + 16 * kMiB < 7 * kGiB && zones.size() < 400) {
    const uint64_t size = (1 + rng() % 8) * 2 * kMiB;
    if (mr_->RegisterMr(At(off), size) == 0) zones[off] = size;
    off += size + (rng() % 4) * 2 * kMiB;
    if (rng() % 16 == 0) off = (off / kGiB + 1) * kGiB - 2 * kMiB;  // straddle next boundary
  }
  int straddling = 0;
  for (const auto& z : zones) straddling += z.first / kGiB != (z.first + z.second - 1) / kGiB;
  ASSERT_GT(zones.size(), 100u);
  ASSERT_GE(straddling, 4);
  ASSERT_EQ(LiveMrs(), static_cast<int>(zones.size()));

  auto expect_matches_reference = [&] {
    std::map<uint64_t, uint32_t> lkey_of;
    for (const auto& z : mr_->zones()) lkey_of[z.start] = z.mr->lkey;
    for (int i = 0; i < 20000; ++i) {
      const uint64_t probe = kGiB - 8 * kMiB + rng() % (6 * kGiB);
      auto it = zones.upper_bound(probe);
      const bool inside = it != zones.begin() && probe < std::prev(it)->first + std::prev(it)->second;
      Keys k = Lookup(At(probe));
      if (!inside) {
        ASSERT_EQ(k.ret, -1) << probe;
        continue;
      }
      ASSERT_EQ(k.ret, 0) << probe;
      const uint64_t start = reinterpret_cast<uint64_t>(At(std::prev(it)->first));
      ASSERT_EQ(k.lkey, lkey_of[start]) << probe;
    }
  };
  {
    testsupport::LogCapture quiet;  // misses log an error each
    expect_matches_reference();
    std::map<uint64_t, uint64_t> removed;
    for (auto it = zones.begin(); it != zones.end();) {
      if (rng() % 2 == 0) {
        ASSERT_EQ(mr_->UnregisterMr(At(it->first), it->second), 0);
        removed.insert(*it);
        it = zones.erase(it);
      } else {
        ++it;
      }
    }
    EXPECT_EQ(LiveMrs(), static_cast<int>(zones.size()));
    expect_matches_reference();
    for (const auto& z : removed) {
      ASSERT_EQ(mr_->RegisterMr(At(z.first), z.second), 0);
      zones.insert(z);
    }
    expect_matches_reference();
  }
  delete mr_;
  mr_ = nullptr;
  EXPECT_EQ(LiveMrs(), 0);
}

}  // namespace
