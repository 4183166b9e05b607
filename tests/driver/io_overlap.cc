// Writes in flight together on one disk that overlap, aligned or not: every
// 512-byte sector ends holding the data of one of them, never older data.
// A read-modify-write covers whole 4 KiB blocks with data it read earlier,
// so it must not interleave with any other write of those blocks, in either
// order.
#include <time.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "io_fixture.h"

namespace iotest {
namespace {

constexpr uint64_t kSector = 512;

std::string RandomBytes(std::mt19937_64* rng, size_t n) {
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>((*rng)() & 0xff);
  return s;
}

struct Put {
  uint64_t offset;
  std::string data;
};

// `old` (the bytes from `base`) with the writes applied in the given order.
std::string Applied(std::string old, uint64_t base, const std::vector<const Put*>& order) {
  for (const Put* p : order) old.replace(p->offset - base, p->data.size(), p->data);
  return old;
}

class OverlapTest : public DriverTest {
 protected:
  // Answers whatever the server holds until every write is done; with
  // `drain`, runs the periodic retry drain and pending poll too.
  bool DriveUntilDone(const std::vector<TestIo*>& ios, bool drain = false) {
    const double deadline = Now() + 30;
    while (Now() < deadline) {
      bs_.Release();
      for (int i = 0; drain && i < static_cast<int>(drivers_.size()); ++i) {
        OnLoop(i, [&, i] {
          driver(i)->pyx_retry_io();
          driver(i)->PollingPendingIo();
        });
      }
      Poll();
      bool all = true;
      for (TestIo* t : ios) all = all && t->completions > 0;
      if (all) return true;
      const timespec pause{0, 200 * 1000};
      nanosleep(&pause, nullptr);
    }
    return false;
  }
  static double Now() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
  }
};

struct PairCase {
  const char* what;
  uint64_t first_offset, first_len;
  bool first_write_held;  // else its read is held: applied only when answered
  uint64_t second_offset, second_len;
  bool second_read_held;
};

// The first write is held by the server; the second comes while it is in
// flight. Every case ends in one of the two orders.
TEST_F(OverlapTest, AWriteOverlappingAReadModifyWriteInFlightComesAfterIt) {
  StartDrivers();
  constexpr uint64_t B = kBlock;
  const PairCase cases[] = {
      {"unaligned in its read, then an aligned write of its block", 6 * B + 512, 512, false, 6 * B,
       B, false},
      {"unaligned in its read, then one whose middle block it is", 6 * B + 512, 512, false,
       5 * B + 100, 3 * B - 200, false},
      {"aligned in flight, then an unaligned write inside it", 6 * B, B, true, 6 * B + 512, 512,
       true},
      {"unaligned in its write, then one inside its middle block", 5 * B + 100, 3 * B - 200, true,
       6 * B + 512, 512, true},
  };
  std::mt19937_64 rng(27);
  uint64_t base = 0;
  for (const PairCase& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string old = RandomBytes(&rng, 16 * B);
    bs_.Store(base, old);
    FakeBlockServer::Answer hold;
    hold.hold = true;
    FakeBlockServer::Answer late = hold;
    late.apply_late = true;
    bs_.Push(c.first_write_held ? "Write" : "Read", c.first_write_held ? late : hold);
    const Put first{base + c.first_offset, RandomBytes(&rng, c.first_len)};
    const Put second{base + c.second_offset, RandomBytes(&rng, c.second_len)};
    TestIo* a = NewWrite(first.offset, first.data);
    Submit(a);
    ASSERT_TRUE(testsupport::WaitFor([&] { return bs_.held() == 1; }));
    if (c.second_read_held) bs_.Push("Read", hold);
    TestIo* b = NewWrite(second.offset, second.data);
    Submit(b);
    // The second either waits for the first or (wrongly) goes ahead.
    ASSERT_TRUE(testsupport::WaitFor([&] {
      Poll();
      return b->completions > 0 || bs_.held() == 2 ||
             Read<size_t>(0, [&] { return driver()->retry_count(); }) == 1;
    }));
    ASSERT_TRUE(DriveUntilDone({a, b}));
    EXPECT_EQ(a->io()->status, 0);
    EXPECT_EQ(b->io()->status, 0);
    const std::string got = bs_.Stored(base, 16 * B);
    const std::string ab = Applied(old, base, {&first, &second});
    const std::string ba = Applied(old, base, {&second, &first});
    EXPECT_TRUE(got == ab || got == ba)
        << "first then second: " << Diff(got, ab) << "; second then first: " << Diff(got, ba);
    base += 16 * B;
  }
  OnLoop([&] {
    for (uint64_t b = 0; b < base / kBlock; ++b) EXPECT_FALSE(driver()->block_locked(name_, b));
  });
}

struct SentCase {
  const char* what;
  int retcode;         // the aligned write's first answer
  bool aligned_lands;  // its data ends on the disk
  bool aligned_after;  // ... after the unaligned write's
  int aligned_status;
};

// An unaligned write that comes while an aligned write of its block is out
// reads only once that write is answered, whatever the answer; a retry of
// the aligned write then waits behind the unaligned one.
TEST_F(OverlapTest, AnUnalignedWriteReadsOnlyOnceTheAlignedWritesSentBeforeItAreAnswered) {
  StartDrivers();
  const SentCase cases[] = {
      {"success", 0, true, false, 0},
      {"retried", -12001, true, true, 0},
      {"failed", -14001, false, false, -1},
  };
  std::mt19937_64 rng(28);
  uint64_t base = 0;
  for (const SentCase& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string old = RandomBytes(&rng, 2 * kBlock);
    bs_.Store(base, old);
    FakeBlockServer::Answer first;
    first.retcode = c.retcode;
    first.hold = true;
    first.apply_late = true;
    bs_.Push("Write", first);
    const Put aligned{base, RandomBytes(&rng, 2 * kBlock)};
    const Put unaligned{base + kBlock + 1024, RandomBytes(&rng, 1000)};
    TestIo* a = NewWrite(aligned.offset, aligned.data);
    Submit(a);
    ASSERT_TRUE(testsupport::WaitFor([&] { return bs_.held() == 1; }));
    const size_t reads = bs_.count("Read");
    TestIo* u = NewWrite(unaligned.offset, unaligned.data);
    Submit(u);
    ASSERT_TRUE(WaitRetry(1));
    EXPECT_EQ(bs_.count("Read"), reads);
    EXPECT_TRUE(Read<bool>(0, [&] { return driver()->block_locked(name_, base / kBlock + 1); }));
    bs_.Release();
    ASSERT_TRUE(WaitDone(u));
    EXPECT_EQ(u->io()->status, 0);
    if (c.aligned_after) {
      EXPECT_EQ(a->completions, 0);
    }
    ASSERT_TRUE(RetryUntilDone(a));
    EXPECT_EQ(a->io()->status, c.aligned_status);
    std::vector<const Put*> order;
    if (c.aligned_lands && !c.aligned_after) order.push_back(&aligned);
    order.push_back(&unaligned);
    if (c.aligned_after) order.push_back(&aligned);
    EXPECT_EQ(Diff(bs_.Stored(base, 2 * kBlock), Applied(old, base, order)), "equal");
    base += 4 * kBlock;
  }
}

// The driver is shut down while an aligned write of a block is at the
// server, an unaligned write holds the block and waits for it, and another
// aligned and another unaligned write wait for the hold. Each completes once
// with -1, the block is free, and what comes later fails at once. The answer
// still out, and the drain the released hold asked for, come when the
// driver is gone.
TEST_F(OverlapTest, AtShutDownEveryWriteOfAHeldRangeFailsOnce) {
  StartDrivers();
  FakeBlockServer::Answer hold;
  hold.hold = true;
  bs_.Push("Write", hold);
  TestIo* sent = NewWrite(6 * kBlock, Pattern(kBlock, 1));
  Submit(sent);
  ASSERT_TRUE(testsupport::WaitFor([&] { return bs_.held() == 1; }));
  TestIo* holder = NewWrite(6 * kBlock + 512, Pattern(512, 2));
  Submit(holder);
  ASSERT_TRUE(WaitRetry(1));
  TestIo* aligned = NewWrite(5 * kBlock, Pattern(2 * kBlock, 3));
  Submit(aligned);
  ASSERT_TRUE(WaitRetry(2));
  TestIo* unaligned = NewWrite(6 * kBlock + 100, Pattern(100, 4));
  Submit(unaligned);
  ASSERT_TRUE(WaitRetry(3));
  EXPECT_EQ(bs_.count("Read"), 0u);
  const std::vector<TestIo*> held = {sent, holder, aligned, unaligned};

  OnLoop([&] {
    driver()->Shutdown();
    EXPECT_FALSE(driver()->block_locked(name_, 6));
    EXPECT_EQ(driver()->in_flight(), 0);
    EXPECT_EQ(driver()->retry_count(), 0u);
    EXPECT_EQ(driver()->outstanding_calls(), 0u);
  });
  Poll();
  for (TestIo* t : held) {
    EXPECT_EQ(t->completions, 1);
    EXPECT_EQ(t->io()->status, -1);
  }
  TestIo* later = NewWrite(6 * kBlock + 512, Pattern(512, 5));
  Submit(later);
  ASSERT_TRUE(WaitDone(later));
  EXPECT_EQ(later->io()->status, -1);

  // A hold given back at shut-down asks for a drain on a later pass; the
  // driver is destroyed in the same task.
  TestIo* last = NewWrite(7 * kBlock + 512, Pattern(512, 6));
  bs_.Push("Read", hold);
  OnLoop([&] { drivers_[0].reset(new PyxDriver(tarn::kTcp, colony_->GetWorker(0), 0)); });
  OnLoop([&] {
    driver()->malloc_plane_route_cache(disk_);
    driver()->pyx_set_client_manager(static_cast<int>(ip_), "127.0.0.1", port_, client_nums);
  });
  driver()->UpdateRouteCache(name_, Routes(kPlanes, port_));
  Submit(last);
  ASSERT_TRUE(testsupport::WaitFor([&] { return bs_.held() == 2; }));
  OnLoop([&] {
    EXPECT_TRUE(driver()->block_locked(name_, 7));
    driver()->Shutdown();
    drivers_[0].reset();
  });
  bs_.Release();
  OnLoop([] {});
  Poll();
  EXPECT_EQ(last->completions, 1);
  EXPECT_EQ(last->io()->status, -1);
  for (TestIo* t : held) EXPECT_EQ(t->completions, 1);
  EXPECT_EQ(strays_, 0);
}

// Who won each sector of [from, to); every other writer of it must come
// earlier, and some order of the writes must explain every sector at once.
void ExpectALegalOrder(const std::vector<Put>& puts, const std::string& old,
                       const std::string& got, uint64_t from, uint64_t to) {
  const int writes = static_cast<int>(puts.size());
  std::vector<uint32_t> before(puts.size(), 0);  // bit j: write j comes before
  for (uint64_t at = from; at < to; at += kSector) {
    const std::string sector = got.substr(at, kSector);
    uint32_t writers = 0;
    int winner = -1;
    for (int i = 0; i < writes; ++i) {
      const Put& p = puts[static_cast<size_t>(i)];
      if (at < p.offset || at >= p.offset + p.data.size()) continue;
      writers |= 1u << i;
      if (p.data.compare(at - p.offset, kSector, sector) == 0) winner = i;
    }
    if (writers == 0) {
      ASSERT_EQ(sector, old.substr(at, kSector)) << "sector " << at / kSector << " written by none";
      continue;
    }
    ASSERT_GE(winner, 0) << "sector " << at / kSector << " holds the data of none of its writers";
    before[static_cast<size_t>(winner)] |= writers & ~(1u << winner);
  }
  // Take writes with nothing left before them until none is left.
  uint32_t placed = 0;
  for (bool progress = true; progress;) {
    progress = false;
    for (int i = 0; i < writes; ++i) {
      if ((placed >> i & 1) == 0 && (before[static_cast<size_t>(i)] & ~placed) == 0) {
        placed |= 1u << i;
        progress = true;
      }
    }
  }
  ASSERT_EQ(placed, (1u << writes) - 1) << "no order of the writes explains every sector of ["
                                        << from << ", " << to << ")";
}

// Rounds of writes of mixed alignment and length submitted together over a
// few blocks, the server holding every answer (and applying some writes
// only when it answers) until the test lets them go. Each sector must hold
// the data of one of the writes that cover it, and some order of the
// round's writes must explain every sector at once. With retries, some
// first answers of reads and writes ask for a retry, a write among them
// applied or not (a write applied twice counts where it landed last), and
// only a few I/O are admitted at once: the rest go through the pending
// queue.
//
// Across stripes, the writes go through send_pyx_io to two drivers, and
// aligned ones may span up to three stripes (unaligned ones stay in one, as
// the library takes them). The parts of a write land independently, so
// the order is asked of each stripe on its own.
class RoundsTest : public OverlapTest, public ::testing::WithParamInterface<bool> {};

TEST_P(RoundsTest, ConcurrentOverlappingWritesEndInALegalOrder) {
  const bool across = GetParam();
  StartDrivers(across ? 2 : 1);
  if (across) UseLibraryEntry();
  const uint64_t stripe = static_cast<uint64_t>(max_io_size);
  constexpr uint64_t kRegion = 16 * kBlock;
  constexpr int kRounds = 30;
  constexpr int kRetriedRounds = 15;
  constexpr int kWrites = 24;
  bs_.Store(0, std::string(kRegion, '\0'));
  for (int round = 0; round < kRounds + kRetriedRounds; ++round) {
    const bool retries = round >= kRounds;
    max_flighting = retries ? 3 : 300;
    SCOPED_TRACE("round " + std::to_string(round) + (retries ? " with retries" : ""));
    std::mt19937_64 rng((across ? 5000 : 1000) + static_cast<uint64_t>(round));
    const std::string old = bs_.Stored(0, kRegion);
    std::vector<Put> puts;
    const uint64_t most_blocks = across ? 8 : 4;
    for (int i = 0; i < kWrites; ++i) {
      uint64_t offset, len;
      if (rng() % 3 == 0) {
        offset = rng() % 16 * kBlock;
        len = (1 + rng() % std::min<uint64_t>(most_blocks, (kRegion - offset) / kBlock)) * kBlock;
      } else {
        offset = rng() % (kRegion / kSector) * kSector;
        len = (1 + rng() % std::min<uint64_t>(24, (kRegion - offset) / kSector)) * kSector;
        if (across && offset / stripe != (offset + len - 1) / stripe) {
          len = (offset / stripe + 1) * stripe - offset;
        }
      }
      puts.push_back(Put{offset, RandomBytes(&rng, len)});
    }
    bs_.HoldAll(true);
    for (int i = 0; i < kWrites; ++i) {
      FakeBlockServer::Answer a;
      a.apply_late = rng() % 2 == 0;
      if (retries && rng() % 3 == 0) {
        a.retcode = -12001;
        a.applied = rng() % 2 == 0;  // as a write that timed out may be
      }
      bs_.Push("Write", a);
      if (retries) {
        FakeBlockServer::Answer r;
        if (rng() % 4 == 0) r.retcode = -12001;
        bs_.Push("Read", r);
      }
    }
    std::vector<TestIo*> ios;
    for (const Put& p : puts) {
      ios.push_back(NewWrite(p.offset, p.data));
      if (across) {
        SubmitToLibrary(ios.back());
      } else {
        Submit(ios.back());
      }
    }
    ASSERT_TRUE(DriveUntilDone(ios, retries));
    bs_.HoldAll(false);
    Poll();
    for (TestIo* t : ios) {
      ASSERT_EQ(t->io()->status, 0);
      ASSERT_EQ(t->completions, 1);
    }
    const std::string got = bs_.Stored(0, kRegion);
    const uint64_t piece = across ? stripe : kRegion;
    for (uint64_t from = 0; from < kRegion; from += piece) {
      ExpectALegalOrder(puts, old, got, from, from + piece);
      if (HasFatalFailure()) return;
    }
  }
  for (int i = 0; i < static_cast<int>(drivers_.size()); ++i) {
    OnLoop(i, [&, i] {
      for (uint64_t b = 0; b < kRegion / kBlock; ++b) EXPECT_FALSE(driver(i)->block_locked(name_, b));
      EXPECT_EQ(driver(i)->retry_count(), 0u);
    });
  }
  EXPECT_GT(Metric("_pending_total"), 0u);
  EXPECT_EQ(strays_, 0);
}

INSTANTIATE_TEST_SUITE_P(Stripes, RoundsTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& p) {
                           return p.param ? "AcrossStripes" : "OneDriver";
                         });

struct CrossCase {
  const char* what;
  bool aligned_first;  // else the unaligned write's read is out first
};

// An aligned write across a stripe boundary and an unaligned write in the
// second stripe, on another driver than the first, in both orders: the
// unaligned write's read out when the aligned write comes, or the aligned
// write at the server (applied only when answered) when the unaligned one
// comes. The second waits for the first, the host's aligned write completes
// once, and no byte of either is reverted.
TEST_F(OverlapTest, AnAlignedWriteAcrossAStripeMeetsTheHoldsOfTheNextStripesDriver) {
  StartDrivers(2);
  UseLibraryEntry();
  const uint64_t stripe = static_cast<uint64_t>(max_io_size);
  const CrossCase cases[] = {{"unaligned first", false}, {"aligned first", true}};
  std::mt19937_64 rng(29);
  uint64_t base = 0;
  for (const CrossCase& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string old = RandomBytes(&rng, 2 * stripe);
    bs_.Store(base, old);
    // Three blocks of stripe 0, two of stripe 1; the unaligned write in the
    // second block of stripe 1.
    const Put aligned{base + stripe - 3 * kBlock, RandomBytes(&rng, 5 * kBlock)};
    const Put unaligned{base + stripe + kBlock + 512, RandomBytes(&rng, 1024)};
    FakeBlockServer::Answer hold;
    hold.hold = true;
    FakeBlockServer::Answer late = hold;
    late.apply_late = true;
    TestIo* a = NewWrite(aligned.offset, aligned.data);
    TestIo* u = NewWrite(unaligned.offset, unaligned.data);
    const size_t reads = bs_.count("Read");
    if (c.aligned_first) {
      bs_.Push("Write", late);
      bs_.Push("Write", late);
      SubmitToLibrary(a);
      ASSERT_TRUE(testsupport::WaitFor([&] { return bs_.held() == 2; }));
      SubmitToLibrary(u);
      // It holds its block and waits for the part sent before.
      ASSERT_TRUE(WaitRetry(1, 1));
      EXPECT_EQ(bs_.count("Read"), reads);
    } else {
      bs_.Push("Read", hold);
      SubmitToLibrary(u);
      ASSERT_TRUE(testsupport::WaitFor([&] { return bs_.held() == 1; }));
      SubmitToLibrary(a);
      // The part in stripe 0 goes; the one in stripe 1 waits for the hold.
      ASSERT_TRUE(WaitRetry(1, 1));
      ASSERT_TRUE(testsupport::WaitFor([&] { return bs_.count("Write") > 0; }));
    }
    Poll();
    EXPECT_EQ(a->completions, 0);
    ASSERT_TRUE(DriveUntilDone({a, u}));
    Poll();
    EXPECT_EQ(a->completions, 1);
    EXPECT_EQ(u->completions, 1);
    EXPECT_EQ(a->io()->status, 0);
    EXPECT_EQ(u->io()->status, 0);
    const std::vector<const Put*> order =
        c.aligned_first ? std::vector<const Put*>{&aligned, &unaligned}
                        : std::vector<const Put*>{&unaligned, &aligned};
    EXPECT_EQ(Diff(bs_.Stored(base, 2 * stripe), Applied(old, base, order)), "equal");
    base += 4 * stripe;
  }
  EXPECT_EQ(strays_, 0);
}

struct PartsCase {
  const char* what;
  uint64_t offset;  // in blocks
  uint64_t blocks;
  std::vector<size_t> iov_lens;
  int failing_part;  // -1: none
};

// A write across stripes is cut where the stripes are, its buffers with it
// whatever their lengths; the host's I/O completes once, failed when any
// part failed.
TEST_F(OverlapTest, AWriteAcrossStripesLandsWholeAndCompletesOnce) {
  StartDrivers(2);
  UseLibraryEntry();
  const uint64_t per_stripe = static_cast<uint64_t>(max_io_size) / kBlock;
  const PartsCase cases[] = {
      {"two stripes, one buffer", per_stripe - 1, 2, {}, -1},
      {"three stripes, odd buffers", 2, 2 * per_stripe, {1000, 7000, 192, 0, 8192, 6000, 0}, -1},
      {"a full 256 KiB", 0, 64, {}, -1},
      {"a failing part", per_stripe - 2, 4, {}, 1},
  };
  uint64_t base_block = 0;
  uint32_t seed = 40;
  for (const PartsCase& c : cases) {
    SCOPED_TRACE(c.what);
    const uint64_t offset = (base_block + c.offset) * kBlock;
    const uint64_t len = c.blocks * kBlock;
    std::vector<size_t> lens = c.iov_lens;
    if (!lens.empty()) {
      // The last buffer takes the rest.
      size_t sum = 0;
      for (size_t n : lens) sum += n;
      lens.back() = static_cast<size_t>(len) - sum;
    }
    const std::string old = Pattern(static_cast<size_t>(len), seed++);
    bs_.Store(offset, old);
    const std::string data = Pattern(static_cast<size_t>(len), seed++);
    if (c.failing_part >= 0) {
      for (int p = 0; p < c.failing_part; ++p) bs_.Push("Write", FakeBlockServer::Answer());
      FakeBlockServer::Answer fail;
      fail.retcode = -14001;
      bs_.Push("Write", fail);
    }
    const size_t writes = bs_.count("Write");
    TestIo* t = NewWrite(offset, data, lens);
    SubmitToLibrary(t);
    ASSERT_TRUE(WaitDone(t));
    Poll();
    EXPECT_EQ(t->completions, 1);
    const uint64_t parts = (offset + len - 1) / static_cast<uint64_t>(max_io_size) -
                           offset / static_cast<uint64_t>(max_io_size) + 1;
    EXPECT_EQ(bs_.count("Write") - writes, parts);
    if (c.failing_part >= 0) {
      EXPECT_EQ(t->io()->status, -1);
    } else {
      EXPECT_EQ(t->io()->status, 0);
      EXPECT_EQ(Diff(bs_.Stored(offset, len), data), "equal");
    }
    base_block += c.offset + c.blocks + 2 * per_stripe;
  }
  EXPECT_EQ(strays_, 0);
}

enum class PartsOut { kBothShutDown, kOneShutDown, kDiskFreed };

// A write across a stripe whose parts are out (both at the server, or one
// answered and one at the server) when their drivers shut down, or when the
// host frees the disk and its record: the host's I/O completes once, with
// -1, when its last part has ended, and nothing touches the freed record.
class PartsOutTest : public OverlapTest, public ::testing::WithParamInterface<PartsOut> {};

TEST_P(PartsOutTest, AWriteAcrossStripesCompletesOnceWhateverEndsItsParts) {
  const PartsOut how = GetParam();
  const bool both_held = how != PartsOut::kOneShutDown;
  StartDrivers(2);
  UseLibraryEntry();
  const uint64_t stripe = static_cast<uint64_t>(max_io_size);
  FakeBlockServer::Answer hold;
  hold.hold = true;
  bs_.Push("Write", hold);
  if (both_held) bs_.Push("Write", hold);
  TestIo* t = NewWrite(stripe - kBlock, Pattern(2 * kBlock, 7));
  SubmitToLibrary(t);
  ASSERT_TRUE(testsupport::WaitFor([&] { return bs_.count("Write") == 2; }));
  // The drivers whose parts are still out, in index order.
  std::vector<int> out;
  ASSERT_TRUE(testsupport::WaitFor([&] {
    out.clear();
    for (int i = 0; i < 2; ++i) {
      int64_t n = 0;
      OnLoop(i, [&, i] { n = driver(i)->in_flight(); });
      if (n > 0) out.push_back(i);
    }
    return out.size() == (both_held ? 2u : 1u);
  }));
  if (how == PartsOut::kDiskFreed) {
    // pyx_free: deleting, the detach on every driver's loop, then the host
    // frees the record; the answers come after.
    bdev_pyx* gone = disk_;
    pyx::Store(gone->deleting, 1);
    for (int i = 0; i < 2; ++i) OnLoop(i, [&, i] { driver(i)->DetachDisk(gone); });
    delete disk_;
    disk_ = nullptr;
    Poll();
    EXPECT_EQ(t->completions, 0);
    bs_.Release();
    ASSERT_TRUE(WaitDone(t));
  } else {
    for (int i : out) {
      Poll();
      EXPECT_EQ(t->completions, 0) << "before driver " << i << " shut down";
      OnLoop(i, [&, i] { driver(i)->Shutdown(); });
    }
    // Before any answer comes: the shut-down ended the last part.
    Poll();
    EXPECT_EQ(t->completions, 1);
    bs_.Release();
    for (int i = 0; i < 2; ++i) OnLoop(i, [] {});
  }
  Poll();
  EXPECT_EQ(t->completions, 1);
  EXPECT_EQ(t->io()->status, -1);
  EXPECT_EQ(strays_, 0);
}

INSTANTIATE_TEST_SUITE_P(Parts, PartsOutTest,
                         ::testing::Values(PartsOut::kBothShutDown, PartsOut::kOneShutDown,
                                           PartsOut::kDiskFreed),
                         [](const ::testing::TestParamInfo<PartsOut>& info) {
                           switch (info.param) {
                             case PartsOut::kBothShutDown:
                               return std::string("BothShutDown");
                             case PartsOut::kOneShutDown:
                               return std::string("OneShutDown");
                             case PartsOut::kDiskFreed:
                               return std::string("DiskFreed");
                           }
                           return std::string();
                         });

}  // namespace
}  // namespace iotest
