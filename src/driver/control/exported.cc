// The exported functions a storage host calls. Each runs on the calling
// host thread, does only cheap work there and posts the rest to a worker
// loop: the manager's for the control path, an I/O driver's for I/O.
#include <dlfcn.h>

#include <atomic>
#include <string>

#include "control/globals.h"
#include "control/startup.h"
#include "io/split_write.h"
#include "pyxdriver/pyxdriver.h"
#include "record_access.h"
#include "spdk/bdev_module.h"
#include "tarn/base/logging.h"
#include "tarn/base/time_cycle.h"
#include "tarn/loop.h"
#include "tarn/worker.h"

namespace {

constexpr uint64_t kMaxIoLen = 262144;
constexpr uint64_t kAlignMask = 0xfff;
// Each kind of refusal is logged the first few times, then once in many.
constexpr uint64_t kRefusalLogFirst = 10;
constexpr uint64_t kRefusalLogEvery = 1000;

// Why send_pyx_io refused an I/O; each reason is counted on its own.
enum Refusal {
  kNoDriver,
  kBadType,
  kBadLength,
  kIovecMismatch,
  kDeleting,
  kBadGeometry,
  kPastEnd,
  kStripeCross,
  kRefusalKinds,
};

const char* const kRefusalText[kRefusalKinds] = {
    "no io driver to run it",
    "io type is neither read nor write",
    "io length is not from 1 to 262144",
    "iovec lengths do not add up to len",
    "vdisk is being freed",
    "vdisk route geometry is not usable yet",
    "io reaches past the end of the vdisk",
    "unaligned write crosses a max_io_size stripe",
};

std::atomic<uint64_t> g_refusals[kRefusalKinds];

void LogRefusal(Refusal why, bdev_pyx* disk, const bdev_pyx_io* io, int type) {
  const uint64_t seen = g_refusals[why].fetch_add(1, std::memory_order_relaxed);
  if (seen >= kRefusalLogFirst && seen % kRefusalLogEvery != 0) return;
  LOG_ERROR << "send_pyx_io refused: " << kRefusalText[why]
            << "|vdi name:" << (disk != nullptr && disk->name != nullptr ? disk->name : "")
            << "|offset:" << io->offset << "|len:" << io->len << "|type:" << type
            << "|refused so far:" << seen + 1;
}

struct Geometry {
  uint64_t die_unit;
  uint64_t die;
  uint64_t plane;
  uint64_t block;

  // Enough to place a byte on a plane: no division by zero below.
  bool Placeable() const { return die != 0 && plane != 0 && block != 0 && die / plane != 0; }
  // Every value set by a route answer, and placeable.
  bool Usable() const { return die_unit != 0 && Placeable(); }
  // Blocks of `block` bytes go round robin over a die's planes; dies follow
  // one another.
  uint64_t PlaneOf(uint64_t offset) const {
    const uint64_t planes_per_die = die / plane;
    return ((offset % die) / block) % planes_per_die + (offset / die) * planes_per_die;
  }
};

Geometry LoadGeometryOnce(const bdev_pyx* disk) {
  return Geometry{pyx::Load(disk->die_unit_capacity), pyx::Load(disk->die_capacity),
                  pyx::Load(disk->plane_capacity), pyx::Load(disk->block_capacity)};
}

// The four values are stored one by one when a route answer changes them,
// so a read in the middle may mix old and new ones, a plane larger than its
// die among them. Such a mix is read again rather than refused (the store
// of the rest follows at once). A mix that passes only sets the I/O's first
// plane: its driver places it again by the geometry of its own routes.
Geometry LoadGeometry(const bdev_pyx* disk) {
  Geometry g = LoadGeometryOnce(disk);
  for (int again = 0; again < 3 && !g.Usable() && g.die_unit != 0; ++again) {
    g = LoadGeometryOnce(disk);
  }
  return g;
}

bool IovecsAddUp(const bdev_pyx_io* io) {
  if (io->iovcnt < 0 || (io->iovcnt > 0 && io->iov == nullptr)) return false;
  uint64_t sum = 0;
  for (int i = 0; i < io->iovcnt; ++i) {
    if (io->iov[i].iov_len > io->len - sum) return false;
    sum += io->iov[i].iov_len;
  }
  return sum == io->len;
}

// The first check the I/O fails, or kRefusalKinds when it may go.
Refusal Check(const bdev_pyx* disk, const bdev_pyx_io* io, int type, const Geometry& geometry) {
  if (type != SPDK_BDEV_IO_TYPE_READ && type != SPDK_BDEV_IO_TYPE_WRITE) return kBadType;
  if (io->len == 0 || io->len > kMaxIoLen) return kBadLength;
  if (!IovecsAddUp(io)) return kIovecMismatch;
  if (pyx::Load(disk->deleting) != 0) return kDeleting;
  if (!geometry.Usable()) return kBadGeometry;
  const uint64_t size = pyx::Load(disk->size);
  if (io->offset > size || io->len > size - io->offset) return kPastEnd;
  const bool unaligned = ((io->offset | io->len) & kAlignMask) != 0;
  const uint64_t stripe = static_cast<uint64_t>(max_io_size);
  if (type == SPDK_BDEV_IO_TYPE_WRITE && unaligned &&
      io->offset / stripe != (io->offset + io->len - 1) / stripe) {
    return kStripeCross;
  }
  return kRefusalKinds;
}

// The host takes its block I/O records from a pool shared by all its disks
// and does not clear them between uses: every field the library keeps in
// the record would otherwise start with what the previous I/O left there.
void StartRecord(bdev_pyx_io* io) {
  io->stats = nullptr;  // the driver's, once one is chosen
  io->plane = 0;
  io->lock_wait = 0;
  io->pending_ms = 0;
  io->link.tqe_next = nullptr;
  io->link.tqe_prev = nullptr;
}

// No loop will ever complete this I/O: fail it before returning. Its
// timing record, if it has one, is `driver`'s.
void FailInPlace(bdev_pyx_io* io, PyxDriver* driver = nullptr) {
  io->status = -1;
  if (driver != nullptr) driver->GiveStats(io->stats);
  io->stats = nullptr;
}

// False when the driver's loop has ended: the I/O has then failed in place.
bool Post(PyxDriver* driver, bdev_pyx_io* io, void (PyxDriver::*step)(bdev_pyx_io*)) {
  tarn::Loop* loop = driver->worker()->loop();
  // A refusal completes on the driver's loop, never inside this call.
  const bool refusal = step == &PyxDriver::FailIo;
  const int rc = refusal ? loop->RunNextLoop([driver, io] { driver->FailIo(io); })
                         : loop->RunInLoop([driver, io, step] { (driver->*step)(io); }, true);
  if (rc != 0) {
    LOG_ERROR << "send_pyx_io: the loop of io driver " << driver->id() << " has ended";
    FailInPlace(io, driver);
    return false;
  }
  return true;
}

// An aligned write across stripes goes to every stripe's driver in parts,
// so that each part meets the holds of the driver whose blocks it writes.
// The host's record keeps no timing record: its parts have theirs.
void SendInParts(bdev_pyx_io* io, const Geometry& geometry, PyxDriver* first) {
  first->GiveStats(io->stats);
  io->stats = nullptr;
  pyx::SplitWrite* split = pyx::NewSplitWrite(io, static_cast<uint64_t>(max_io_size));
  // Once the last part is posted the split may be gone: count first.
  const size_t parts = pyx::PartCount(split);
  for (size_t i = 0; i < parts; ++i) {
    bdev_pyx_io* part = pyx::PartAt(split, i);
    const int worker = pyx::DriverOf(part->offset);
    bool sent = false;
    if (worker >= 0 && static_cast<size_t>(worker) < pyxdrivers.size()) {
      PyxDriver* driver = pyxdrivers[worker];
      part->plane = geometry.PlaneOf(part->offset);
      part->stats = driver->TakeStats();
      part->stats->start = plinth::rdtsc();
      sent = Post(driver, part, &PyxDriver::pyx_aio_write_4k_align);
    } else {
      FailInPlace(part);
    }
    // A part no loop will run ends here; when it is the last, no loop will
    // complete the host's I/O either, and it ends in place with -1.
    if (!sent) pyx::EndPart(part);
  }
}

}  // namespace

namespace pyx {

int DriverOf(uint64_t offset) {
  if (max_io_size <= 0 || worker_num <= 0) return -1;
  return static_cast<int>((offset / static_cast<uint64_t>(max_io_size)) %
                          static_cast<uint64_t>(worker_num));
}

}  // namespace pyx

extern "C" {

int pyx_init_env(void) { return pyx::InitEnv(); }

void pyx_finish_env(void) { pyx::FinishEnv(); }

int pyx_init(struct bdev_pyx* disk) {
  // Every driver knows the disk, its lock set among the rest, before this
  // returns: the bring-up's own tasks to the drivers come from the
  // manager's thread, and a loop need not run them before the I/O a host
  // thread posts once the disk is up.
  for (PyxDriver* driver : pyxdrivers) {
    driver->worker()->loop()->RunInLoop([driver, disk] { driver->malloc_plane_route_cache(disk); },
                                        false);
  }
  disk->counter = new uint64_t(0);
  return get_vdisk_size(disk);
}

int get_vdisk_size(struct bdev_pyx* disk) {
  // The manager first: a query racing start-up must not read the driver
  // list while start-up is still filling it.
  if (pyxmanager.load(std::memory_order_acquire) == nullptr || pyxdrivers.empty()) return -1;
  // A new query starts its fail-over count afresh.
  pyx::Store(disk->attempts, 0);
  const bool posted = pyx::RunOnManager(
      [disk](PyxManager* manager) {
        manager->AttachDisk(disk);
        manager->pyx_get_vdisk_size(disk);
      },
      [disk] {
        LOG_ERROR << "size query of vdi " << disk->name << " dropped: the manager is gone";
      });
  return posted ? 0 : -1;
}

void send_pyx_io(struct spdk_bdev_io* bio) {
  auto* io = static_cast<bdev_pyx_io*>(spdk_bdev_io_get_driver_ctx(bio));
  StartRecord(io);
  bdev_pyx* disk = io->ch != nullptr ? io->ch->disk : nullptr;
  const int type = bio->type;
  if (pyxdrivers.empty() || disk == nullptr) {
    LogRefusal(kNoDriver, disk, io, type);
    FailInPlace(io);
    return;
  }
  const int worker = pyx::DriverOf(io->offset);
  if (worker < 0 || static_cast<size_t>(worker) >= pyxdrivers.size()) {
    LogRefusal(kNoDriver, disk, io, type);
    FailInPlace(io);
    return;
  }
  PyxDriver* driver = pyxdrivers[worker];
  // From the driver's pool; its completion step gives it back.
  io->stats = driver->TakeStats();

  const Geometry geometry = LoadGeometry(disk);
  const Refusal why = Check(disk, io, type, geometry);
  if (why != kRefusalKinds) {
    LogRefusal(why, disk, io, type);
    Post(driver, io, &PyxDriver::FailIo);
    return;
  }
  io->plane = geometry.PlaneOf(io->offset);
  io->stats->start = plinth::rdtsc();
  if (type == SPDK_BDEV_IO_TYPE_READ) {
    Post(driver, io, &PyxDriver::pyx_aio_read);
  } else if (((io->offset | io->len) & kAlignMask) != 0) {
    Post(driver, io, &PyxDriver::rmw_4k_align_read);
  } else if (pyx::CrossesStripe(io->offset, io->len, static_cast<uint64_t>(max_io_size))) {
    SendInParts(io, geometry, driver);
  } else {
    Post(driver, io, &PyxDriver::pyx_aio_write_4k_align);
  }
}

void pyx_free(struct bdev_pyx* disk) {
  pyx::Store(disk->deleting, 1);
  const std::string name = disk->name;
  // The unregistration carries copies only, so it goes out first and waits
  // for nothing below.
  auto* param = new unregister_vdi_param{0, name, service_ip, static_cast<uint32_t>(service_port)};
  pyx::RunOnManager([param](PyxManager* manager) { manager->UnregisterVdi(param); },
                    [param] { delete param; });
  // From here on neither the manager nor any driver touches the record:
  // both forget it synchronously, each on its own loop, before this returns.
  tarn::Worker* manager_worker = pyx::ManagerWorker();
  if (manager_worker != nullptr) {
    manager_worker->loop()->RunInLoop(
        [disk] {
          if (PyxManager* manager = pyxmanager.load(std::memory_order_acquire)) {
            manager->DetachDisk(disk);
          }
        },
        false);
  }
  const bool crc = is_crc != 0;
  for (PyxDriver* driver : pyxdrivers) {
    driver->worker()->loop()->RunInLoop(
        [driver, disk, &name, crc] {
          driver->DetachDisk(disk);
          driver->FreeDgs(name);
          driver->free_plane_route_cache(disk);
          driver->BitMapFree(disk);
          if (crc) {
            driver->CrcFree(disk);
            driver->segmentFree(disk);
            driver->streamFree(disk);
            driver->extentFree(disk);
            driver->offset_extentFree(disk);
          }
        },
        false);
  }
  pyx::RunOnManager([name](PyxManager* manager) { manager->FreeDgs(name); });
  delete disk->counter;
  disk->counter = nullptr;
  free(pyx::Load(disk->uuid));
  pyx::Store(disk->uuid, static_cast<char*>(nullptr));
  // A host may keep the record and open the disk again with pyx_init: it
  // then has to come up as a new disk, with its lock sets and integrity
  // vectors (made on the first size learnt) and whatever route term the
  // cluster gives now. `deleting` stays until the new registration.
  pyx::Store(disk->size, 0);
  pyx::Store(disk->die_unit_capacity, 0);
  pyx::Store(disk->die_capacity, 0);
  pyx::Store(disk->plane_capacity, 0);
  pyx::Store(disk->block_capacity, 0);
  for (uint64_t& term : disk->route_term) pyx::Store(term, 0);
}

int get_cpus_size(void) { return worker_num; }

int get_max_io_size(void) { return max_io_size; }

void tcmalloc_free_memory(void) {
  // gperftools' C entry point, when the host process has tcmalloc loaded;
  // the library never links it itself.
  using ReleaseFn = void (*)();
  const auto release =
      reinterpret_cast<ReleaseFn>(dlsym(RTLD_DEFAULT, "MallocExtension_ReleaseFreeMemory"));
  if (release != nullptr) release();
}

}  // extern "C"

uint64_t get_plane_num(bdev_pyx_io_channel* ch, uint64_t offset) {
  const Geometry geometry = LoadGeometry(ch->disk);
  // Without a usable geometry there is no plane to name (and no division).
  if (!geometry.Placeable()) return 0;
  return geometry.PlaneOf(offset);
}
