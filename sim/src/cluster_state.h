// Everything a simulated cluster shares between its servers, its fault
// controls and its owner.
#ifndef PYXSIM_CLUSTER_STATE_H_
#define PYXSIM_CLUSTER_STATE_H_

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "disk_table.h"
#include "fault_table.h"
#include "pyxsim/cluster.h"
#include "server_slot.h"

namespace tarn {
class WorkerThread;
}  // namespace tarn

namespace pyxsim {

class ClusterState {
 public:
  explicit ClusterState(const ClusterOptions& options);
  ~ClusterState();

  // Null for an unknown role index.
  ServerSlot* slot(Role role, int index) const;
  int count(Role role) const;

  // The listening address as the schema's records carry it: IPv4 as the
  // 32-bit value whose memory is the address in network order, IPv6 as four
  // 32-bit words laid end to end.
  uint32_t ip4() const { return ip4_; }
  const uint32_t* ip6() const { return ip6_; }
  // "ip:port" ("[ip]:port" for IPv6).
  std::string EndpointText(const std::string& ip, uint32_t port) const;

  const ClusterOptions options;
  DiskTable disks;
  FaultTable faults;
  std::atomic<int> primary_block_master{0};

  // The client that registered a disk last: where its snapshot service
  // listens.
  struct Registration {
    std::string ip;
    uint32_t port = 0;
    bool ipv6 = false;
    std::string text;  // "ip:port", "[ip]:port" for IPv6
  };
  std::mutex registrations_mutex;
  std::map<std::string, Registration> registrations;

  // Life of the cluster.
  std::mutex life_mutex;
  bool started = false;
  bool stopped = false;
  std::unique_ptr<tarn::WorkerThread> acceptor_thread;
  std::vector<std::unique_ptr<ServerSlot>> slots[3];

  // Cluster events of the random faults.
  std::mutex events_mutex;
  std::condition_variable events_cond;
  bool events_stop = false;
  std::thread events_thread;

 private:
  uint32_t ip4_ = 0;
  uint32_t ip6_[4] = {0, 0, 0, 0};
};

}  // namespace pyxsim

#endif  // PYXSIM_CLUSTER_STATE_H_
