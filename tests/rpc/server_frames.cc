// The server side of the frame protocol, driven from raw loopback sockets:
// framing across reads, hostile heads, method resolution, malformed
// requests and the controller pool.

#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "bvar/variable.h"
#include "rpc/rpc_test_util.h"
#include "support/log_capture.h"

namespace rpctest {
namespace {

std::string Be32(uint32_t v) {
  std::string s(4, '\0');
  s[0] = static_cast<char>(v >> 24);
  s[1] = static_cast<char>(v >> 16);
  s[2] = static_cast<char>(v >> 8);
  s[3] = static_cast<char>(v);
  return s;
}

std::string Be16(uint16_t v) {
  std::string s(2, '\0');
  s[0] = static_cast<char>(v >> 8);
  s[1] = static_cast<char>(v);
  return s;
}

// A head with arbitrary fields, followed by `extra` bytes of filler.
std::string RawHead(const std::string& magic, uint32_t total, uint16_t service, uint16_t method,
                    uint32_t header, uint32_t body, size_t extra) {
  return magic + Be32(total) + Be16(service) + Be16(method) + Be32(header) + Be32(body) +
         std::string(extra, 'z');
}

class ServerFrames : public RpcFixture {
 protected:
  void SetUp() override {
    RpcFixture::SetUp();
    StartServer();
  }

  // A fresh connection that one good request is served on.
  void ExpectServes(uint64_t seq, uint64_t lba) {
    int fd = RawConnect(port_);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(SendAll(fd, WriteRequestFrame(seq, lba)));
    tarn::RpcHeader header;
    vovorav::BlockServerWriteResponse resp;
    ASSERT_TRUE(ReadResponse(fd, &header, &resp));
    EXPECT_EQ(header.seq_no(), seq);
    EXPECT_FALSE(header.has_method_index());
    EXPECT_EQ(resp.offset_in_extent(), lba);
    close(fd);
  }
};

TEST_F(ServerFrames, FrameFedOneByteAtATimeIsServedOnce) {
  int fd = RawConnect(port_);
  ASSERT_GE(fd, 0);
  const std::string attachment(100, 'x');
  const std::string frame = WriteRequestFrame(42, 7, attachment);
  for (char c : frame) {
    ASSERT_TRUE(SendAll(fd, std::string(1, c)));
    std::this_thread::sleep_for(std::chrono::microseconds(300));
  }
  tarn::RpcHeader header;
  vovorav::BlockServerWriteResponse resp;
  std::string echoed;
  ASSERT_TRUE(ReadResponse(fd, &header, &resp, &echoed));
  EXPECT_EQ(header.seq_no(), 42u);
  EXPECT_EQ(resp.offset_in_extent(), 7u);
  EXPECT_EQ(echoed, attachment);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(service_.writes(), 1);
  close(fd);
  EXPECT_TRUE(PoolsFull());
}

TEST_F(ServerFrames, SeveralFramesInOneWriteAreServedInOrder) {
  int fd = RawConnect(port_);
  ASSERT_GE(fd, 0);
  std::string burst;
  for (uint64_t i = 1; i <= 5; ++i) burst += WriteRequestFrame(i, 100 + i, std::string(i * 3, 'a'));
  ASSERT_TRUE(SendAll(fd, burst));
  for (uint64_t i = 1; i <= 5; ++i) {
    tarn::RpcHeader header;
    vovorav::BlockServerWriteResponse resp;
    std::string echoed;
    ASSERT_TRUE(ReadResponse(fd, &header, &resp, &echoed));
    EXPECT_EQ(header.seq_no(), i);
    EXPECT_EQ(resp.offset_in_extent(), 100 + i);
    EXPECT_EQ(echoed, std::string(i * 3, 'a'));
  }
  EXPECT_EQ(service_.lbas(), (std::vector<uint64_t>{101, 102, 103, 104, 105}));
  close(fd);
}

TEST_F(ServerFrames, PartialHeadWaitsForTheRest) {
  int fd = RawConnect(port_);
  ASSERT_GE(fd, 0);
  const std::string frame = WriteRequestFrame(3, 9);
  for (size_t cut : {3u, 4u, 7u, 8u, 19u}) {
    ASSERT_TRUE(SendAll(fd, frame.substr(0, cut)));
    EXPECT_FALSE(PeerCloses(fd, 0.2)) << "closed after " << cut << " bytes";
    ASSERT_TRUE(SendAll(fd, frame.substr(cut)));
    tarn::RpcHeader header;
    vovorav::BlockServerWriteResponse resp;
    ASSERT_TRUE(ReadResponse(fd, &header, &resp));
    EXPECT_EQ(header.seq_no(), 3u);
  }
  close(fd);
}

TEST_F(ServerFrames, HostileHeadsCloseTheConnection) {
  struct Case {
    const char* what;
    std::string bytes;
  };
  const std::vector<Case> cases = {
      {"wrong magic", RawHead("XARN", 40, 0, 0, 0, 0, 20)},
      {"wrong magic, few bytes", "GE"},
      {"http request", "GET / HTTP/1.1\r\nHost: x\r\n\r\n"},
      {"total below the head", RawHead("TARN", 12, 0, 0, 0, 0, 0)},
      {"total zero", RawHead("TARN", 0, 0, 0, 0, 0, 0)},
      {"total below main", RawHead("TARN", 60, 4, 4, 14, 100, 40)},
      {"wrapping lengths", RawHead("TARN", 64, 4, 4, 0xFFFFFFF8, 8, 44)},
      {"all lengths maximal", RawHead("TARN", 64, 0xFFFF, 0xFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 44)},
      {"total 0xFFFFFFFF", "TARN" + Be32(0xFFFFFFFF)},
      {"garbage after a good frame", WriteRequestFrame(1, 1) + "JUNKJUNK"},
  };
  for (const Case& c : cases) {
    int fd = RawConnect(port_);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(SendAll(fd, c.bytes));
    EXPECT_TRUE(PeerCloses(fd)) << c.what;
    close(fd);
  }
  // Only the good frame in front of the junk reached the service.
  EXPECT_EQ(service_.writes(), 1);
  EXPECT_TRUE(PoolsFull());
  ExpectServes(9, 10);
}

TEST_F(ServerFrames, PeerClosingMidFrameLeavesServerHealthy) {
  const std::string frame = WriteRequestFrame(1, 1, std::string(5000, 'q'));
  for (size_t cut : {2u, 6u, 20u, 40u, 3000u}) {
    int fd = RawConnect(port_);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(SendAll(fd, frame.substr(0, cut)));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    close(fd);
  }
  EXPECT_EQ(service_.writes(), 0);
  EXPECT_TRUE(PoolsFull());
  ExpectServes(2, 3);
}

TEST_F(ServerFrames, MethodIndexThatDisagreesWithTheNameIsResolvedByName) {
  int fd = RawConnect(port_);
  ASSERT_GE(fd, 0);
  vovorav::BlockServerReadRequest read;
  read.set_size(33);
  // Index 0 names Write, the name says Read: Read is served.
  ASSERT_TRUE(SendAll(fd, BuildFrame("BlockServerService", "Read", RequestHeader(5, 0),
                                     read.SerializeAsString())));
  tarn::RpcHeader header;
  vovorav::BlockServerReadResponse read_resp;
  std::string data;
  ASSERT_TRUE(ReadResponse(fd, &header, &read_resp, &data));
  EXPECT_EQ(header.seq_no(), 5u);
  EXPECT_EQ(read_resp.size(), 33u);
  EXPECT_EQ(data.size(), 33u);

  // An index beyond the method count falls back to the name too.
  vovorav::BlockServerWriteRequest write;
  write.set_lba(77);
  ASSERT_TRUE(SendAll(fd, BuildFrame("BlockServerService", "Write", RequestHeader(6, 999),
                                     write.SerializeAsString())));
  vovorav::BlockServerWriteResponse write_resp;
  ASSERT_TRUE(ReadResponse(fd, &header, &write_resp));
  EXPECT_EQ(header.seq_no(), 6u);
  EXPECT_EQ(write_resp.offset_in_extent(), 77u);
  close(fd);
}

TEST_F(ServerFrames, MalformedRequestsCloseAndReturnTheController) {
  vovorav::BlockServerWriteRequest write;
  write.set_lba(1);
  const std::string body = write.SerializeAsString();
  const std::vector<std::string> frames = {
      BuildFrame("NoSuchService", "Write", RequestHeader(1, 0), body),
      BuildFrame("BlockServerService", "NoSuchMethod", RequestHeader(1, 0), body),
      BuildFrame("BlockServerService", "Write", "\x0a\xff", body),      // bad header
      BuildFrame("BlockServerService", "Write", RequestHeader(1, 0), "\xff\xff\xff"),  // bad body
      BuildFrame("", "", "", ""),  // an empty frame names no service
  };
  for (const std::string& f : frames) {
    int fd = RawConnect(port_);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(SendAll(fd, f));
    EXPECT_TRUE(PeerCloses(fd));
    close(fd);
  }
  EXPECT_EQ(service_.writes(), 0);
  EXPECT_TRUE(PoolsFull());
  ExpectServes(4, 4);
}

// Names come from the peer: logged as they are, a newline in one would let
// the peer end our line and write lines of its own into the log.
TEST_F(ServerFrames, UnknownNamesAreLoggedWithControlBytesEscaped) {
  testsupport::LogCapture log;
  vovorav::BlockServerWriteRequest write;
  const std::string body = write.SerializeAsString();
  const std::string forged = "\n20240101 00:00:00.000000Z 1 ERROR forged";
  for (const std::string& f :
       {BuildFrame("No" + forged, "Write", RequestHeader(1, 0), body),
        BuildFrame("BlockServerService", "No\r" + forged, RequestHeader(1, 7), body)}) {
    int fd = RawConnect(port_);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(SendAll(fd, f));
    EXPECT_TRUE(PeerCloses(fd));
    close(fd);
  }
  const std::string text = log.text();
  EXPECT_NE(text.find("can not find this service: No\\x0a20240101"), std::string::npos) << text;
  EXPECT_NE(text.find("can not find this method: No\\x0d\\x0a20240101"), std::string::npos)
      << text;
  EXPECT_EQ(text.find("\n20240101 00:00:00.000000Z 1 ERROR forged"), std::string::npos);
}

// Names of a few KiB from a peer are shortened in the log line, with their
// full length, so that the peer's address and the line's end still fit and
// the next line starts on a line of its own.
TEST_F(ServerFrames, LongUnknownNamesAreShortenedAndThePeerAddressKept) {
  vovorav::BlockServerWriteRequest write;
  const std::string body = write.SerializeAsString();
  struct Case {
    std::string service, method, logged;
  };
  const std::string long_service(4096, 'S');
  const std::string long_method(6000, 'M');
  std::string escaped_newlines;
  for (int i = 0; i < 128; ++i) escaped_newlines += "\\x0a";
  for (const Case& c :
       {Case{long_service, "Write", "can not find this service: " + std::string(128, 'S') +
                                        "...(4096 bytes), peer addr: 127.0.0.1:"},
        Case{"BlockServerService", long_method,
             "can not find this method: " + std::string(128, 'M') +
                 "...(6000 bytes), peer addr: 127.0.0.1:"},
        Case{std::string(4000, '\n'), "Write",
             "can not find this service: " + escaped_newlines +
                 "...(4000 bytes), peer addr: 127.0.0.1:"}}) {
    testsupport::LogCapture log;
    int fd = RawConnect(port_);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(SendAll(fd, BuildFrame(c.service, c.method, RequestHeader(1, 7), body)));
    EXPECT_TRUE(PeerCloses(fd));
    close(fd);
    LOG_INFO << "next record";
    const std::string text = log.text();
    const std::string line = log.LineWith(c.logged);
    ASSERT_FALSE(line.empty()) << text.substr(0, 1000);
    EXPECT_LT(line.size(), 1000u);
    EXPECT_NE(std::string::npos, line.find("tarn_proto.cc:")) << line;
    EXPECT_NE(std::string::npos, text.find("\n" + log.LineWith("next record") + "\n"));
  }
  ExpectServes(9, 9);
}

// A client that sends requests but never reads the answers: the server's
// output for it stays within the connection's limit, the connection is
// dropped, its controllers come back and other clients are still served.
TEST_F(ServerFrames, PeerThatNeverReadsIsDroppedWithBoundedOutput) {
  const uint32_t kLimit = 1 << 20;
  const uint64_t kReadSize = 64 << 10;
  service_.set_read_conn_send_limit(kLimit);
  int fd = RawConnect(port_);
  ASSERT_GE(fd, 0);
  // One request at a time, so the answers pile up behind full socket
  // buffers rather than within one loop pass; 16 MiB of answers are asked
  // for, more than the kernel buffers hold.
  for (uint64_t seq = 1; seq <= 256; ++seq) {
    vovorav::BlockServerReadRequest req;
    req.set_lba(seq);
    req.set_size(kReadSize);
    // The server may drop us before it has read everything.
    if (!SendAll(fd, BuildFrame("BlockServerService", "Read", RequestHeader(seq, 1),
                                req.SerializeAsString()))) {
      break;
    }
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  EXPECT_TRUE(PeerCloses(fd, 30.0));
  close(fd);
  EXPECT_TRUE(PoolsFull(30.0));
  service_.set_read_conn_send_limit(0);
  ExpectServes(9, 4);
}

class SmallPool : public RpcFixture {};

TEST_F(SmallPool, ExhaustedPoolDropsTheRequestAndKeepsTheConnection) {
  server_pool_ = 1;
  StartServer();
  int fd = RawConnect(port_);
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(SendAll(fd, WriteRequestFrame(1, TestBlockServer::kHoldLba)));
  ASSERT_TRUE(WaitFor([this] { return service_.held() == 1; }));
  ASSERT_TRUE(SendAll(fd, WriteRequestFrame(2, 20)));  // no controller left: dropped
  std::string nothing;
  EXPECT_FALSE(RecvExact(fd, 1, &nothing, 0.3));
  EXPECT_EQ(service_.Release(), 1u);
  tarn::RpcHeader header;
  vovorav::BlockServerWriteResponse resp;
  ASSERT_TRUE(ReadResponse(fd, &header, &resp));
  EXPECT_EQ(header.seq_no(), 1u);
  ASSERT_TRUE(PoolsFull());
  ASSERT_TRUE(SendAll(fd, WriteRequestFrame(3, 30)));
  ASSERT_TRUE(ReadResponse(fd, &header, &resp));
  EXPECT_EQ(header.seq_no(), 3u);
  EXPECT_EQ(resp.offset_in_extent(), 30u);
  close(fd);
}

class Metrics : public RpcFixture {
 protected:
  void SetUp() override {
    tarn::g_enable_metrics = true;
    RpcFixture::SetUp();
  }
  void TearDown() override {
    RpcFixture::TearDown();
    tarn::g_enable_metrics = false;
  }
};

TEST_F(Metrics, EveryMethodRecordsItsLatency) {
  StartServer();
  tarn::RpcServer duplicate(tarn::kTcp, acceptor_, Loopback(PickFreePort()), "dup", option_,
                            nullptr);
  EXPECT_EQ(duplicate.AddService(&service_), 0);
  EXPECT_EQ(duplicate.AddService(&service_), -1);

  int fd = RawConnect(port_);
  ASSERT_GE(fd, 0);
  for (uint64_t i = 1; i <= 3; ++i) {
    ASSERT_TRUE(SendAll(fd, WriteRequestFrame(i, i)));
    tarn::RpcHeader header;
    vovorav::BlockServerWriteResponse resp;
    ASSERT_TRUE(ReadResponse(fd, &header, &resp));
  }
  close(fd);
  // "tarn_rpc_" + server + "_" + service + "_" + method, in bvar's
  // underscored form.
  EXPECT_EQ(bvar::Variable::describe_exposed("tarn_rpc_test_server_block_server_service_write_count"),
            "3");
  EXPECT_EQ(bvar::Variable::describe_exposed("tarn_rpc_test_server_block_server_service_read_count"),
            "0");
}

}  // namespace
}  // namespace rpctest
