// PyxDriver: the I/O driver of one I/O worker.
//
// One per I/O worker, created at start-up and kept for the life of the
// process. Every read and write of every disk is posted by send_pyx_io to the
// loop of the driver chosen for it, and runs there to its end: admission
// against max_flighting, the plane route, one block-server call, the response
// ladder, retries and completion onto the host's ring. Every method runs on
// the driver's own loop (the manager and pyx_free reach it by posting), so no
// lock guards its state; UpdateRouteCache alone may be called from any thread
// and posts its work.
//
// Disks are known to a driver by their record pointer from
// malloc_plane_route_cache until DetachDisk; a response, a drain or a task
// that finds the record no longer attached completes its I/O with -1 and
// never dereferences the record (the host may have freed it).
//
// Every I/O handed to a driver completes exactly once: status untouched on
// success, -1 on failure, then one entry on ch->rings[id]. A completion ring
// that is full holds nothing up and loses nothing: the I/O waits on the
// driver's overflow list until the host has made room.
#ifndef PYXDRIVER_IO_PYX_DRIVER_H_
#define PYXDRIVER_IO_PYX_DRIVER_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "pyxdriver/pyxdriver.h"
#include "tarn/types.h"
#include "vovorav.pb.h"

namespace tarn {
class ClosureGuard;
class Worker;
}  // namespace tarn

class ClientManager;

class PyxDriver {
 public:
  // On any thread (start-up); the timers start on the worker's loop.
  // Reads retry_sleep_ms and polling_interval_ms once, here.
  PyxDriver(tarn::Transport tp, tarn::Worker* worker, int id);
  // Start-up never destroys a driver; tests and benchmarks do. Runs on the
  // worker's loop (waiting for it from any other thread): every I/O the
  // driver still holds completes with -1, client groups are deleted.
  ~PyxDriver();
  PyxDriver(const PyxDriver&) = delete;
  PyxDriver& operator=(const PyxDriver&) = delete;

  int id() const { return id_; }
  tarn::Worker* worker() const { return worker_; }

  // pyx_finish_env runs this on the driver's loop before the colonies stop:
  // every I/O the driver holds (at a block server, in the pending queue, on
  // the retry ring) completes with -1 now, its block-server clients go, and
  // every I/O handed to it later fails at once. Once only; later calls do
  // nothing.
  void Shutdown();

  // ---- I/O entry points (posted by send_pyx_io, issued again by drains).
  void pyx_aio_read(bdev_pyx_io* io);
  void pyx_aio_write_4k_align(bdev_pyx_io* io);
  void rmw_4k_align_read(bdev_pyx_io* io);
  // Completes an I/O refused before it reached the cluster (bad geometry,
  // bad type, bad length, deleting disk ...): status -1, completion ring.
  // Never touches the I/O's disk record.
  void FailIo(bdev_pyx_io* io);

  // ---- Timing records (any thread). send_pyx_io takes the record of an
  // I/O it hands to this driver; the completion step gives it back (and
  // deletes a record that is not the pool's). Taking never fails: beyond
  // the pool the record comes from the heap.
  bdev_pyx_io_stats* TakeStats();
  void GiveStats(bdev_pyx_io_stats* stats);
  size_t free_stats() const;

  // ---- Admission, retry and completion (driver's loop).
  // Puts an I/O on the retry ring; a full ring fails it with -1.
  void retry_io_enqueue(bdev_pyx_io* io);
  // The periodic drain of the retry ring (every retry_sleep_ms).
  void pyx_retry_io();
  // The drain after a lock release: only lock waiters are issued.
  void pyx_retry_io_now();
  // The periodic drain of the pending queue (every polling_interval_ms).
  void PollingPendingIo();
  // Releases the block locks that the unaligned write `io` of this disk
  // holds, never a block another write holds; 1 when something was
  // released.
  int BitMapReset(const std::string& name, const bdev_pyx_io* io);

  // ---- Per-disk state, posted by pyx_init, the manager and pyx_free.
  void malloc_plane_route_cache(bdev_pyx* disk);
  void free_plane_route_cache(bdev_pyx* disk);
  // pyx_free runs this synchronously on the driver's loop before it
  // returns: from then on the driver never touches the record. I/O of the
  // disk still queued here completes with -1; responses still to come
  // complete theirs with -1.
  void DetachDisk(bdev_pyx* disk);
  // Any thread: copies the answer's routes into this driver's cache on its
  // loop; the shared answer lives until every driver has copied it.
  void UpdateRouteCache(const std::string& name,
                        std::shared_ptr<vovorav::BlockMasterQueryPlaneRouteResponse> resp);
  // Attaches the disk when it is not yet (its lock set comes with it);
  // never clears a lock set some write holds blocks of.
  void BitMapCreate(bdev_pyx* disk, uint64_t size);
  void BitMapFree(bdev_pyx* disk);
  void VectorCreate(bdev_pyx* disk, uint64_t size);
  void segmentCreate(bdev_pyx* disk, uint64_t size);
  void streamCreate(bdev_pyx* disk, uint64_t size);
  void extentCreate(bdev_pyx* disk, uint64_t size);
  void offset_extentCreate(bdev_pyx* disk, uint64_t size);
  void CrcFree(bdev_pyx* disk);
  void segmentFree(bdev_pyx* disk);
  void streamFree(bdev_pyx* disk);
  void extentFree(bdev_pyx* disk);
  void offset_extentFree(bdev_pyx* disk);
  void CreateDgs(const std::string& name, uint64_t dgs);
  void UpdateDgs(const std::string& name, uint64_t dgs, std::shared_ptr<tarn::ClosureGuard> guard);
  void FreeDgs(const std::string& name);
  void pyx_set_client_manager(int ip, const std::string& ip_text, int port, int n);
  void pyx_set_client_managerv6(const ::Ipv6Addr& ip, const std::string& ip_text, int port,
                                int n);

  // ---- Read access for tests and tools (driver's loop).
  uint64_t dgs_of(const std::string& name) const;
  bool has_route_cache(const std::string& name) const;
  const vovorav::PlaneRouteDetail* route_of(const std::string& name, uint64_t plane) const;
  size_t client_group_count() const;
  // The client group of an IPv4 endpoint (port with gazelle_port added).
  ClientManager* client_group(uint32_t ip, uint32_t port) const;
  // Integrity vectors: entries, or 0 when the disk or block has none.
  size_t vector_size(const std::string& name) const;
  uint32_t crc_at(const std::string& name, uint64_t block) const;
  struct BlockLocation {
    uint8_t segment_id = 0;
    uint8_t stream_id = 0;
    uint8_t extent_id = 0;
    uint32_t offset_in_extent = 0;
  };
  BlockLocation location_at(const std::string& name, uint64_t block) const;
  bool block_locked(const std::string& name, uint64_t block) const;
  // Admitted I/O awaiting a response, I/O in the pending queue, on the retry
  // ring, on the overflow list, and block-server calls awaiting an answer.
  int64_t in_flight() const;
  size_t pending_count() const;
  size_t retry_count() const;
  size_t overflow_count() const;
  size_t outstanding_calls() const;
  // Calls of drivers torn down meanwhile whose closure has yet to run (any
  // thread).
  static size_t orphaned_calls();

  // The rest of the driver (metrics, queues, maps, handlers) is private to
  // the I/O path; see driver_impl.h.
  struct Impl;

 private:
  tarn::Transport transport_;
  tarn::Worker* worker_;
  int id_;
  std::unique_ptr<Impl> impl_;
};

#endif  // PYXDRIVER_IO_PYX_DRIVER_H_
