// Shared pieces of the interoperation tests: the echo service of
// interop.proto, an RpcServer serving it on a loopback port, and helpers
// that run stock clients (python3 with grpcio, nghttp, h2load, curl) as
// child processes and build the bodies they send.
//
// A client program that is missing fails the test with the package that
// brings it: scripts/setup.sh installs them all, so a missing one is a
// broken machine, never a reason to skip.
#ifndef TESTS_H2_INTEROP_FIXTURE_H_
#define TESTS_H2_INTEROP_FIXTURE_H_

#include <stdlib.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "interop.pb.h"
#include "support/child.h"
#include "support/worker.h"
#include "tarn/connection.h"
#include "tarn/rpc/rpc_controller.h"
#include "tarn/rpc/rpc_server.h"
#include "tarn/server.h"
#include "tarn/sock_address.h"

namespace interoptest {

// Echoes payload and text and reports the payload's size; fails with
// fail_text when that is set. A call with gather = N is answered only once
// N such calls are waiting, and then all of them are. A call with
// answer_bytes = N is answered with N payload bytes; one with hold_ms = N
// is answered N ms later from a thread of the service's own.
class EchoServiceImpl : public interop::EchoService {
 public:
  EchoServiceImpl() : holder_([this] { HoldLoop(); }) {}
  ~EchoServiceImpl() override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    wake_.notify_all();
    holder_.join();
  }

  void Echo(google::protobuf::RpcController* base, const interop::EchoRequest* request,
            interop::EchoResponse* response, google::protobuf::Closure* done) override {
    auto* ctrl = static_cast<tarn::RpcController*>(base);
    std::vector<google::protobuf::Closure*> ready;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      calls_++;
      connections_.insert(ctrl->conn()->id());
      if (!request->fail_text().empty()) {
        ctrl->SetFailed(request->fail_text());
        ready.push_back(done);
      } else {
        if (request->answer_bytes() > 0) {
          response->set_payload(std::string(request->answer_bytes(), 'a'));
        } else {
          response->set_payload(request->payload());
        }
        response->set_text(request->text());
        response->set_payload_size(request->payload().size());
        if (request->gather() > 0) {
          gathered_.push_back(done);
          if (gathered_.size() >= request->gather()) ready.swap(gathered_);
        } else if (request->hold_ms() > 0) {
          // Kept in the order they fall due.
          const Clock::time_point due =
              Clock::now() + std::chrono::milliseconds(request->hold_ms());
          auto at = std::upper_bound(
              held_.begin(), held_.end(), due,
              [](const Clock::time_point& t, const Held& h) { return t < h.first; });
          held_.emplace(at, due, done);
          wake_.notify_all();
        } else {
          ready.push_back(done);
        }
      }
    }
    for (google::protobuf::Closure* closure : ready) closure->Run();
  }

  // Answers every call still gathering or held (a failed case may leave
  // some).
  void Release() {
    std::vector<google::protobuf::Closure*> ready;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ready.swap(gathered_);
      for (auto& h : held_) ready.push_back(h.second);
      held_.clear();
    }
    for (google::protobuf::Closure* closure : ready) closure->Run();
  }

  size_t calls() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
  }
  // Ids of the connections calls came on.
  std::set<int64_t> connections() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return connections_;
  }

 private:
  using Clock = std::chrono::steady_clock;

  // Answers held calls as they fall due.
  void HoldLoop() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
      if (held_.empty()) {
        wake_.wait(lock);
        continue;
      }
      if (Clock::now() < held_.front().first) {
        wake_.wait_until(lock, held_.front().first);
        continue;
      }
      google::protobuf::Closure* done = held_.front().second;
      held_.pop_front();
      lock.unlock();
      done->Run();
      lock.lock();
    }
  }

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::vector<google::protobuf::Closure*> gathered_;
  using Held = std::pair<Clock::time_point, google::protobuf::Closure*>;
  std::deque<Held> held_;
  bool stopping_ = false;
  size_t calls_ = 0;
  std::set<int64_t> connections_;
  std::thread holder_;
};

// An RpcServer with the echo service on 127.0.0.1 at a port the kernel
// chose, one worker, and a scratch folder for the files clients read and
// write.
class InteropTest : public ::testing::Test {
 protected:
  // Enough controllers for every call the tests keep open at once.
  static constexpr uint32_t kControllers = 512;

  void SetUp() override {
    acceptor_.reset(new testsupport::WorkerOnThread("interop-acc"));
    ASSERT_NE(acceptor_->worker(), nullptr);
    tarn::WorkerOption opt;
    opt.name_prefix = "interop-srv-";
    opt.obj_pool_size = kControllers;
    server_.reset(new tarn::RpcServer(tarn::kTcp, acceptor_->worker(),
                                      tarn::SockAddress("127.0.0.1", 0, false), "interop", opt,
                                      nullptr));
    ASSERT_EQ(server_->AddService(&service_), 0);
    server_->SetWorkerNum(1);
    ASSERT_EQ(server_->Start(), 0);
    port_ = server_->server()->listen_addr().ToPort();
    ASSERT_NE(port_, 0);
    char dir[] = "/tmp/tarn_interop_XXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    scratch_ = dir;
  }

  void TearDown() override {
    service_.Release();
    server_.reset();
    acceptor_.reset();
    if (!scratch_.empty()) std::filesystem::remove_all(scratch_);
  }

  std::string Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
  }

  // A file of the scratch folder holding bytes; its path.
  std::string WriteScratch(const std::string& name, const std::string& bytes) const {
    const std::string path = scratch_ + "/" + name;
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
  }

  std::string ReadScratch(const std::string& name) const {
    std::ifstream in(scratch_ + "/" + name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

  EchoServiceImpl service_;
  std::unique_ptr<testsupport::WorkerOnThread> acceptor_;
  std::unique_ptr<tarn::RpcServer> server_;
  uint16_t port_ = 0;
  std::string scratch_;
};

// The path of program when PATH holds it, else empty.
inline std::string FindProgram(const std::string& program) {
  const char* path = ::getenv("PATH");
  std::string dirs = path ? path : "/usr/bin:/bin";
  size_t start = 0;
  while (start <= dirs.size()) {
    size_t end = dirs.find(':', start);
    if (end == std::string::npos) end = dirs.size();
    const std::string candidate = dirs.substr(start, end - start) + "/" + program;
    if (end > start && ::access(candidate.c_str(), X_OK) == 0) return candidate;
    start = end + 1;
  }
  return std::string();
}

// Fails the calling test when program is missing, naming the package.
#define INTEROP_REQUIRE_PROGRAM(program, package)                                  \
  ASSERT_FALSE(::interoptest::FindProgram(program).empty())                        \
      << program << " is missing: the Debian package " << package                  \
      << " brings it (scripts/setup.sh installs it)"

// Runs a stock client with a generous time limit; a hang ends as a failure.
inline testsupport::ChildResult RunClient(const std::vector<std::string>& argv,
                                          double timeout_s = 60.0) {
  return testsupport::RunCommand(argv, timeout_s);
}

// message behind the 5-byte gRPC prefix (compressed flag, big-endian length).
inline std::string GrpcFrame(const std::string& message, bool compressed = false) {
  const uint32_t n = static_cast<uint32_t>(message.size());
  std::string out(5, '\0');
  out[0] = compressed ? 1 : 0;
  out[1] = static_cast<char>(n >> 24);
  out[2] = static_cast<char>(n >> 16);
  out[3] = static_cast<char>(n >> 8);
  out[4] = static_cast<char>(n);
  return out + message;
}

// data as one gzip member.
inline std::string Gzip(const std::string& data) {
  z_stream zs{};
  if (deflateInit2(&zs, Z_BEST_SPEED, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
    return std::string();
  }
  std::string out(deflateBound(&zs, data.size()) + 32, '\0');
  zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  zs.avail_in = static_cast<uInt>(data.size());
  zs.next_out = reinterpret_cast<Bytef*>(&out[0]);
  zs.avail_out = static_cast<uInt>(out.size());
  const int rc = deflate(&zs, Z_FINISH);
  out.resize(zs.total_out);
  deflateEnd(&zs);
  return rc == Z_STREAM_END ? out : std::string();
}

// n bytes of a pattern that no run of equal bytes could fake.
inline std::string Pattern(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 131 + i / 251) & 0xff);
  return s;
}

inline std::string Serialize(const google::protobuf::Message& message) {
  std::string out;
  message.SerializeToString(&out);
  return out;
}

}  // namespace interoptest

#endif  // TESTS_H2_INTEROP_FIXTURE_H_
