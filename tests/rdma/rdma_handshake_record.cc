// The handshake record on the wire: 70 packed bytes, native byte order, laid
// out field by field as a peer built from another code base expects them.
#include <arpa/inet.h>

#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "tarn/polling/rdma_handshake.h"

namespace tarn {
namespace {

// A request from LID 0x0102, queue pair 0xabcdef, GID ::ffff:127.0.0.1,
// announcing 73728-byte receive buffers.
const unsigned char kGoldenRequest[70] = {
    0x01,                                            // type: request
    0x00,                                            // version
    0x01, 0x07, 0x21, 0x20,                          // magic 0x20210701
    0x02, 0x01,                                      // sender's LID
    0x00, 0x00,                                      // peer's LID
    0xef, 0xcd, 0xab, 0x00,                          // sender's queue pair
    0x00, 0x00, 0x00, 0x00,                          // peer's queue pair
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 127, 0, 0, 1,  // sender's GID
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,          // peer's GID
    0x01, 0x00, 0x00, 0x00,                          // constant 1
    0x00, 0x20, 0x01, 0x00,                          // largest receive: 73728
    0x00, 0x00, 0x00, 0x00,                          // reserved
    0, 0, 0, 0, 0, 0, 0, 0,                          // reserved
};

RdmaHandshakeRecord GoldenFields() {
  RdmaHandshakeRecord record;
  record.type = RdmaHandshakeRecord::kRequest;
  record.lid = 0x0102;
  record.qp_num = 0xabcdef;
  inet_pton(AF_INET6, "::ffff:127.0.0.1", record.gid);
  record.max_recv_size = 73728;
  return record;
}

TEST(RdmaHandshakeRecord, RequestMatchesTheGoldenBytes) {
  RdmaHandshakeRecord record = GoldenFields();
  ASSERT_EQ(sizeof(record), sizeof(kGoldenRequest));
  EXPECT_EQ(std::memcmp(&record, kGoldenRequest, sizeof(kGoldenRequest)), 0);

  RdmaHandshakeRecord parsed;
  std::memcpy(&parsed, kGoldenRequest, sizeof(parsed));
  EXPECT_EQ(+parsed.type, RdmaHandshakeRecord::kRequest);
  EXPECT_EQ(+parsed.magic, 0x20210701u);
  EXPECT_EQ(+parsed.lid, 0x0102);
  EXPECT_EQ(+parsed.qp_num, 0xabcdefu);
  EXPECT_EQ(+parsed.max_recv_size, 73728u);
  EXPECT_EQ(+parsed.constant, 1u);
}

TEST(RdmaHandshakeRecord, ReplyEchoesTheRequestAtThePeerOffsets) {
  RdmaHandshakeRecord reply;
  reply.type = RdmaHandshakeRecord::kReply;
  reply.lid = 0x0304;
  reply.qp_num = 0x42;
  TakePeerFields(GoldenFields(), &reply);

  unsigned char bytes[70];
  std::memcpy(bytes, &reply, sizeof(bytes));
  EXPECT_EQ(bytes[0], 3);
  EXPECT_EQ(std::memcmp(bytes + 8, kGoldenRequest + 6, 2), 0);    // peer LID
  EXPECT_EQ(std::memcmp(bytes + 14, kGoldenRequest + 10, 4), 0);  // peer queue pair
  EXPECT_EQ(std::memcmp(bytes + 34, kGoldenRequest + 18, 16), 0); // peer GID
  // Our own fields stay ours.
  EXPECT_EQ(bytes[6], 0x04);
  EXPECT_EQ(bytes[10], 0x42);
  EXPECT_EQ(+reply.max_recv_size, 0u);
}

}  // namespace
}  // namespace tarn
