// A blocking client of the control service of a pyxsim program (the port its
// ready line names as "control"), for another process, such as a soak run,
// that injects faults into a cluster it does not own.
//
//   pyxsim::ControlClient ctl("127.0.0.1", control_port);
//   if (ctl.Connect() != 0) ...;
//   ctl.FailCalls(pyxsim::Role::kBlockServer, 0, "Write", -12016, 3);
//   uint64_t n = 0;
//   ctl.CallCount(pyxsim::Role::kBlockServer, 0, "Write", &n);
//
// The client runs its own worker thread; every call blocks the calling
// thread (any thread but that worker's) until the answer or the timeout.
// Calls return 0, a negative RPC error (-1 to -6, see tarn::RpcController),
// or the control service's own code (-1 for a refused control, as the
// matching Cluster / Faults method returns it). Calls are serialised.
#ifndef PYXSIM_CONTROL_CLIENT_H_
#define PYXSIM_CONTROL_CLIENT_H_

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "pyxsim/cluster.h"

namespace pyxsim {

// A disk as the program's cluster knows it.
struct DiskInfo {
  std::string name;
  std::string uuid;
  uint64_t size = 0;
  uint64_t dgs = 0;
  uint64_t route_term = 0;
  uint64_t planes = 0;
};

class ControlClient {
 public:
  ControlClient(const std::string& ip, uint16_t port, bool ipv6 = false,
                uint32_t timeout_ms = 10000);
  // Closes the connection and stops the worker thread.
  ~ControlClient();
  ControlClient(const ControlClient&) = delete;
  ControlClient& operator=(const ControlClient&) = delete;

  // Starts the worker and the connection; 0 or -1.
  int Connect();

  int Ping();
  int CreateDisk(const std::string& name, uint64_t size, uint64_t dgs = 1);
  int GetDisk(const std::string& name, DiskInfo* info);
  int ListDisks(std::vector<DiskInfo>* disks);
  int SetDiskDgs(const std::string& name, uint64_t dgs);
  // Cluster::NotifySnapshot in the program.
  int NotifySnapshot(const std::string& name, uint64_t dgs, int* retcode);
  // At most 16 MiB a call.
  int ReadStored(const std::string& name, uint64_t offset, uint64_t len, std::string* data);
  // Cluster::WriteStored in the program: offset and size 4 KiB aligned, at
  // most 16 MiB a call.
  int WriteStored(const std::string& name, uint64_t offset, const std::string& data);

  int FailCalls(Role role, int index, const std::string& method, int retcode, int times = 1,
                int delay_ms = 0);
  int DelayCalls(Role role, int index, const std::string& method, int delay_ms, int times = 1);
  int DropCalls(Role role, int index, const std::string& method, int times = 1);
  int CloseOnCalls(Role role, int index, const std::string& method, int times = 1);
  int InjectIoFault(int index, const std::string& method, IoFault fault, int times = 1);
  int ClearCallFaults();

  int StopServer(Role role, int index);
  int RestartServer(Role role, int index);
  int MarkDown(Role role, int index);
  int MarkUp(Role role, int index);
  int SetPrimaryBlockMaster(int index);

  int MovePlane(const std::string& disk, uint64_t plane, int block_server);
  int UnroutePlanes(const std::string& disk, const std::vector<uint64_t>& planes = {});
  int RestorePlanes(const std::string& disk, const std::vector<uint64_t>& planes = {});
  int ReportDiskMissing(const std::string& disk, bool missing);

  int CallCount(Role role, int index, const std::string& method, uint64_t* count);
  int ResetCounts();

  int SetRandomFaults(uint64_t seed, const RandomFaultRates& rates);
  // Stops the random faults and reports what they did.
  int StopRandomFaults(RandomFaultStats* stats = nullptr);
  int GetRandomStats(RandomFaultStats* stats);

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace pyxsim

#endif  // PYXSIM_CONTROL_CLIENT_H_
