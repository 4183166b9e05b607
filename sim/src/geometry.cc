#include "pyxsim/cluster.h"

namespace pyxsim {

bool Geometry::Valid() const {
  return die_unit_capacity != 0 && die_capacity != 0 && plane_capacity != 0 &&
         block_capacity != 0 && die_capacity % plane_capacity == 0 &&
         block_capacity % kBlockSize == 0 && plane_capacity % block_capacity == 0;
}

uint64_t Geometry::PlaneOf(uint64_t offset) const {
  const uint64_t n = planes_per_die();
  return ((offset % die_capacity) / block_capacity) % n + (offset / die_capacity) * n;
}

uint64_t Geometry::PlaneCount(uint64_t disk_size) const {
  return (disk_size + die_capacity - 1) / die_capacity * planes_per_die();
}

uint64_t Geometry::PlaneStart(uint64_t plane) const {
  const uint64_t n = planes_per_die();
  return plane / n * die_capacity + plane % n * block_capacity;
}

const char* RoleName(Role role) {
  switch (role) {
    case Role::kVolumeManager:
      return "volume_manager";
    case Role::kBlockMaster:
      return "block_master";
    case Role::kBlockServer:
      return "block_server";
  }
  return "unknown";
}

const char* IoFaultName(IoFault fault) {
  switch (fault) {
    case IoFault::kWrongSize:
      return "wrong_size";
    case IoFault::kShortAttachment:
      return "short_attachment";
    case IoFault::kLongAttachment:
      return "long_attachment";
    case IoFault::kFlipByte:
      return "flip_byte";
    case IoFault::kForceZerod:
      return "force_zerod";
    case IoFault::kStaleTerm:
      return "stale_term";
  }
  return "unknown";
}

}  // namespace pyxsim
