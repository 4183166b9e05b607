// Shared pieces of the RPC tests: worker threads, a block-server test
// service, raw loopback sockets and frame builders.
#ifndef TESTS_RPC_RPC_TEST_UTIL_H_
#define TESTS_RPC_RPC_TEST_UTIL_H_

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "policy/rpc.pb.h"
#include "tarn/connection.h"
#include "tarn/event/event_worker.h"
#include "tarn/loop.h"
#include "tarn/rpc/frame.h"
#include "tarn/rpc/rpc_client.h"
#include "tarn/rpc/rpc_controller.h"
#include "tarn/rpc/rpc_server.h"
#include "tarn/sock_address.h"
#include "tarn/worker.h"
#include "tarn/worker_thread.h"
#include "vovorav.pb.h"

namespace rpctest {

using Clock = std::chrono::steady_clock;

// A port that was free a moment ago (bound to 0 and released).
inline uint16_t PickFreePort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
  socklen_t len = sizeof(addr);
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  close(fd);
  return ntohs(addr.sin_port);
}

inline tarn::SockAddress Loopback(uint16_t port) { return tarn::SockAddress("127.0.0.1", port, false); }

// Runs fn on worker's loop and waits for it.
inline void RunOn(tarn::Worker* worker, const std::function<void()>& fn) {
  ASSERT_EQ(worker->loop()->RunInLoop(fn, false), 0);
}

// Polls cond every millisecond for up to `seconds`.
inline bool WaitUntil(const std::function<bool()>& cond, double seconds = 10.0) {
  const auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
  while (Clock::now() < deadline) {
    if (cond()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return cond();
}

// Outcome of finished calls, filled by closures on the client loop.
class Results {
 public:
  void Add(int code) {
    std::lock_guard<std::mutex> lock(mutex_);
    codes_.push_back(code);
    cond_.notify_all();
  }
  // Waits until n results are in; false on timeout.
  bool WaitFor(size_t n, double seconds = 10.0) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cond_.wait_for(lock, std::chrono::duration<double>(seconds),
                          [&] { return codes_.size() >= n; });
  }
  std::vector<int> codes() {
    std::lock_guard<std::mutex> lock(mutex_);
    return codes_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable cond_;
  std::vector<int> codes_;
};

// The block-server service as a test double. Write echoes every request
// attachment back as one response attachment and answers with the lba in
// offset_in_extent; a write to kHoldLba is kept unanswered until Release().
// Read answers with `size` bytes of attachment (byte i = i % 251).
class TestBlockServer : public vovorav::BlockServerService {
 public:
  static constexpr uint64_t kHoldLba = 0xdead;
  static constexpr uint64_t kUserHoldLba = 0xbeef;

  void Write(google::protobuf::RpcController* base, const vovorav::BlockServerWriteRequest* req,
             vovorav::BlockServerWriteResponse* resp, google::protobuf::Closure* done) override {
    auto* ctrl = static_cast<tarn::RpcController*>(base);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      lbas_.push_back(req->lba());
      last_uuid_ = ctrl->uuid();
      if (req->lba() == kHoldLba) {
        held_.push_back(done);
        return;
      }
      if (req->lba() == kUserHoldLba) {
        ctrl->set_user_hold(true);
        user_held_.push_back(ctrl);
      }
    }
    writes_.fetch_add(1);
    const uint64_t n = ctrl->request_attachment_bytes();
    if (n > 0) {
      char* p = static_cast<char*>(ctrl->Malloc(static_cast<uint32_t>(n)));
      uint64_t off = 0;
      for (const tarn::AttachmentEntry& a : ctrl->request_attachments()) {
        memcpy(p + off, a.data, a.len);
        off += a.len;
      }
      ctrl->AppendResponseAttachment(p, static_cast<uint32_t>(n), true);
    }
    resp->mutable_rc()->set_retcode(0);
    resp->set_offset_in_extent(req->lba());
    resp->set_segment_id(n);
    done->Run();
  }

  void Read(google::protobuf::RpcController* base, const vovorav::BlockServerReadRequest* req,
            vovorav::BlockServerReadResponse* resp, google::protobuf::Closure* done) override {
    auto* ctrl = static_cast<tarn::RpcController*>(base);
    if (const uint32_t limit = read_conn_send_limit_.load()) ctrl->conn()->set_max_send_size(limit);
    const uint32_t n = static_cast<uint32_t>(req->size());
    if (n > 0) {
      char* p = static_cast<char*>(ctrl->Malloc(n));
      for (uint32_t i = 0; i < n; ++i) p[i] = static_cast<char>(i % 251);
      ctrl->AppendResponseAttachment(p, n, true);
    }
    resp->mutable_rc()->set_retcode(0);
    resp->set_size(n);
    done->Run();
  }

  // Answers every held write (from this thread).
  size_t Release() {
    std::vector<google::protobuf::Closure*> held;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      held.swap(held_);
    }
    for (auto* done : held) done->Run();
    return held.size();
  }
  // Lets go of every controller kept with the user hold (from this thread).
  size_t ReleaseUserHolds() {
    std::vector<tarn::RpcController*> held;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      held.swap(user_held_);
    }
    for (auto* ctrl : held) ctrl->set_user_hold(false);
    return held.size();
  }
  std::string last_uuid() {
    std::lock_guard<std::mutex> lock(mutex_);
    return last_uuid_;
  }
  size_t held() {
    std::lock_guard<std::mutex> lock(mutex_);
    return held_.size();
  }
  std::vector<uint64_t> lbas() {
    std::lock_guard<std::mutex> lock(mutex_);
    return lbas_;
  }
  int writes() const { return writes_.load(); }
  // When not 0, a read sets its connection's output limit to this first.
  void set_read_conn_send_limit(uint32_t limit) { read_conn_send_limit_ = limit; }

 private:
  std::mutex mutex_;
  std::vector<google::protobuf::Closure*> held_;
  std::vector<tarn::RpcController*> user_held_;
  std::string last_uuid_;
  std::vector<uint64_t> lbas_;
  std::atomic<int> writes_{0};
  std::atomic<uint32_t> read_conn_send_limit_{0};
};

// An acceptor worker, a client worker and an RPC server with the test
// service on a loopback port.
class RpcFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    acceptor_thread_.reset(new tarn::WorkerThread("acceptor", nullptr, option_, false));
    acceptor_ = static_cast<tarn::EventWorker*>(acceptor_thread_->Start());
    client_thread_.reset(new tarn::WorkerThread("client", nullptr, option_, false));
    client_worker_ = client_thread_->Start();
    ASSERT_NE(acceptor_, nullptr);
    ASSERT_NE(client_worker_, nullptr);
  }

  void TearDown() override {
    if (client_) RunOn(client_worker_, [this] { client_.reset(); });
    server_.reset();
    client_thread_->Stop();
    acceptor_thread_->Stop();
  }

  void StartServer(uint16_t port, uint32_t workers = 1, uint32_t pool = 64) {
    tarn::WorkerOption opt = option_;
    opt.name_prefix = "rpcsrv-";
    opt.obj_pool_size = pool;
    server_.reset(new tarn::RpcServer(tarn::kTcp, acceptor_, Loopback(port), "test_server", opt,
                                      nullptr));
    ASSERT_EQ(server_->AddService(&service_), 0);
    server_->SetWorkerNum(workers);
    ASSERT_EQ(server_->Start(), 0);
    pool_size_ = static_cast<int>(pool);
    workers_ = workers;
  }

  // Every controller of every server worker is back in its pool.
  bool PoolsFull(double seconds = 10.0) {
    return WaitUntil(
        [this] {
          for (uint32_t i = 0; i < workers_; ++i) {
            if (server_->FreeControllerCount(i) != pool_size_) return false;
          }
          return true;
        },
        seconds);
  }

  void MakeClient(uint16_t port) {
    RunOn(client_worker_, [this, port] {
      client_.reset(new tarn::RpcClient(tarn::kTcp, client_worker_, Loopback(port), "test_client"));
      ASSERT_EQ(client_->Connect(), 0);
    });
  }

  // Issues one write on the client loop; its code lands in results.
  void Write(uint64_t lba, Results* results, std::vector<std::string> attachments = {},
             std::function<void(tarn::RpcController*)> check = nullptr) {
    RunOn(client_worker_, [&] { WriteInLoop(lba, results, attachments, check); });
  }

  // On the client loop.
  void WriteInLoop(uint64_t lba, Results* results, const std::vector<std::string>& attachments,
                   std::function<void(tarn::RpcController*)> check = nullptr) {
    auto* ctrl = new tarn::RpcController(client_->conn());
    for (const std::string& a : attachments) {
      void* p = ctrl->Malloc(static_cast<uint32_t>(a.size()));
      memcpy(p, a.data(), a.size());
      ctrl->AppendRequestAttachment(p, static_cast<uint32_t>(a.size()), true);
    }
    auto* req = new vovorav::BlockServerWriteRequest;
    auto* resp = new vovorav::BlockServerWriteResponse;
    req->set_lba(lba);
    auto finish = [ctrl, req, resp, results, check] {
      if (check) check(ctrl);
      results->Add(ctrl->Failed() ? ctrl->error_code() : 0);
      delete ctrl;
      delete req;
      delete resp;
    };
    vovorav::BlockServerService_Stub stub(client_.get());
    stub.Write(ctrl, req, resp, google::protobuf::NewCallback(&RunFunction, new Fn(finish)));
  }

  using Fn = std::function<void()>;
  static void RunFunction(Fn* fn) {
    (*fn)();
    delete fn;
  }

  tarn::WorkerOption option_;
  std::unique_ptr<tarn::WorkerThread> acceptor_thread_;
  std::unique_ptr<tarn::WorkerThread> client_thread_;
  tarn::EventWorker* acceptor_ = nullptr;
  tarn::Worker* client_worker_ = nullptr;
  TestBlockServer service_;
  std::unique_ptr<tarn::RpcServer> server_;
  std::unique_ptr<tarn::RpcClient> client_;
  int pool_size_ = 0;
  uint32_t workers_ = 0;
};

// A blocking loopback socket connected to port.
inline int RawConnect(uint16_t port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
    close(fd);
    return -1;
  }
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
  return fd;
}

inline bool SendAll(int fd, const std::string& bytes) {
  size_t off = 0;
  while (off < bytes.size()) {
    ssize_t n = send(fd, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
    if (n <= 0) return false;
    off += static_cast<size_t>(n);
  }
  return true;
}

// Reads exactly n bytes within `seconds`; false on close, error or timeout.
inline bool RecvExact(int fd, size_t n, std::string* out, double seconds = 10.0) {
  out->clear();
  const auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
  while (out->size() < n) {
    pollfd p{fd, POLLIN, 0};
    int ms = static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
    if (ms <= 0 || poll(&p, 1, ms) <= 0) return false;
    char buf[65536];
    ssize_t r = recv(fd, buf, std::min(sizeof(buf), n - out->size()), 0);
    if (r <= 0) return false;
    out->append(buf, static_cast<size_t>(r));
  }
  return true;
}

// True when the peer closes fd within `seconds` (reads drain anything sent).
inline bool PeerCloses(int fd, double seconds = 10.0) {
  const auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
  for (;;) {
    int ms = static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
    if (ms <= 0) return false;
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, ms) <= 0) return false;
    char buf[4096];
    ssize_t r = recv(fd, buf, sizeof(buf), 0);
    if (r <= 0) return true;
  }
}

// A whole frame: head, names, header, body, zero padding, attachment.
inline std::string BuildFrame(const std::string& service, const std::string& method,
                              const std::string& header, const std::string& body,
                              const std::string& attachment = "") {
  tarn::FrameHead head;
  head.service_len = static_cast<uint16_t>(service.size());
  head.method_len = static_cast<uint16_t>(method.size());
  head.header_len = static_cast<uint32_t>(header.size());
  head.body_len = static_cast<uint32_t>(body.size());
  head.total = static_cast<uint32_t>(head.main_size() + attachment.size());
  std::string out(head.main_size(), '\0');
  head.Encode(&out[0]);
  memcpy(&out[20], (service + method + header + body).data(),
         service.size() + method.size() + header.size() + body.size());
  return out + attachment;
}

inline std::string RequestHeader(uint64_t seq, uint32_t method_index) {
  tarn::RpcHeader h;
  h.set_seq_no(seq);
  h.set_method_index(method_index);
  return h.SerializeAsString();
}

inline std::string WriteRequestFrame(uint64_t seq, uint64_t lba, const std::string& att = "") {
  vovorav::BlockServerWriteRequest req;
  req.set_lba(lba);
  return BuildFrame("BlockServerService", "Write", RequestHeader(seq, 0), req.SerializeAsString(),
                    att);
}

// Reads one response frame from fd: its header and body.
template <typename Response>
bool ReadResponse(int fd, tarn::RpcHeader* header, Response* resp,
                         std::string* attachment = nullptr, double seconds = 10.0) {
  std::string head_bytes;
  if (!RecvExact(fd, 20, &head_bytes, seconds)) return false;
  tarn::FrameHead head;
  if (!head.Decode(head_bytes.data())) return false;
  std::string rest;
  if (!RecvExact(fd, head.total - 20, &rest, seconds)) return false;
  const size_t names = head.service_len + head.method_len;
  if (!header->ParseFromArray(rest.data() + names, static_cast<int>(head.header_len))) return false;
  if (!resp->ParseFromArray(rest.data() + names + head.header_len, static_cast<int>(head.body_len))) {
    return false;
  }
  if (attachment != nullptr) *attachment = rest.substr(head.main_size() - 20);
  return true;
}

}  // namespace rpctest

#endif  // TESTS_RPC_RPC_TEST_UTIL_H_
