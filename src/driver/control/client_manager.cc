#include "control/client_manager.h"

#include "control/config.h"
#include "tarn/loop.h"
#include "tarn/rpc/rpc_client.h"
#include "tarn/worker.h"

ClientManager::ClientManager(tarn::Transport tp, tarn::Worker* worker,
                             const tarn::SockAddress& addr, const std::string& name, int n)
    : worker(worker), count(n) {
  worker->loop()->AssertInLoopThread();
  clients.reserve(n > 0 ? n : 0);
  for (int i = 0; i < n; ++i) {
    auto* client = new tarn::RpcClient(tp, worker, addr, name);
    client->set_timeout_ms(static_cast<uint32_t>(rpc_timeout));
    client->set_depth(rpc_depth);  // 0: no limit
    client->set_idle_limit_s(conn_idle_time == 0 ? tarn::RpcClient::kNeverIdle : conn_idle_time);
    client->Connect();
    clients.push_back(client);
  }
}

ClientManager::~ClientManager() {
  worker->loop()->AssertInLoopThread();
  for (tarn::RpcClient* client : clients) delete client;
}

tarn::RpcClient* ClientManager::GetClient() {
  if (clients.empty()) return nullptr;
  if (next >= count) {
    next = 1;
    return clients[0];
  }
  return clients[next++];
}
