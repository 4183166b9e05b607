// PyxDriver: the I/O driver of one I/O worker.
//
// One per I/O worker, created at start-up and never destroyed. Every read
// and write of every disk is posted by send_pyx_io to the loop of the
// driver chosen for it, and runs there to its end: admission against
// max_flighting, the plane route, one block-server call, the response
// ladder, retries and completion onto the host's ring. Every method runs on
// the driver's own loop (the manager and pyx_free reach it by posting), so
// no lock guards its state.
//
// Disks are known to a driver by their record pointer from
// malloc_plane_route_cache until DetachDisk; a response, a drain or a task
// that finds the record no longer attached completes its I/O with -1 and
// never dereferences the record (the host may have freed it).
#ifndef PYXDRIVER_IO_PYX_DRIVER_H_
#define PYXDRIVER_IO_PYX_DRIVER_H_

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

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
  PyxDriver(tarn::Transport tp, tarn::Worker* worker, int id);
  PyxDriver(const PyxDriver&) = delete;
  PyxDriver& operator=(const PyxDriver&) = delete;

  int id() const { return id_; }
  tarn::Worker* worker() const { return worker_; }

  // ---- I/O entry points (posted by send_pyx_io, issued again by drains).
  void pyx_aio_read(bdev_pyx_io* io);
  void pyx_aio_write_4k_align(bdev_pyx_io* io);
  void rmw_4k_align_read(bdev_pyx_io* io);
  // Completes an I/O refused before it reached the cluster (bad geometry,
  // bad type, bad length, deleting disk ...): status -1, completion ring.
  void FailIo(bdev_pyx_io* io);

  // ---- Per-disk state, posted by pyx_init, the manager and pyx_free.
  void malloc_plane_route_cache(bdev_pyx* disk);
  void free_plane_route_cache(bdev_pyx* disk);
  // pyx_free runs this synchronously on the driver's loop before it
  // returns: from then on the driver never touches the record.
  void DetachDisk(bdev_pyx* disk);
  void UpdateRouteCache(const std::string& name,
                        std::shared_ptr<vovorav::BlockMasterQueryPlaneRouteResponse> resp);
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

  // ---- Read access for tests (driver's loop).
  uint64_t dgs_of(const std::string& name) const;
  bool has_route_cache(const std::string& name) const;
  const vovorav::PlaneRouteDetail* route_of(const std::string& name, uint64_t plane) const;
  size_t client_group_count() const;

  // The rest of the class (metrics, queues, maps, handlers) is private to
  // the I/O path; see pyx_driver.cc and its companions.
  struct Impl;

 private:
  tarn::Transport transport_;
  tarn::Worker* worker_;
  int id_;
  std::unique_ptr<Impl> impl_;
};

#endif  // PYXDRIVER_IO_PYX_DRIVER_H_
