// Shared pieces of the cluster stand-in's tests: a caller that issues real
// RPCs to the cluster's servers from the test thread and waits for them.
#ifndef TESTS_SIM_SIM_TEST_UTIL_H_
#define TESTS_SIM_SIM_TEST_UTIL_H_

#include <google/protobuf/service.h>

#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "pyxsim/cluster.h"
#include "tarn/event/event_worker.h"
#include "tarn/loop.h"
#include "tarn/rpc/rpc_client.h"
#include "tarn/rpc/rpc_controller.h"
#include "tarn/sock_address.h"
#include "tarn/worker.h"
#include "tarn/worker_thread.h"
#include "volume.pb.h"
#include "vovorav.pb.h"

namespace simtest {

// The cluster's block, the unit of every I/O the tests send.
inline constexpr uint64_t kBlock = pyxsim::kBlockSize;

// The outcome of one call.
struct CallResult {
  int error = 0;           // controller error code, 0 when the call completed
  std::string attachment;  // the response's attachments, back to back
};

// Issues calls on its own client worker, one RPC client per port, and waits
// for each. Not for concurrent use.
class Caller {
 public:
  explicit Caller(const std::string& ip = "127.0.0.1", bool ipv6 = false) : ip_(ip), ipv6_(ipv6) {
    thread_.reset(new tarn::WorkerThread("simtest-cli", nullptr, tarn::WorkerOption(), false));
    worker_ = thread_->Start();
  }
  ~Caller() {
    worker_->loop()->RunInLoop([this] { clients_.clear(); }, false);
    thread_->Stop();
  }

  template <typename Stub, typename Request, typename Response>
  CallResult Call(uint16_t port,
                  void (Stub::*method)(google::protobuf::RpcController*, const Request*, Response*,
                                       google::protobuf::Closure*),
                  const Request& request, Response* response,
                  const std::string& attachment = std::string(), uint32_t timeout_ms = 30000) {
    tarn::RpcController* ctrl = nullptr;
    tarn::RpcClient* client = nullptr;
    worker_->loop()->RunInLoop(
        [&] {
          client = ClientFor(port, timeout_ms);
          ctrl = new tarn::RpcController(client->conn());
          if (!attachment.empty()) {
            void* p = ctrl->Malloc(static_cast<uint32_t>(attachment.size()));
            memcpy(p, attachment.data(), attachment.size());
            ctrl->AppendRequestAttachment(p, static_cast<uint32_t>(attachment.size()), true);
          }
        },
        false);
    tarn::RpcController::DoSyncCall(
        [&] {
          Stub stub(client);
          (stub.*method)(ctrl, &request, response, ctrl->done());
        },
        ctrl, worker_);
    CallResult result;
    result.error = ctrl->Failed() ? ctrl->error_code() : 0;
    for (const tarn::AttachmentEntry& entry : ctrl->response_attachments()) {
      result.attachment.append(static_cast<const char*>(entry.data), entry.len);
    }
    delete ctrl;
    return result;
  }

  // Drops the client of a port (its next call connects anew).
  void Forget(uint16_t port) {
    worker_->loop()->RunInLoop([this, port] { clients_.erase(port); }, false);
  }

 private:
  tarn::RpcClient* ClientFor(uint16_t port, uint32_t timeout_ms) {
    std::unique_ptr<tarn::RpcClient>& client = clients_[port];
    if (!client) {
      client.reset(new tarn::RpcClient(tarn::kTcp, worker_, tarn::SockAddress(ip_, port, ipv6_),
                                       "simtest"));
      client->Connect();
    }
    client->set_timeout_ms(timeout_ms);
    return client.get();
  }

  std::string ip_;
  bool ipv6_;
  std::unique_ptr<tarn::WorkerThread> thread_;
  tarn::Worker* worker_ = nullptr;
  std::map<uint16_t, std::unique_ptr<tarn::RpcClient>> clients_;
};

// Bytes that differ from block to block and from seed to seed.
inline std::string Pattern(size_t len, uint32_t seed) {
  std::string out(len, '\0');
  uint32_t x = seed * 2654435761u + 1;
  for (size_t i = 0; i < len; ++i) {
    x = x * 1103515245u + 12345u;
    out[i] = static_cast<char>(x >> 24);
  }
  return out;
}

}  // namespace simtest

#endif  // TESTS_SIM_SIM_TEST_UTIL_H_
