// The [ORLA] section a start-up case writes for the library: its volume
// managers, the transport, the driver's own service address and its worker
// count, then the case's own lines.
#ifndef TESTS_DRIVER_START_INI_H_
#define TESTS_DRIVER_START_INI_H_

#include <cstdint>
#include <sstream>
#include <string>

#include "support/ports.h"
#include "tarn/types.h"

namespace ctltest {

// Over RDMA the I/O runs on the emulated device, named as the driver names
// it: its loopback GID (::ffff:127.0.0.1) is index 3 of port 1. A
// service_port of 0 takes a free one.
inline std::string StartIni(tarn::Transport transport, int workers, const std::string& vm_ips,
                            const std::string& vm_ports, const std::string& extra,
                            const std::string& service_ip = "127.0.0.1",
                            uint16_t service_port = 0) {
  std::ostringstream os;
  os << "[ORLA]\nuse_orla Yes\nvolume_manager_ips " << vm_ips << "\nvolume_manager_ports "
     << vm_ports << "\n";
  if (transport == tarn::kRdma) {
    os << "rdma_device emu_0\nrdma_port 1\nrdma_index 3\nis_tcp No\n";
  } else {
    os << "rdma_device none\nis_tcp Yes\n";
  }
  os << "service_ip " << service_ip << "\nservice_port "
     << (service_port != 0 ? service_port : testsupport::PickFreePort()) << "\nworker_num "
     << workers << "\n"
     << extra;
  return os.str();
}

}  // namespace ctltest

#endif  // TESTS_DRIVER_START_INI_H_
