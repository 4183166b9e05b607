// Two RDMA connections joined back to back over the emulated verbs device,
// each on its own polling worker (one worker when the machine has a single
// CPU), with the queue pairs brought to RTS by hand and every callback
// recorded. Used by the rdma_connection_* tests.
#ifndef TESTS_RDMA_RDMA_CONNECTION_PAIR_H_
#define TESTS_RDMA_RDMA_CONNECTION_PAIR_H_

#include <gtest/gtest.h>
#include <sched.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "support/wait.h"
#include "support/worker.h"
#include "tarn/memory_pool.h"
#include "tarn/polling/polling_worker.h"
#include "tarn/polling/polling_worker_colony.h"
#include "tarn/polling/rdma_connection.h"
#include "tarn/polling/rdma_handle.h"
#include "tarn/polling/rdma_queue_pair.h"
#include "tarn/rpc/attachment.h"
#include "verbs_emu/verbs_emu.h"

namespace rdmatest {

inline uint32_t UsableCpus() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof(set), &set) != 0) return 1;
  return static_cast<uint32_t>(CPU_COUNT(&set));
}

inline tarn::WorkerOption Option(bool use_srq, uint32_t recv_depth = 16) {
  tarn::WorkerOption option;
  option.name_prefix = "rc-";
  option.enable_rdma = 1;
  option.obj_pool_size = 1024;
  option.max_io_chunk_count = 4;
  option.rdma_option.device_name = "emu_0";
  option.rdma_option.port_id = 1;
  option.rdma_option.gid_index = 3;  // ::ffff:127.0.0.1
  option.rdma_option.use_srq = use_srq;
  option.rdma_option.recv_depth = recv_depth;
  option.rdma_option.rnr_retry = 7;  // a busy receiver is waited for, never an error
  return option;
}

// What one side saw, written on its worker's thread.
struct Record {
  std::mutex mu;
  std::vector<std::string> messages;
  int established = 0;
  int closed = 0;

  size_t message_count() {
    std::lock_guard<std::mutex> lock(mu);
    return messages.size();
  }
  int closed_count() {
    std::lock_guard<std::mutex> lock(mu);
    return closed;
  }
  int established_count() {
    std::lock_guard<std::mutex> lock(mu);
    return established;
  }
};

// Send results by tag, written on the sender's thread.
class Results {
 public:
  tarn::SendCompleteCallback Callback(int tag) {
    return [this, tag](int code) {
      std::lock_guard<std::mutex> lock(mu_);
      codes_[tag].push_back(code);
    };
  }
  std::vector<int> Of(int tag) {
    std::lock_guard<std::mutex> lock(mu_);
    return codes_[tag];
  }
  size_t Count() {
    std::lock_guard<std::mutex> lock(mu_);
    size_t n = 0;
    for (auto& entry : codes_) n += entry.second.size();
    return n;
  }

 private:
  std::mutex mu_;
  std::map<int, std::vector<int>> codes_;
};

class ConnectionPair {
 public:
  struct Side {
    tarn::PollingWorker* worker = nullptr;
    std::shared_ptr<tarn::RdmaConnection> conn;
    std::shared_ptr<tarn::RdmaQueuePair> qp;
    Record record;
  };

  explicit ConnectionPair(const tarn::WorkerOption& option)
      : option_(option), colony_(std::min<uint32_t>(2, UsableCpus()), option, nullptr) {
    colony_.Start();
    a_.worker = static_cast<tarn::PollingWorker*>(colony_.GetWorker(0u));
    b_.worker = static_cast<tarn::PollingWorker*>(colony_.GetWorker(colony_.worker_num() - 1));
  }
  ~ConnectionPair() { colony_.Stop(); }

  // Connections in `state` (kAccepted or kConnecting), queue pairs at RTS,
  // receives posted, both in their workers' tables; `peer_recv_size` is
  // what each announces to the other (0: nothing). Called again, it builds
  // a new pair on the same workers (the records start afresh).
  // With `table_b` false, b's connection stays out of its worker's table.
  void Build(int state, uint32_t peer_recv_size = 0, bool table_b = true) {
    MakeSide(&a_, "rdma-conn-a", state);
    MakeSide(&b_, "rdma-conn-b", state);
    Join(&a_, &b_, peer_recv_size);
    Join(&b_, &a_, peer_recv_size);
    for (Side* side : {&a_, &b_}) {
      ASSERT_TRUE(Run(side, [side] { ASSERT_EQ(side->qp->ModifyQpToRts(), 0); }));
      side->worker->rdma_handle()->PostQpRecvWr(side->qp);  // waits; nothing with SRQ
      if (side == &b_ && !table_b) continue;
      ASSERT_TRUE(Run(side, [side] { side->worker->AddConnection(side->conn); }));
    }
  }
  void Establish() {
    for (Side* side : {&a_, &b_}) side->worker->SetConnectionPeerReady(side->qp->qp_num());
    ASSERT_TRUE(testsupport::WaitFor([this] {
      return a_.record.established_count() == 1 && b_.record.established_count() == 1;
    }));
  }

  bool Run(Side* side, const std::function<void()>& fn) {
    return testsupport::RunSync(side->worker, fn);
  }

  // On the side's thread: a message of `len` bytes of `fill` in worker
  // memory (freed when its send completes), sent as `pieces` entries.
  int Send(Side* side, uint32_t len, char fill, uint32_t pieces, tarn::SendCompleteCallback done) {
    int ret = 0;
    Run(side, [&] { ret = SendInLoop(side, len, fill, pieces, std::move(done)); });
    return ret;
  }
  static int SendInLoop(Side* side, uint32_t len, char fill, uint32_t pieces,
                        tarn::SendCompleteCallback done) {
    tarn::PollingWorker* worker = side->worker;
    char* data = static_cast<char*>(worker->Malloc(std::max<uint32_t>(len, 1)));
    memset(data, fill, len);
    std::vector<tarn::SgEntry> sges(pieces);
    uint32_t off = 0;
    for (uint32_t i = 0; i < pieces; ++i) {
      uint32_t piece = i + 1 == pieces ? len - off : len / pieces;
      sges[i].addr = reinterpret_cast<uint64_t>(data + off);
      sges[i].len = piece;
      off += piece;
    }
    return side->conn->SendSgeZeroCopy(sges.data(), pieces, [worker, data, done](int code) {
      worker->Free(data);
      if (done) done(code);
    });
  }

  // The side's connection is closed, out of its worker's table, and its
  // queue pair destroyed.
  bool TornDown(Side* side) {
    return testsupport::WaitFor([this, side] {
      bool done = false;
      Run(side, [&] {
        done = side->conn->IsClosed() && side->qp->qp() == nullptr &&
               side->worker->FindConnection(side->qp->qp_num()) == nullptr;
      });
      return done;
    });
  }

  // Worker memory of the receive-buffer size handed out right now.
  uint64_t BuffersOut(Side* side) {
    uint64_t out = 0;
    const uint32_t size =
        option_.rdma_option.max_send_data_size + option_.rdma_option.max_send_meta_size;
    Run(side, [&] {
      std::map<uint64_t, std::pair<uint64_t, uint64_t>> stat;
      side->worker->GetMemPoolStat(&stat);
      out = stat[size].first - stat[size].second;
    });
    return out;
  }

  Side& a() { return a_; }
  Side& b() { return b_; }
  const tarn::WorkerOption& option() const { return option_; }

 private:
  void MakeSide(Side* side, const std::string& name, int state) {
    {
      std::lock_guard<std::mutex> lock(side->record.mu);
      side->record.messages.clear();
      side->record.established = 0;
      side->record.closed = 0;
    }
    ASSERT_TRUE(Run(side, [&] {
      side->qp = side->worker->NewQueuePair();
      ASSERT_NE(side->qp, nullptr);
      tarn::SockAddress peer("127.0.0.1", 1, false);
      side->conn = std::make_shared<tarn::RdmaConnection>(
          side->worker, name, tarn::g_conn_id.fetch_add(1), peer, option_.rdma_option);
      side->conn->set_state(state);
      side->conn->set_queue_pair(side->qp);
      Record* record = &side->record;
      side->conn->set_connection_success_cb([record](const std::shared_ptr<tarn::Connection>&) {
        std::lock_guard<std::mutex> lock(record->mu);
        ++record->established;
      });
      side->conn->set_connection_closed_cb([record](const std::shared_ptr<tarn::Connection>&) {
        std::lock_guard<std::mutex> lock(record->mu);
        ++record->closed;
      });
      side->conn->set_message_read_cb([record](const std::shared_ptr<tarn::Connection>& conn) {
        void* data = nullptr;
        uint32_t len = 0;
        ASSERT_GE(conn->ReceiveDataZeroCopy(&data, &len), 0);
        std::string text(static_cast<const char*>(data), len);
        conn->worker()->Free(data);
        std::lock_guard<std::mutex> lock(record->mu);
        record->messages.push_back(std::move(text));
      });
    }));
  }

  static void Join(Side* self, Side* peer, uint32_t peer_recv_size) {
    self->qp->set_peer_qp_num(peer->qp->qp_num());
    self->qp->set_peer_lid(peer->qp->lid());
    self->qp->set_peer_gid(peer->qp->gid());
    self->qp->set_peer_max_recv_size(peer_recv_size);
  }

  tarn::WorkerOption option_;
  tarn::PollingWorkerColony colony_;
  Side a_;
  Side b_;
};

}  // namespace rdmatest

#endif  // TESTS_RDMA_RDMA_CONNECTION_PAIR_H_
