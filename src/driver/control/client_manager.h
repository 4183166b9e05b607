// ClientManager: a group of connected RPC clients to one server address,
// handed out round robin. Built and used on one worker's loop.
#ifndef PYXDRIVER_CONTROL_CLIENT_MANAGER_H_
#define PYXDRIVER_CONTROL_CLIENT_MANAGER_H_

#include <cstdint>
#include <string>
#include <vector>

#include "tarn/sock_address.h"
#include "tarn/types.h"

namespace tarn {
class RpcClient;
class Worker;
}  // namespace tarn

class ClientManager {
 public:
  // On worker's loop: n clients named `name`, each with rpc_timeout,
  // rpc_depth (0: no limit) and conn_idle_time (0: never), connected at once.
  ClientManager(tarn::Transport tp, tarn::Worker* worker, const tarn::SockAddress& addr,
                const std::string& name, int n);
  // On the worker's loop: deletes the clients.
  ~ClientManager();
  ClientManager(const ClientManager&) = delete;
  ClientManager& operator=(const ClientManager&) = delete;

  // When next >= count, client 0 and next = 1; else client next, next + 1.
  tarn::RpcClient* GetClient();

  int32_t next = 0;
  std::vector<tarn::RpcClient*> clients;
  tarn::Worker* worker;
  int32_t count;
};

#endif  // PYXDRIVER_CONTROL_CLIENT_MANAGER_H_
