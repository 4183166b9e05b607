// The RDMA frame readers against a peer that sends crafted messages: a raw
// RDMA client talking to the RPC server, and a raw RDMA server answering
// the RPC client. One message is one frame, trusted only as far as its own
// length: a wrong magic, a message shorter than a head, a total that is not
// the message's length, or parts that reach past the total close the
// connection (and nothing is read past the message); the server keeps
// serving others.
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "rpc/rpc_test_util.h"
#include "support/log_capture.h"
#include "tarn/polling/rdma_client.h"
#include "tarn/polling/rdma_server.h"
#include "tarn/rpc/attachment.h"

namespace rpctest {
namespace {

// Sends bytes as one message from worker memory, freed when the send ends.
void SendMessage(const std::shared_ptr<tarn::Connection>& conn, const std::string& bytes) {
  tarn::Worker* worker = conn->worker();
  void* p = worker->Malloc(bytes.size());
  memcpy(p, bytes.data(), bytes.size());
  tarn::SgEntry entry;
  entry.addr = reinterpret_cast<uint64_t>(p);
  entry.len = bytes.size();
  conn->SendSgeZeroCopy(&entry, 1, [worker, p](int) { worker->Free(p); });
}

// Takes the connection's current message as bytes and frees it.
std::string TakeMessage(const std::shared_ptr<tarn::Connection>& conn) {
  void* data = nullptr;
  uint32_t len = 0;
  if (conn->ReceiveDataZeroCopy(&data, &len) < 0 || data == nullptr) return std::string();
  std::string out(static_cast<const char*>(data), len);
  conn->worker()->Free(data);
  return out;
}

// A head claiming these lengths, followed by `len` - 20 bytes of filler.
std::string CraftedMessage(uint32_t total, uint16_t service_len, uint16_t method_len,
                           uint32_t header_len, uint32_t body_len, size_t len) {
  tarn::FrameHead head;
  head.total = total;
  head.service_len = service_len;
  head.method_len = method_len;
  head.header_len = header_len;
  head.body_len = body_len;
  std::string out(std::max(len, tarn::kFrameHeadSize), 'f');
  head.Encode(&out[0]);
  out.resize(len);
  return out;
}

struct BadMessage {
  const char* name;
  std::string bytes;
  const char* log;
};

std::vector<BadMessage> BadMessages() {
  std::string wrong_magic = testsupport::WriteRequestFrame(1, 1);
  wrong_magic[0] = 'X';
  return {
      {"wrong_magic", wrong_magic, "protocol_name error, expect: TARN, actual: XARN"},
      {"shorter_than_a_head", std::string("TARN\0\0\0\x0a\0\0", 10),
       "msg too short for a frame head, len: 10"},
      {"total_beyond_the_message", CraftedMessage(200, 0, 0, 0, 0, 40),
       "msg len error, expect len: 200, actual len: 40"},
      {"total_short_of_the_message", CraftedMessage(30, 0, 0, 0, 0, 40),
       "msg len error, expect len: 30, actual len: 40"},
      {"body_beyond_the_total", CraftedMessage(44, 4, 5, 14, 0xffffff00u, 44),
       "total size invalid, total size: 44, actual size: "},
  };
}

class RdmaServerFrames : public RpcFixture {
 protected:
  RdmaServerFrames() { transport_ = OverRdma(true); }

  void SetUp() override {
    RpcFixture::SetUp();
    StartServer();
  }
  void ReleaseClientSide() override {
    if (raw_) RunOn(client_worker_, [this] { raw_.reset(); });
  }

  size_t ServerConnections() {
    size_t n = 0;
    RunOn(acceptor_, [&] {
      n = static_cast<tarn::RdmaServer*>(server_->server())->connection_count();
    });
    return n;
  }

  // A raw client connection to the server; `on_message` gets its messages.
  void ConnectRaw(std::function<void(const std::string&)> on_message = nullptr) {
    RunOn(client_worker_, [&] {
      raw_.reset(new tarn::RdmaClient(client_poller(), testsupport::Loopback(port_), "raw"));
      raw_->set_message_read_cb([on_message](const std::shared_ptr<tarn::Connection>& conn) {
        const std::string bytes = TakeMessage(conn);
        if (on_message) on_message(bytes);
      });
      EXPECT_EQ(raw_->Connect(), 0);
    });
  }

  void SendRaw(const std::string& bytes) {
    RunOn(client_worker_, [&] { SendMessage(raw_->conn(), bytes); });
  }

  std::unique_ptr<tarn::RdmaClient> raw_;
};

TEST_F(RdmaServerFrames, ARawRequestIsAnswered) {
  std::mutex mu;
  std::vector<std::string> answers;
  ConnectRaw([&](const std::string& bytes) {
    std::lock_guard<std::mutex> lock(mu);
    answers.push_back(bytes);
  });
  SendRaw(testsupport::WriteRequestFrame(9, 77, Pattern(5000, 3)));
  ASSERT_TRUE(WaitFor([&] {
    std::lock_guard<std::mutex> lock(mu);
    return !answers.empty();
  }));
  const std::string answer = answers[0];
  tarn::FrameHead head;
  ASSERT_TRUE(head.Decode(answer.data()));
  EXPECT_EQ(head.total, answer.size());
  EXPECT_EQ(head.service_len + head.method_len, 0);
  tarn::RpcHeader header;
  ASSERT_TRUE(header.ParseFromArray(answer.data() + 20, static_cast<int>(head.header_len)));
  EXPECT_EQ(header.seq_no(), 9u);
  EXPECT_EQ(answer.substr(head.main_size()), Pattern(5000, 3));
  EXPECT_TRUE(PoolsFull());
}

TEST_F(RdmaServerFrames, MalformedMessagesCloseTheConnectionAndTheServerServesOn) {
  std::vector<BadMessage> cases = BadMessages();
  // Well framed, but for no service of the server: refused after parsing.
  cases.push_back({"unknown_service",
                   testsupport::BuildFrame("NoSuchService", "Write",
                                           testsupport::RequestHeader(1, 0), "", Pattern(64, 1)),
                   "can not find this service: NoSuchService"});
  for (const BadMessage& bad : cases) {
    SCOPED_TRACE(bad.name);
    testsupport::LogCapture logs;
    ConnectRaw();
    SendRaw(bad.bytes);
    EXPECT_TRUE(logs.WaitForText(bad.log));
    // The server drops its side of the connection, and the service never
    // sees a request.
    EXPECT_TRUE(WaitFor([this] { return ServerConnections() == 0; }));
    RunOn(client_worker_, [this] { raw_.reset(); });
  }
  EXPECT_TRUE(service_.lbas().empty());
  EXPECT_TRUE(PoolsFull());

  MakeClient();
  Results results;
  Write(5, &results, {Pattern(100, 1)});
  ASSERT_TRUE(results.WaitFor(1));
  EXPECT_EQ(results.codes()[0], 0);
}

// A raw RDMA server whose answers the test crafts from each request.
class RdmaClientFrames : public RpcFixture {
 protected:
  using Reply = std::function<std::string(uint64_t seq)>;

  RdmaClientFrames() { transport_ = OverRdma(true); }

  void SetUp() override {
    RpcFixture::SetUp();
    StartClientWorker();
    raw_server_.reset(new tarn::RdmaServer(acceptor_, testsupport::Loopback(0), "raw_server",
                                           RdmaWorkerOption("rawsrv-", true), nullptr));
    raw_server_->set_worker_num(1);
    raw_server_->set_message_read_cb([this](const std::shared_ptr<tarn::Connection>& conn) {
      const std::string request = TakeMessage(conn);
      tarn::FrameHead head;
      tarn::RpcHeader header;
      if (!head.Decode(request.data())) return;
      header.ParseFromArray(request.data() + 20 + head.service_len + head.method_len,
                            static_cast<int>(head.header_len));
      Reply reply;
      {
        std::lock_guard<std::mutex> lock(mu_);
        reply = reply_;
      }
      SendMessage(conn, reply(header.seq_no()));
    });
    ASSERT_EQ(raw_server_->Start(), 0);
    port_ = raw_server_->listen_addr().ToPort();
    MakeClient();
  }

  void ReleaseServers() override { raw_server_.reset(); }

  void SetReply(Reply reply) {
    std::lock_guard<std::mutex> lock(mu_);
    reply_ = std::move(reply);
  }

  static std::string Answer(uint64_t seq, uint64_t lba, const std::string& attachment = "") {
    vovorav::BlockServerWriteResponse resp;
    resp.set_offset_in_extent(lba);
    return testsupport::BuildFrame("", "", testsupport::ResponseHeader(seq),
                                   resp.SerializeAsString(), attachment);
  }

  std::mutex mu_;
  Reply reply_;
  std::unique_ptr<tarn::RdmaServer> raw_server_;
};

TEST_F(RdmaClientFrames, AnAnswerIsParsedInPlace) {
  SetReply([](uint64_t seq) { return Answer(seq, 31, Pattern(7000, 4)); });
  Results results;
  std::string att;
  uint64_t lba = 0;
  Write(1, &results, {}, [&](tarn::RpcController* ctrl) {
    lba = static_cast<const vovorav::BlockServerWriteResponse*>(ctrl->response())
              ->offset_in_extent();
    for (const auto& a : ctrl->response_attachments()) {
      att.append(static_cast<const char*>(a.data), a.len);
    }
  });
  ASSERT_TRUE(results.WaitFor(1));
  EXPECT_EQ(results.codes()[0], 0);
  EXPECT_EQ(lba, 31u);
  EXPECT_TRUE(att == Pattern(7000, 4));
}

TEST_F(RdmaClientFrames, MalformedAnswersCloseTheConnection) {
  std::vector<BadMessage> cases = BadMessages();
  std::string bad_header = Answer(1, 1);
  bad_header[20] = static_cast<char>(0xff);  // no valid field tag
  cases.push_back({"bad_header", bad_header, "protobuf ParseFromArray error, peer addr: "});
  RunOn(client_worker_, [this] { client_->set_timeout_ms(200); });  // the floor: 504 ms
  for (const BadMessage& bad : cases) {
    SCOPED_TRACE(bad.name);
    testsupport::LogCapture logs;
    const std::string bytes = bad.bytes;
    SetReply([bytes](uint64_t) { return bytes; });
    Results results;
    Write(2, &results);
    EXPECT_TRUE(logs.WaitForText(bad.log));
    ASSERT_TRUE(results.WaitFor(1));
    EXPECT_EQ(results.codes()[0], tarn::kRpcTimeout);  // its answer never came
    EXPECT_TRUE(ClientConn()->IsClosed());
  }
  // The next call reconnects and is answered.
  SetReply([](uint64_t seq) { return Answer(seq, 8); });
  EXPECT_GT(WriteUntilAnswered(3), cases.size());
}

TEST_F(RdmaClientFrames, AnswerToNoCallIsDroppedAndTheConnectionKept) {
  testsupport::LogCapture logs;
  SetReply([](uint64_t seq) { return Answer(seq + 1000, 1); });
  RunOn(client_worker_, [this] { client_->set_timeout_ms(200); });
  Results results;
  Write(1, &results);
  EXPECT_TRUE(logs.WaitForText("can not find this rpc request, maybe timeout"));
  ASSERT_TRUE(results.WaitFor(1));
  EXPECT_EQ(results.codes()[0], tarn::kRpcTimeout);
  EXPECT_FALSE(ClientConn()->IsClosed());
}

}  // namespace
}  // namespace rpctest
