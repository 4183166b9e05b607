// Placeholder bodies until the I/O path lands; replaced wholesale.
#include "io/pyx_driver.h"

#include "tarn/rpc/closure_guard.h"

struct PyxDriver::Impl {};

PyxDriver::PyxDriver(tarn::Transport tp, tarn::Worker* worker, int id)
    : transport_(tp), worker_(worker), id_(id), impl_(new Impl) {}
void PyxDriver::pyx_aio_read(bdev_pyx_io*) {}
void PyxDriver::pyx_aio_write_4k_align(bdev_pyx_io*) {}
void PyxDriver::rmw_4k_align_read(bdev_pyx_io*) {}
void PyxDriver::FailIo(bdev_pyx_io*) {}
void PyxDriver::malloc_plane_route_cache(bdev_pyx*) {}
void PyxDriver::free_plane_route_cache(bdev_pyx*) {}
void PyxDriver::DetachDisk(bdev_pyx*) {}
void PyxDriver::UpdateRouteCache(const std::string&,
                                 std::shared_ptr<vovorav::BlockMasterQueryPlaneRouteResponse>) {}
void PyxDriver::BitMapCreate(bdev_pyx*, uint64_t) {}
void PyxDriver::BitMapFree(bdev_pyx*) {}
void PyxDriver::VectorCreate(bdev_pyx*, uint64_t) {}
void PyxDriver::segmentCreate(bdev_pyx*, uint64_t) {}
void PyxDriver::streamCreate(bdev_pyx*, uint64_t) {}
void PyxDriver::extentCreate(bdev_pyx*, uint64_t) {}
void PyxDriver::offset_extentCreate(bdev_pyx*, uint64_t) {}
void PyxDriver::CrcFree(bdev_pyx*) {}
void PyxDriver::segmentFree(bdev_pyx*) {}
void PyxDriver::streamFree(bdev_pyx*) {}
void PyxDriver::extentFree(bdev_pyx*) {}
void PyxDriver::offset_extentFree(bdev_pyx*) {}
void PyxDriver::CreateDgs(const std::string&, uint64_t) {}
void PyxDriver::UpdateDgs(const std::string&, uint64_t, std::shared_ptr<tarn::ClosureGuard>) {}
void PyxDriver::FreeDgs(const std::string&) {}
void PyxDriver::pyx_set_client_manager(int, const std::string&, int, int) {}
void PyxDriver::pyx_set_client_managerv6(const ::Ipv6Addr&, const std::string&, int, int) {}
uint64_t PyxDriver::dgs_of(const std::string&) const { return 0; }
bool PyxDriver::has_route_cache(const std::string&) const { return false; }
const vovorav::PlaneRouteDetail* PyxDriver::route_of(const std::string&, uint64_t) const {
  return nullptr;
}
size_t PyxDriver::client_group_count() const { return 0; }
