// 64 RPC clients over RDMA, each with a connection of its own, against a
// server whose connections spread over its polling workers (4 of them, 1 on
// a two-core machine), with and without the shared receive queue: every
// call of every client is answered with its own data.
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "rpc/rpc_test_util.h"
#include "tarn/polling/rdma_handshake.h"
#include "tarn/polling/rdma_server.h"

namespace rpctest {
namespace {

class RdmaManyConnections : public TransportSuite {};

TEST_P(RdmaManyConnections, SixtyFourClientsAllAnswered) {
  constexpr int kClients = 64;
  constexpr int kCallsEach = 4;
  // The client worker spins too.
  const uint32_t server_workers = std::min(4u, SpinBudget() - 1);
  max_data_ = 65536;
  StartServer(server_workers);
  // 64 handshakes at once take their turns on a loaded sanitizer build:
  // the last may take longer than the deadline a single one gets, and a
  // handshake closed for it leaves its calls to their budget.
  constexpr double kHandshakeS = 120.0;
  static_cast<tarn::RdmaServer*>(server_->server())->set_handshake_deadline_for_test(kHandshakeS);
  tarn::RdmaClientHelper::Instance().set_handshake_deadline(kHandshakeS);
  std::vector<std::unique_ptr<tarn::RpcClient>> clients;
  RunOn(client_worker_, [&] {
    for (int i = 0; i < kClients; ++i) clients.push_back(NewClient());
  });

  Results results;
  std::vector<std::string> echoed(kClients * kCallsEach);
  RunOn(client_worker_, [&] {
    for (int round = 0; round < kCallsEach; ++round) {
      for (int c = 0; c < kClients; ++c) {
        const int k = c * kCallsEach + round;
        WriteOn(clients[c].get(), static_cast<uint64_t>(k), &results,
                {Pattern(1000 + k, static_cast<char>(k))}, [&echoed, k](tarn::RpcController* ctrl) {
                  for (const auto& a : ctrl->response_attachments()) {
                    echoed[k].append(static_cast<const char*>(a.data), a.len);
                  }
                });
      }
    }
  });
  if (!results.WaitFor(kClients * kCallsEach, 60.0)) {
    // The clients go on their own worker, taking the calls still in flight
    // with them: no closure of theirs runs after this test has gone.
    RunOn(client_worker_, [&] { clients.clear(); });
    tarn::RdmaClientHelper::Instance().set_handshake_deadline(tarn::kHandshakeDeadlineSeconds);
    FAIL() << "not every call ended";
  }
  for (int code : results.codes()) EXPECT_EQ(code, 0);
  for (int k = 0; k < kClients * kCallsEach; ++k) {
    EXPECT_TRUE(echoed[k] == Pattern(1000 + k, static_cast<char>(k))) << k;
  }

  std::set<int64_t> ids;
  RunOn(client_worker_, [&] {
    for (const auto& client : clients) ids.insert(client->current_conn()->id());
  });
  EXPECT_EQ(ids.size(), static_cast<size_t>(kClients));
  EXPECT_TRUE(PoolsFull());
  RunOn(client_worker_, [&] { clients.clear(); });
  tarn::RdmaClientHelper::Instance().set_handshake_deadline(tarn::kHandshakeDeadlineSeconds);
}

INSTANTIATE_TEST_SUITE_P(Over, RdmaManyConnections,
                         ::testing::Values(OverRdma(true), OverRdma(false)), TransportName);

}  // namespace
}  // namespace rpctest
