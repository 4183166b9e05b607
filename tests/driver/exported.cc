// The exported interface: symbols and linkage of the shared library, the
// host records' layout, the plane and driver of a byte offset, and what
// send_pyx_io does with I/O it must refuse.
#include <sys/uio.h>

#include <cstddef>
#include <cstdlib>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "control/globals.h"
#include "control/pyx_manager.h"
#include "driver/control_support.h"
#include "pyxdriver/pyxdriver.h"
#include "spdk/bdev_module.h"
#include "spdk/env.h"
#include "support/child.h"
#include "support/wait.h"
#include "tarn/event/event_worker_colony.h"
#include "tarn/loop.h"
#include "tarn/worker.h"
#include "volume.pb.h"

// gperftools' C entry point, as a host process with tcmalloc offers it; the
// library finds it at run time.
static std::atomic<int> g_release_calls{0};
extern "C" __attribute__((visibility("default"))) void MallocExtension_ReleaseFreeMemory() {
  g_release_calls.fetch_add(1);
}

namespace {

using ctltest::LogTap;

// ---------------------------------------------------------------- symbols

TEST(ExportedSymbols, CFunctionsAndTheOneCxxFunction) {
  const testsupport::ChildResult nm =
      testsupport::RunCommand({"nm", "-D", "--defined-only", PYXDRIVER_SO_PATH});
  ASSERT_TRUE(nm.ok()) << testsupport::Describe(nm);
  for (const char* name : {"pyx_init_env", "pyx_init", "send_pyx_io", "get_vdisk_size",
                           "get_cpus_size", "get_max_io_size", "pyx_free", "pyx_finish_env",
                           "tcmalloc_free_memory"}) {
    EXPECT_NE(nm.output.find(std::string(" T ") + name + "\n"), std::string::npos) << name;
  }
  EXPECT_NE(nm.output.find(" T _Z13get_plane_numP19bdev_pyx_io_channelm\n"), std::string::npos);
  EXPECT_EQ(nm.output.find(" T get_plane_num\n"), std::string::npos);
}

// ---------------------------------------------------------------- layout

// Offsets of fields of the given (size, alignment) laid out in order by the
// C rules, as the host module's compiler lays them out.
std::vector<size_t> Layout(const std::vector<std::pair<size_t, size_t>>& fields) {
  std::vector<size_t> offsets;
  size_t at = 0;
  for (const auto& f : fields) {
    at = (at + f.second - 1) / f.second * f.second;
    offsets.push_back(at);
    at += f.first;
  }
  return offsets;
}

TEST(HostRecords, FieldsLieInTheContractsOrderAndTypes) {
  const std::pair<size_t, size_t> ptr{8, 8}, u64{8, 8}, u8{1, 1}, i32{4, 4};
  const std::vector<size_t> disk =
      Layout({ptr, ptr, u8, u64, u64, u64, u64, u64, ptr, i32, i32, {128, 8}, u8, u8, ptr});
  const std::vector<size_t> actual_disk = {
      offsetof(bdev_pyx, name),         offsetof(bdev_pyx, uuid),
      offsetof(bdev_pyx, ok),           offsetof(bdev_pyx, size),
      offsetof(bdev_pyx, die_unit_capacity), offsetof(bdev_pyx, die_capacity),
      offsetof(bdev_pyx, plane_capacity),    offsetof(bdev_pyx, block_capacity),
      offsetof(bdev_pyx, done),         offsetof(bdev_pyx, attempts),
      offsetof(bdev_pyx, mode),         offsetof(bdev_pyx, route_term),
      offsetof(bdev_pyx, deleting),     offsetof(bdev_pyx, exists),
      offsetof(bdev_pyx, counter)};
  EXPECT_EQ(actual_disk, disk);
  EXPECT_EQ(sizeof(bdev_pyx::route_term), 16 * sizeof(uint64_t));
  EXPECT_EQ(offsetof(bdev_pyx, exists), offsetof(bdev_pyx, deleting) + 1);

  const std::vector<size_t> io =
      Layout({i32, ptr, i32, u64, u64, u64, u8, u64, ptr, {16, 8}, ptr});
  const std::vector<size_t> actual_io = {
      offsetof(bdev_pyx_io, status),    offsetof(bdev_pyx_io, iov),
      offsetof(bdev_pyx_io, iovcnt),    offsetof(bdev_pyx_io, len),
      offsetof(bdev_pyx_io, offset),    offsetof(bdev_pyx_io, plane),
      offsetof(bdev_pyx_io, lock_wait), offsetof(bdev_pyx_io, pending_ms),
      offsetof(bdev_pyx_io, ch),        offsetof(bdev_pyx_io, link),
      offsetof(bdev_pyx_io, stats)};
  EXPECT_EQ(actual_io, io);

  EXPECT_EQ(offsetof(bdev_pyx_io_stats, start), 0u);
  EXPECT_EQ(offsetof(bdev_pyx_io_stats, retried), 8u);
  EXPECT_EQ(offsetof(bdev_pyx_io_channel, disk), 0u);
  EXPECT_EQ(offsetof(bdev_pyx_io_channel, rings), 8u);
}

// ---------------------------------------------------------------- planes

struct GeometryCase {
  uint64_t die, plane, block;
};

bdev_pyx_io_channel ChannelOf(bdev_pyx* disk, uint64_t die, uint64_t plane, uint64_t block) {
  disk->die_unit_capacity = 1ull << 40;
  disk->die_capacity = die;
  disk->plane_capacity = plane;
  disk->block_capacity = block;
  bdev_pyx_io_channel ch{};
  ch.disk = disk;
  return ch;
}

// Walks the disk block by block: inside a die the blocks go to its planes
// in turn, dies follow one another.
uint64_t WalkToPlane(const GeometryCase& g, uint64_t offset) {
  const uint64_t per_die = g.die / g.plane;
  uint64_t die_start = 0, die = 0;
  while (die_start + g.die <= offset) {
    die_start += g.die;
    ++die;
  }
  uint64_t block_start = die_start, plane = 0;
  while (block_start + g.block <= offset) {
    block_start += g.block;
    plane = (plane + 1) % per_die;
  }
  return die * per_die + plane;
}

TEST(PlaneNumber, ExamplesOfTheContract) {
  bdev_pyx disk{};
  const uint64_t P = 16 << 20, D = 4 * P, B = 1 << 20;
  bdev_pyx_io_channel ch = ChannelOf(&disk, D, P, B);
  EXPECT_EQ(get_plane_num(&ch, D + B), 5u);  // N + 1 with N = 4
  EXPECT_EQ(get_plane_num(&ch, 0), 0u);
  EXPECT_EQ(get_plane_num(&ch, B - 1), 0u);
  EXPECT_EQ(get_plane_num(&ch, B), 1u);
  EXPECT_EQ(get_plane_num(&ch, 4 * B), 0u);  // round robin inside the die
  EXPECT_EQ(get_plane_num(&ch, 2 * D), 8u);
  // Without a usable geometry there is no plane, and no division by zero.
  bdev_pyx empty{};
  bdev_pyx_io_channel none{};
  none.disk = &empty;
  EXPECT_EQ(get_plane_num(&none, 12345), 0u);
  bdev_pyx_io_channel big_plane = ChannelOf(&disk, P, D, B);  // plane > die
  EXPECT_EQ(get_plane_num(&big_plane, 12345), 0u);
}

TEST(PlaneNumber, MatchesABlockByBlockWalkOverRandomGeometries) {
  std::mt19937_64 rng(20240131);
  for (int round = 0; round < 300; ++round) {
    GeometryCase g;
    g.block = 4096 * (1 + rng() % 8) / (1 + rng() % 2);
    g.plane = 4096 * (1 + rng() % 16);
    g.die = g.plane * (1 + rng() % 6);
    bdev_pyx disk{};
    bdev_pyx_io_channel ch = ChannelOf(&disk, g.die, g.plane, g.block);
    for (int k = 0; k < 20; ++k) {
      const uint64_t offset = rng() % (4 * g.die);
      ASSERT_EQ(get_plane_num(&ch, offset), WalkToPlane(g, offset))
          << "die " << g.die << " plane " << g.plane << " block " << g.block << " offset "
          << offset;
    }
  }
}

// ---------------------------------------------------------------- drivers

class SavedSettings {
 public:
  SavedSettings() : workers_(worker_num), stripe_(max_io_size) {}
  ~SavedSettings() {
    worker_num = workers_;
    max_io_size = stripe_;
  }

 private:
  int workers_;
  int stripe_;
};

TEST(DriverChoice, ExamplesOfTheContract) {
  SavedSettings saved;
  worker_num = 4;
  max_io_size = 16384;
  EXPECT_EQ(pyx::DriverOf(16384), 1);
  EXPECT_EQ(pyx::DriverOf(0), 0);
  EXPECT_EQ(pyx::DriverOf(16384ull * 4), 0);
  EXPECT_EQ(pyx::DriverOf(16383), 0);
  EXPECT_EQ(pyx::DriverOf(16384ull * 7 + 5), 3);
  // Offsets far beyond 2^31 stripes never give a negative driver.
  EXPECT_EQ(pyx::DriverOf(16384ull * ((1ull << 33) + 2)), 2);
  worker_num = 0;
  EXPECT_EQ(pyx::DriverOf(16384), -1);
}

TEST(DriverChoice, MatchesAStripeByStripeWalk) {
  SavedSettings saved;
  std::mt19937_64 rng(7);
  for (int round = 0; round < 200; ++round) {
    worker_num = 1 + static_cast<int>(rng() % 16);
    max_io_size = 4096 * (1 + static_cast<int>(rng() % 64));
    const uint64_t stripe = static_cast<uint64_t>(max_io_size);
    for (int k = 0; k < 10; ++k) {
      const uint64_t offset = rng() % (stripe * 40);
      uint64_t start = 0;
      int driver = 0;
      while (start + stripe <= offset) {
        start += stripe;
        driver = (driver + 1) % worker_num;
      }
      ASSERT_EQ(pyx::DriverOf(offset), driver) << worker_num << " " << max_io_size << " "
                                               << offset;
    }
  }
}

// ---------------------------------------------------------------- send_pyx_io

// Four drivers on a colony of their own, a disk record with a usable
// geometry and a channel whose rings are indexed by driver id.
class SubmitTest : public ::testing::Test {
 protected:
  static constexpr int kDrivers = 4;

  static void SetUpTestSuite() {
    tarn::WorkerOption option;
    option.name_prefix = "submit-";
    colony_ = new tarn::EventWorkerColony(kDrivers, option, nullptr);
    colony_->Start();
    for (int i = 0; i < kDrivers; ++i) drivers_.push_back(new PyxDriver(tarn::kTcp, colony_->GetWorker(i), i));
  }
  static void TearDownTestSuite() {
    for (PyxDriver* d : drivers_) delete d;
    drivers_.clear();
    colony_->Stop();
    delete colony_;
  }

  void SetUp() override {
    worker_num = kDrivers;
    max_io_size = 16384;
    pyxdrivers = drivers_;
    disk_ = static_cast<bdev_pyx*>(calloc(1, sizeof(bdev_pyx)));
    ResetDisk();
    for (int i = 0; i < kDrivers; ++i) {
      rings_[i] = spdk_ring_create(SPDK_RING_TYPE_MP_SC, 64, SPDK_ENV_SOCKET_ID_ANY);
    }
    channel_.disk = disk_;
    channel_.rings = rings_;
  }
  void TearDown() override {
    pyxdrivers.clear();
    worker_num = 0;
    max_io_size = 16384;
    for (spdk_ring* r : rings_) spdk_ring_free(r);
    free(disk_);
    for (void* b : bios_) free(b);
  }

  void ResetDisk() {
    disk_->name = const_cast<char*>("submit-disk");
    disk_->deleting = 0;
    disk_->size = 1 << 20;
    disk_->die_unit_capacity = 1ull << 30;
    disk_->die_capacity = 256 << 10;
    disk_->plane_capacity = 64 << 10;
    disk_->block_capacity = 16 << 10;
  }

  // A block I/O with the library's record in its driver context.
  bdev_pyx_io* NewIo(int type, uint64_t offset, uint64_t len, std::vector<iovec> iov = {}) {
    auto* bio = static_cast<spdk_bdev_io*>(calloc(1, sizeof(spdk_bdev_io) + sizeof(bdev_pyx_io)));
    bios_.push_back(bio);
    bio->type = static_cast<int16_t>(type);
    auto* io = static_cast<bdev_pyx_io*>(spdk_bdev_io_get_driver_ctx(bio));
    if (iov.empty()) iov.push_back({buffer_, len});
    iovecs_.push_back(iov);
    io->iov = iovecs_.back().data();
    io->iovcnt = static_cast<int>(iovecs_.back().size());
    io->offset = offset;
    io->len = len;
    io->ch = &channel_;
    return io;
  }
  static spdk_bdev_io* BioOf(bdev_pyx_io* io) { return spdk_bdev_io_from_ctx(io); }

  // The ring an I/O finished on, waiting for it; -1 when none took it.
  int WaitForCompletion(bdev_pyx_io* io) {
    int found = -1;
    testsupport::WaitFor([&] {
      for (int i = 0; i < kDrivers && found < 0; ++i) {
        void* p = nullptr;
        if (spdk_ring_dequeue(rings_[i], &p, 1) == 1) {
          EXPECT_EQ(p, io);
          found = i;
        }
      }
      return found >= 0;
    });
    return found;
  }

  static tarn::EventWorkerColony* colony_;
  static std::vector<PyxDriver*> drivers_;
  bdev_pyx* disk_ = nullptr;
  spdk_ring* rings_[kDrivers] = {};
  bdev_pyx_io_channel channel_{};
  std::vector<void*> bios_;
  std::vector<std::vector<iovec>> iovecs_;
  char buffer_[262144 + 4096] = {};
  LogTap tap_;
};

tarn::EventWorkerColony* SubmitTest::colony_ = nullptr;
std::vector<PyxDriver*> SubmitTest::drivers_;

struct RefusalCase {
  const char* what;
  int type;
  uint64_t offset;
  uint64_t len;
  const char* reason;
};

TEST_F(SubmitTest, RefusedIoEndsWithMinusOneOnTheRingOfItsStripesDriver) {
  const RefusalCase cases[] = {
      {"unmap", SPDK_BDEV_IO_TYPE_UNMAP, 16384, 4096, "io type is neither read nor write"},
      {"empty", SPDK_BDEV_IO_TYPE_READ, 16384 * 2, 0, "io length is not from 1 to 262144"},
      {"too long", SPDK_BDEV_IO_TYPE_WRITE, 0, 262144 + 4096, "io length is not from 1 to 262144"},
      {"past end", SPDK_BDEV_IO_TYPE_READ, (1 << 20) - 4096, 8192,
       "io reaches past the end of the vdisk"},
      {"far past end", SPDK_BDEV_IO_TYPE_READ, ~0ull - 100, 4096,
       "io reaches past the end of the vdisk"},
      {"stripe crossing rmw", SPDK_BDEV_IO_TYPE_WRITE, 16384 * 3 - 512, 1024,
       "unaligned write crosses a max_io_size stripe"},
  };
  for (const RefusalCase& c : cases) {
    tap_.Clear();
    bdev_pyx_io* io = NewIo(c.type, c.offset, c.len);
    send_pyx_io(BioOf(io));
    const int expected = c.offset > (1ull << 40) ? pyx::DriverOf(c.offset) : (c.offset / 16384) % 4;
    EXPECT_EQ(WaitForCompletion(io), expected) << c.what;
    EXPECT_EQ(io->status, -1) << c.what;
    EXPECT_EQ(io->stats, nullptr) << c.what;
    EXPECT_TRUE(tap_.Has(std::string("send_pyx_io refused: ") + c.reason + "|vdi name:submit-disk|offset:" +
                         std::to_string(c.offset) + "|len:" + std::to_string(c.len) + "|type:" +
                         std::to_string(c.type)))
        << c.what << "\n" << tap_.text();
  }
}

TEST_F(SubmitTest, IovecsMustAddUpToTheLength) {
  bdev_pyx_io* io = NewIo(SPDK_BDEV_IO_TYPE_WRITE, 0, 8192, {{buffer_, 4096}, {buffer_, 2048}});
  send_pyx_io(BioOf(io));
  EXPECT_EQ(WaitForCompletion(io), 0);
  EXPECT_EQ(io->status, -1);
  EXPECT_TRUE(tap_.Has("send_pyx_io refused: iovec lengths do not add up to len"));
  // One huge iovec cannot wrap the sum around to the length.
  tap_.Clear();
  bdev_pyx_io* wrap = NewIo(SPDK_BDEV_IO_TYPE_WRITE, 0, 4096,
                            {{buffer_, 8192}, {buffer_, ~size_t{0} - 4095}});
  send_pyx_io(BioOf(wrap));
  EXPECT_EQ(WaitForCompletion(wrap), 0);
  EXPECT_TRUE(tap_.Has("send_pyx_io refused: iovec lengths do not add up to len"));
}

TEST_F(SubmitTest, UnusableGeometryAndFreedDisksAreRefused) {
  struct {
    void (*spoil)(bdev_pyx*);
    const char* reason;
  } cases[] = {
      {[](bdev_pyx* d) { d->plane_capacity = 0; }, "vdisk route geometry is not usable yet"},
      {[](bdev_pyx* d) { d->block_capacity = 0; }, "vdisk route geometry is not usable yet"},
      {[](bdev_pyx* d) { d->die_unit_capacity = 0; }, "vdisk route geometry is not usable yet"},
      {[](bdev_pyx* d) { d->plane_capacity = d->die_capacity * 2; },
       "vdisk route geometry is not usable yet"},
      {[](bdev_pyx* d) { d->deleting = 1; }, "vdisk is being freed"},
  };
  for (auto& c : cases) {
    ResetDisk();
    c.spoil(disk_);
    tap_.Clear();
    bdev_pyx_io* io = NewIo(SPDK_BDEV_IO_TYPE_READ, 16384 * 5, 4096);
    send_pyx_io(BioOf(io));
    EXPECT_EQ(WaitForCompletion(io), 1) << c.reason;
    EXPECT_EQ(io->status, -1);
    EXPECT_TRUE(tap_.Has(std::string("send_pyx_io refused: ") + c.reason)) << c.reason;
  }
}

TEST_F(SubmitTest, RefusalCompletesOnTheDriversLoopNeverInsideTheCall) {
  // Driver 2's loop waits on the test, so nothing can complete there yet.
  std::mutex gate;
  gate.lock();
  ASSERT_EQ(colony_->GetWorker(2)->loop()->RunInLoop([&gate] { std::lock_guard<std::mutex> l(gate); }, true), 0);
  bdev_pyx_io* io = NewIo(SPDK_BDEV_IO_TYPE_UNMAP, 16384 * 2, 4096);
  send_pyx_io(BioOf(io));
  EXPECT_EQ(spdk_ring_count(rings_[2]), 0u);
  gate.unlock();
  EXPECT_EQ(WaitForCompletion(io), 2);
  EXPECT_EQ(io->status, -1);
}

TEST_F(SubmitTest, RepeatedRefusalsAreLoggedTheFirstTimesThenOnceInAThousand) {
  for (int i = 0; i < 2000; ++i) {
    bdev_pyx_io* io = NewIo(SPDK_BDEV_IO_TYPE_FLUSH, 0, 4096);
    send_pyx_io(BioOf(io));
    ASSERT_EQ(WaitForCompletion(io), 0);
  }
  const int lines = tap_.Count("send_pyx_io refused: io type is neither read nor write");
  // Kinds are counted across cases: ten at most at first, then one at
  // each thousand.
  EXPECT_GE(lines, 2);
  EXPECT_LE(lines, 12);
  EXPECT_TRUE(tap_.Has("|refused so far:"));
}

TEST_F(SubmitTest, AcceptedIoIsNotRefused) {
  // Aligned writes and reads may cross stripes; an unaligned write inside
  // one may not reach a second. These go on to the I/O path (which fails
  // them here: the disk was never opened in the drivers).
  const RefusalCase cases[] = {
      {"aligned write across stripes", SPDK_BDEV_IO_TYPE_WRITE, 16384 - 4096, 8192, ""},
      {"read across stripes", SPDK_BDEV_IO_TYPE_READ, 16384 - 512, 1024, ""},
      {"unaligned write in a stripe", SPDK_BDEV_IO_TYPE_WRITE, 512, 1024, ""},
      {"up to the end", SPDK_BDEV_IO_TYPE_READ, (1 << 20) - 4096, 4096, ""},
  };
  for (const RefusalCase& c : cases) {
    bdev_pyx_io* io = NewIo(c.type, c.offset, c.len);
    send_pyx_io(BioOf(io));
    const int first = static_cast<int>((c.offset / 16384) % 4);
    const int ring = WaitForCompletion(io);
    // An aligned write across stripes runs in parts on each stripe's driver
    // and ends on the ring of the driver whose part ended last.
    const bool in_parts = c.type == SPDK_BDEV_IO_TYPE_WRITE && c.offset % 16384 + c.len > 16384;
    if (in_parts) {
      EXPECT_TRUE(ring == first || ring == (first + 1) % 4) << c.what << ": ring " << ring;
    } else {
      EXPECT_EQ(ring, first) << c.what;
    }
    EXPECT_EQ(io->plane, get_plane_num(&channel_, c.offset)) << c.what;
  }
  EXPECT_FALSE(tap_.Has("send_pyx_io refused")) << tap_.text();
}

// A host's records come back from its pool holding whatever their last I/O
// left in the library's fields; send_pyx_io starts each of them afresh
// before the I/O reaches a driver.
TEST_F(SubmitTest, TheLibrarysFieldsStartAfreshWhateverTheRecordHeld) {
  struct Case {
    const char* what;
    int type;
    uint64_t offset;
    uint64_t len;
  };
  const Case cases[] = {
      {"read", SPDK_BDEV_IO_TYPE_READ, 16384 * 2 + 512, 1024},
      {"aligned write", SPDK_BDEV_IO_TYPE_WRITE, 16384 * 2, 4096},
      {"unaligned write", SPDK_BDEV_IO_TYPE_WRITE, 16384 * 2 + 100, 200},
      {"refused", SPDK_BDEV_IO_TYPE_UNMAP, 16384 * 2, 4096},
  };
  for (const Case& c : cases) {
    bdev_pyx_io* io = NewIo(c.type, c.offset, c.len);
    bdev_pyx_io_stats left{12345, 1};
    io->plane = ~0ull;
    io->lock_wait = 1;
    io->pending_ms = 8000;
    io->link.tqe_next = io;
    io->link.tqe_prev = &io->link.tqe_next;
    io->stats = &left;  // the previous I/O's, long freed
    // Driver 2's loop waits on the test: the record is as send_pyx_io left it.
    std::mutex gate;
    gate.lock();
    ASSERT_EQ(colony_->GetWorker(2)->loop()->RunInLoop(
                  [&gate] { std::lock_guard<std::mutex> l(gate); }, true),
              0);
    send_pyx_io(BioOf(io));
    EXPECT_EQ(io->lock_wait, 0) << c.what;
    EXPECT_EQ(io->pending_ms, 0) << c.what;
    EXPECT_EQ(io->link.tqe_next, nullptr) << c.what;
    EXPECT_EQ(io->link.tqe_prev, nullptr) << c.what;
    const bool refused = c.type == SPDK_BDEV_IO_TYPE_UNMAP;
    EXPECT_EQ(io->plane, refused ? 0 : get_plane_num(&channel_, c.offset)) << c.what;
    ASSERT_NE(io->stats, &left) << c.what;
    ASSERT_NE(io->stats, nullptr) << c.what;
    EXPECT_EQ(io->stats->retried, 0) << c.what;
    gate.unlock();
    EXPECT_EQ(WaitForCompletion(io), 2) << c.what;
  }
}

// Host threads take timing records from the drivers' pools, the drivers
// give them back on their loops; when every I/O is home each pool is whole
// again. A pool that is empty lends from the heap and takes that back too.
TEST_F(SubmitTest, TimingRecordsGoHomeToTheirDriverFromAnyThread) {
  std::vector<size_t> full;
  for (PyxDriver* d : drivers_) full.push_back(d->free_stats());
  constexpr int kThreads = 4;
  constexpr int kPerThread = 100;
  std::vector<bdev_pyx_io*> ios;
  for (int i = 0; i < kThreads * kPerThread; ++i) {
    ios.push_back(NewIo(SPDK_BDEV_IO_TYPE_READ, static_cast<uint64_t>(i % 64) * 4096, 4096));
  }
  std::vector<std::thread> hosts;
  for (int t = 0; t < kThreads; ++t) {
    hosts.emplace_back([&, t] {
      for (int k = 0; k < kPerThread; ++k) send_pyx_io(BioOf(ios[t * kPerThread + k]));
    });
  }
  size_t done = 0;
  EXPECT_TRUE(testsupport::WaitFor([&] {
    void* batch[64];
    for (spdk_ring* r : rings_) done += spdk_ring_dequeue(r, batch, 64);
    return done == ios.size();
  }));
  for (std::thread& h : hosts) h.join();
  for (size_t i = 0; i < drivers_.size(); ++i) EXPECT_EQ(drivers_[i]->free_stats(), full[i]);

  PyxDriver* d = drivers_[0];
  std::set<bdev_pyx_io_stats*> taken;
  for (size_t i = 0; i <= full[0]; ++i) taken.insert(d->TakeStats());
  EXPECT_EQ(taken.size(), full[0] + 1);
  EXPECT_EQ(taken.count(nullptr), 0u);
  EXPECT_EQ(d->free_stats(), 0u);
  for (bdev_pyx_io_stats* s : taken) d->GiveStats(s);
  EXPECT_EQ(d->free_stats(), full[0]);
}

TEST_F(SubmitTest, WithoutDriversTheIoFailsBeforeTheCallReturns) {
  pyxdrivers.clear();
  worker_num = 0;
  bdev_pyx_io* io = NewIo(SPDK_BDEV_IO_TYPE_READ, 0, 4096);
  send_pyx_io(BioOf(io));
  EXPECT_EQ(io->status, -1);
  EXPECT_EQ(io->stats, nullptr);
  EXPECT_TRUE(tap_.Has("send_pyx_io refused: no io driver to run it"));
  for (spdk_ring* r : rings_) EXPECT_EQ(spdk_ring_count(r), 0u);
}

// ---------------------------------------------------------------- the rest

TEST(ExportedFunctions, SizesAndMemoryRelease) {
  SavedSettings saved;
  worker_num = 3;
  max_io_size = 65536;
  EXPECT_EQ(get_cpus_size(), 3);
  EXPECT_EQ(get_max_io_size(), 65536);
  const int before = g_release_calls.load();
  tcmalloc_free_memory();
  EXPECT_EQ(g_release_calls.load(), before + 1);
}

TEST(ExportedFunctions, BeforeStartUpNothingIsPosted) {
  ctltest::HostDisk disk("early");
  disk.record()->attempts = 77;
  EXPECT_EQ(pyx_init(disk.record()), -1);
  EXPECT_EQ(get_vdisk_size(disk.record()), -1);
  EXPECT_EQ(disk.record()->attempts, 77);
  EXPECT_NE(disk.record()->counter, nullptr);
  disk.Free();  // also frees the counter
  EXPECT_EQ(disk.done_count(), 0);
}

TEST(ExportedFunctions, SnapshotWithoutAManagerIsNotFound) {
  volume::PYXDriverCreateSnapshotResponse response;
  bool ran = false;
  struct Done : google::protobuf::Closure {
    explicit Done(bool* ran) : ran(ran) {}
    void Run() override { *ran = true; }
    bool* ran;
  } done(&ran);
  LogTap tap;
  PyxManager::CreateSnapshot("vol", 5, &response, &done);
  EXPECT_TRUE(ran);
  EXPECT_EQ(response.rc().retcode(), -30100);
  EXPECT_TRUE(tap.Has("Create Snapshot Err: vol is not found"));
}

}  // namespace
