// Test hooks of the emulated NVMe controllers (not part of SPDK).
//
// A test registers controllers at PCI addresses; spdk_nvme_probe then finds
// them like real PCIe devices. Each namespace is a regular file holding its
// data (sector after sector) and, when it has metadata, a side file
// "<path>.md" holding md_size bytes per sector.
//
//   spdk_standin::ControllerShape shape;
//   shape.traddr = "0000:01:00.0";
//   shape.namespaces.push_back({dir + "/ns1", 512, 8, 8192});
//   ASSERT_EQ(0, spdk_standin::add_controller(shape));
//   ...
//   spdk_standin::remove_controller("0000:01:00.0");  // once detached
#ifndef PLATFORM_SPDK_NVME_STANDIN_H
#define PLATFORM_SPDK_NVME_STANDIN_H

#include <stdint.h>

#include <string>
#include <vector>

namespace spdk_standin {

struct NamespaceSpec {
  std::string path;          // created when missing, sized to the namespace
  uint32_t sector_size = 512;  // 512 or 4096
  uint32_t md_size = 0;        // 0, 8 or 64 bytes per sector
  uint64_t num_sectors = 0;    // at least 1
  bool active = true;
};

struct ControllerShape {
  std::string traddr;  // PCI address, "DDDD:BB:DD.F" or "BB:DD.F"
  std::string model = "Emulated NVMe Controller";
  std::string serial = "EMU00000001";
  // Largest transfer of one command: a power of two, at least 4096.
  uint32_t max_xfer_size = 131072;
  // Largest I/O queue (entries) the controller supports, at least 2.
  uint32_t max_queue_entries = 1024;
  // I/O queue pairs the controller can have allocated at once.
  uint32_t max_io_qpairs = 128;
  // Namespace ids 1, 2, ... in order.
  std::vector<NamespaceSpec> namespaces;
  // Health: composite temperature and its over-temperature threshold in
  // kelvin (a threshold of 0: the feature is not supported), the critical
  // warning bits and the percentage used of the health log page.
  uint16_t temperature = 310;
  uint16_t temperature_threshold = 343;
  uint8_t critical_warning = 0;
  uint8_t percentage_used = 0;
};

// 0, -EEXIST when a controller is registered at the address, -EINVAL for a
// bad shape, or a negative errno from creating the files.
int add_controller(const ControllerShape& shape);
// Forgets a controller (its files stay). 0, -ENOENT, or -EBUSY while it is
// attached.
int remove_controller(const std::string& traddr);

// The next `count` commands accepted by the controller (on any of its queue
// pairs) complete with this status instead of running.
int inject_status(const std::string& traddr, uint16_t sct, uint16_t sc, int count = 1);
// The next `count` submissions to the controller return `rc` (a negative
// errno) without being queued.
int inject_submit_error(const std::string& traddr, int rc, int count = 1);
// Fails the controller (or brings it back): a failed controller refuses
// commands with -ENXIO, aborts the outstanding ones at the next completion
// pass, and allocates no queue pair.
int set_controller_failed(const std::string& traddr, bool failed);

struct ControllerStats {
  int probes = 0;    // times reported to a probe callback
  int attaches = 0;
  int detaches = 0;
  bool attached = false;
  uint32_t io_qpairs = 0;  // allocated now
  uint64_t commands = 0;   // accepted over the controller's life
  // Reads and writes run on the medium, a command longer than the largest
  // transfer counting once per piece the driver split it into.
  uint64_t pieces = 0;
};
// False when no controller is registered at the address.
bool controller_stats(const std::string& traddr, ControllerStats* out);

}  // namespace spdk_standin

#endif  // PLATFORM_SPDK_NVME_STANDIN_H
