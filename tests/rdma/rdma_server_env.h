// What the RDMA server tests share: colony options over the emulated device,
// an RDMA server on a loopback port with an acceptor of its own, callbacks
// that record what the connections report, and raw handshake records.
#ifndef TESTS_RDMA_RDMA_SERVER_ENV_H_
#define TESTS_RDMA_RDMA_SERVER_ENV_H_

#include <arpa/inet.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/wait.h"
#include "support/worker.h"
#include "tarn/connection.h"
#include "tarn/polling/polling_worker.h"
#include "tarn/polling/rdma_handshake.h"
#include "tarn/polling/rdma_server.h"
#include "tarn/rpc/attachment.h"
#include "tarn/sock_address.h"
#include "verbs_emu/verbs_emu.h"

namespace rdmatest {

// Polling workers spin: never more than the machine's cores, at most 2.
inline uint32_t PollingWorkers(uint32_t wanted) {
  uint32_t cores = std::max(1u, std::thread::hardware_concurrency());
  return std::min({wanted, cores, 2u});
}

// Small pools; the loopback GID of the emulated device found by address.
inline tarn::WorkerOption ColonyOption(bool use_srq) {
  tarn::WorkerOption option;
  option.name_prefix = "rdma-test-";
  option.enable_rdma = 1;
  option.obj_pool_size = 256;
  option.max_io_chunk_count = 16;
  option.report_interval = 0;
  option.rdma_option.ip_addr = "127.0.0.1";
  option.rdma_option.use_srq = use_srq;
  option.rdma_option.recv_depth = 16;
  option.rdma_option.max_send_data_size = 65536;
  return option;
}

// The peer receive size every test colony announces.
constexpr uint32_t kRecvSize = 65536 + 8192;

// What a set of connection callbacks saw; any thread.
struct Events {
  std::mutex mutex;
  std::vector<std::shared_ptr<tarn::Connection>> established;
  std::vector<std::shared_ptr<tarn::Connection>> closed;
  std::vector<std::string> messages;

  size_t Count(const std::vector<std::shared_ptr<tarn::Connection>>& v) {
    std::lock_guard<std::mutex> lock(mutex);
    return v.size();
  }
  size_t established_count() { return Count(established); }
  size_t closed_count() { return Count(closed); }
  size_t message_count() {
    std::lock_guard<std::mutex> lock(mutex);
    return messages.size();
  }
  std::shared_ptr<tarn::Connection> last_established() {
    std::lock_guard<std::mutex> lock(mutex);
    return established.empty() ? nullptr : established.back();
  }
  std::shared_ptr<tarn::Connection> last_closed() {
    std::lock_guard<std::mutex> lock(mutex);
    return closed.empty() ? nullptr : closed.back();
  }
  std::vector<std::string> TakeMessages() {
    std::lock_guard<std::mutex> lock(mutex);
    return messages;
  }
};

// Reads the whole message (and frees it on the connection's worker).
inline std::string TakeMessage(const std::shared_ptr<tarn::Connection>& conn) {
  void* data = nullptr;
  uint32_t len = 0;
  if (conn->ReceiveDataZeroCopy(&data, &len) < 0) return std::string();
  std::string text(static_cast<const char*>(data), len);
  conn->worker()->Free(data);
  return text;
}

// Sends text from worker memory (registered) on the connection's worker;
// the send's completion code lands in *result.
inline int SendText(const std::shared_ptr<tarn::Connection>& conn, const std::string& text,
                    std::atomic<int>* result) {
  tarn::Worker* worker = conn->worker();
  void* buf = worker->Malloc(text.size());
  std::memcpy(buf, text.data(), text.size());
  tarn::SgEntry sge;
  sge.addr = reinterpret_cast<uint64_t>(buf);
  sge.len = text.size();
  return conn->SendSgeZeroCopy(&sge, 1, [worker, buf, result](int code) {
    worker->Free(buf);
    if (result != nullptr) result->store(code);
  });
}

// A raw request from a made-up peer queue pair at the loopback GID.
inline tarn::RdmaHandshakeRecord RawRecord(uint8_t type, uint32_t qp_num = 0x123456) {
  tarn::RdmaHandshakeRecord record;
  record.type = type;
  record.lid = 7;
  record.qp_num = qp_num;
  inet_pton(AF_INET6, "::ffff:127.0.0.1", record.gid);
  record.max_recv_size = kRecvSize;
  return record;
}

inline std::string Bytes(const tarn::RdmaHandshakeRecord& record) {
  return std::string(reinterpret_cast<const char*>(&record), sizeof(record));
}

inline int LiveQps() { return verbs_emu::GetCounters().qps; }

}  // namespace rdmatest

#endif  // TESTS_RDMA_RDMA_SERVER_ENV_H_
