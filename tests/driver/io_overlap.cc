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
      if (drain) {
        OnLoop([&] {
          driver()->pyx_retry_io();
          driver()->PollingPendingIo();
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

// Rounds of writes of mixed alignment and length submitted together over a
// few blocks, the server holding every answer (and applying some writes
// only when it answers) until the test lets them go. Each sector must hold
// the data of one of the writes that cover it, and some order of the
// round's writes must explain every sector at once. With retries, some
// first answers of reads and writes ask for a retry, a write among them
// applied or not (a write applied twice counts where it landed last), and
// only a few I/O are admitted at once: the rest go through the pending
// queue.
TEST_F(OverlapTest, ConcurrentOverlappingWritesEndInALegalOrder) {
  StartDrivers();
  constexpr uint64_t kRegion = 16 * kBlock;
  constexpr int kRounds = 30;
  constexpr int kRetriedRounds = 15;
  constexpr int kWrites = 24;
  bs_.Store(0, std::string(kRegion, '\0'));
  for (int round = 0; round < kRounds + kRetriedRounds; ++round) {
    const bool retries = round >= kRounds;
    max_flighting = retries ? 3 : 300;
    SCOPED_TRACE("round " + std::to_string(round) + (retries ? " with retries" : ""));
    std::mt19937_64 rng(1000 + static_cast<uint64_t>(round));
    const std::string old = bs_.Stored(0, kRegion);
    std::vector<Put> puts;
    for (int i = 0; i < kWrites; ++i) {
      uint64_t offset, len;
      if (rng() % 3 == 0) {
        offset = rng() % 16 * kBlock;
        len = (1 + rng() % std::min<uint64_t>(4, (kRegion - offset) / kBlock)) * kBlock;
      } else {
        offset = rng() % (kRegion / kSector) * kSector;
        len = (1 + rng() % std::min<uint64_t>(24, (kRegion - offset) / kSector)) * kSector;
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
      Submit(ios.back());
    }
    ASSERT_TRUE(DriveUntilDone(ios, retries));
    bs_.HoldAll(false);
    for (TestIo* t : ios) ASSERT_EQ(t->io()->status, 0);

    // Who won each sector; every other writer of it must come earlier.
    const std::string got = bs_.Stored(0, kRegion);
    std::vector<uint32_t> before(kWrites, 0);  // bit j: write j comes before
    for (uint64_t s = 0; s < kRegion / kSector; ++s) {
      const uint64_t at = s * kSector;
      const std::string sector = got.substr(at, kSector);
      uint32_t writers = 0;
      int winner = -1;
      for (int i = 0; i < kWrites; ++i) {
        const Put& p = puts[static_cast<size_t>(i)];
        if (at < p.offset || at >= p.offset + p.data.size()) continue;
        writers |= 1u << i;
        if (p.data.compare(at - p.offset, kSector, sector) == 0) winner = i;
      }
      if (writers == 0) {
        ASSERT_EQ(sector, old.substr(at, kSector)) << "sector " << s << " written by none";
        continue;
      }
      ASSERT_GE(winner, 0) << "sector " << s << " holds the data of none of its writers";
      before[static_cast<size_t>(winner)] |= writers & ~(1u << winner);
    }
    // Some order satisfies every sector: take writes with nothing left
    // before them until none is left.
    uint32_t placed = 0;
    for (bool progress = true; progress;) {
      progress = false;
      for (int i = 0; i < kWrites; ++i) {
        if ((placed >> i & 1) == 0 && (before[static_cast<size_t>(i)] & ~placed) == 0) {
          placed |= 1u << i;
          progress = true;
        }
      }
    }
    ASSERT_EQ(placed, (1u << kWrites) - 1) << "no order of the writes explains every sector";
  }
  OnLoop([&] {
    for (uint64_t b = 0; b < kRegion / kBlock; ++b) EXPECT_FALSE(driver()->block_locked(name_, b));
    EXPECT_EQ(driver()->retry_count(), 0u);
  });
  EXPECT_GT(Metric("_pending_total"), 0u);
}

}  // namespace
}  // namespace iotest
