// Serves the control service of a cluster (pyxsim.ControlService, see
// sim/proto/simctl.proto) on its own port, so that another process can
// inject faults, read counters and stored bytes, and add disks. The pyxsim
// program runs one; pyxsim::ControlClient is its client.
#ifndef PYXSIM_CONTROL_SERVER_H_
#define PYXSIM_CONTROL_SERVER_H_

#include <cstdint>
#include <memory>
#include <string>

namespace pyxsim {

class Cluster;

class ControlServer {
 public:
  // cluster is not owned and must outlive the server. Port 0 takes a free
  // port.
  ControlServer(Cluster* cluster, const std::string& ip, uint16_t port, bool ipv6 = false);
  // Stops the server.
  ~ControlServer();
  ControlServer(const ControlServer&) = delete;
  ControlServer& operator=(const ControlServer&) = delete;

  // 0, or -1 when the port cannot be bound.
  int Start();
  void Stop();
  // The listening port once started.
  uint16_t port() const;

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace pyxsim

#endif  // PYXSIM_CONTROL_SERVER_H_
