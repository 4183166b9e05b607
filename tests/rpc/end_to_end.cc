// RPC client and server together over loopback TCP: the cases every
// transport shares (rpc/end_to_end_cases.h), and the connection's uuid,
// which over TCP names both ends by address and port alone.

#include <string>

#include <gtest/gtest.h>

#include "rpc/end_to_end_cases.h"

namespace rpctest {
namespace {

TEST_P(EndToEnd, BothEndsPrintTheSameUuid) {
  Results results;
  std::string client_uuid;
  std::string local;
  Write(3, &results, {}, [&](tarn::RpcController* ctrl) {
    client_uuid = ctrl->uuid();
    local = ctrl->conn()->local_addr().ToString();
  });
  ASSERT_TRUE(results.WaitFor(1));
  EXPECT_EQ(client_uuid, local + ":0-127.0.0.1:" + std::to_string(port_) + ":0-1");
  // The server's connection records its listen address as the local end.
  const std::string server_uuid = service_.last_uuid();
  EXPECT_EQ(server_uuid.substr(server_uuid.find('-')),
            "-127.0.0.1:" + std::to_string(port_) + ":0-1");
}

INSTANTIATE_TEST_SUITE_P(Over, EndToEnd, ::testing::Values(OverTcp()), TransportName);

}  // namespace
}  // namespace rpctest
