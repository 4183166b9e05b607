// Shared pieces of the I/O driver tests: a scriptable block server over a
// RAM store, host records (disk, channel with rings, block I/O), and a
// fixture that runs PyxDriver on an event worker colony against that server
// on loopback. Drains and polls run by hand (their timers are set to fire
// once in 1000 s) unless a test sets the intervals itself.
#ifndef TESTS_DRIVER_IO_FIXTURE_H_
#define TESTS_DRIVER_IO_FIXTURE_H_

#include <arpa/inet.h>

#include <cstdint>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "bvar/bvar.h"
#include "control/client_manager.h"
#include "control/config.h"
#include "control/globals.h"
#include "io/pyx_driver.h"
#include "pyxdriver/pyxdriver.h"
#include "record_access.h"
#include "spdk/bdev_module.h"
#include "spdk/env.h"
#include "support/log_capture.h"
#include "support/ports.h"
#include "support/wait.h"
#include "support/worker.h"
#include "tarn/base/time_cycle.h"
#include "tarn/connection.h"
#include "tarn/event/event_worker_colony.h"
#include "tarn/loop.h"
#include "tarn/rpc/rpc_client.h"
#include "tarn/rpc/rpc_controller.h"
#include "tarn/rpc/rpc_server.h"
#include "tarn/worker.h"
#include "vovorav.pb.h"

namespace iotest {

constexpr uint64_t kBlock = 4096;

// How many times `needle` occurs in `text` (overlapping ones too).
inline size_t Occurrences(const std::string& text, const std::string& needle) {
  size_t n = 0;
  for (size_t p = text.find(needle); p != std::string::npos; p = text.find(needle, p + 1)) ++n;
  return n;
}

// A block server over a RAM store of 4 KiB blocks. Reads answer the stored
// data with one block_info per block, or zerod when no block of the range
// was ever written. Every answer carries the server's term. Answers can be
// scripted per method (the next call of "Read" or "Write" takes the oldest
// script) and held back until Release().
class FakeBlockServer : public vovorav::BlockServerService {
 public:
  struct Answer {
    int retcode = 0;
    int64_t term = -1;        // latest_route_term; -1: the server's term
    int64_t size_delta = 0;   // read: `size` answered = asked + delta
    int64_t data_delta = 0;   // read: data bytes = asked + delta
    bool zerod = false;       // read: zerod and no data
    int extra_infos = 0;      // read: block_info entries past the range
    bool hold = false;        // answered only by Release()
    bool apply_late = false;  // write, held: stored only when Release() answers it
    bool applied = false;     // write answered with an error: stored all the same
  };
  struct Request {
    std::string method;
    std::string vdi;
    uint64_t lba = 0;
    uint64_t size = 0;
    uint64_t term = 0;
    uint64_t dgs = 0;
    std::string data;  // write attachment
  };

  void Push(const std::string& method, const Answer& a) {
    std::lock_guard<std::mutex> lock(mu_);
    scripts_[method].push_back(a);
  }
  void HoldAll(bool on) {
    std::lock_guard<std::mutex> lock(mu_);
    hold_all_ = on;
  }
  // Answers every held call from the calling thread; returns how many.
  // A write held with apply_late is stored first, as a server that applies
  // it only now.
  size_t Release() {
    std::vector<Held> held;
    {
      std::lock_guard<std::mutex> lock(mu_);
      held.swap(held_);
      for (const Held& h : held) {
        if (h.late) StoreLocked(h.lba, h.data);
      }
    }
    for (const Held& h : held) h.done->Run();
    return held.size();
  }
  size_t held() const {
    std::lock_guard<std::mutex> lock(mu_);
    return held_.size();
  }
  std::vector<Request> requests() const {
    std::lock_guard<std::mutex> lock(mu_);
    return requests_;
  }
  size_t count(const std::string& method) const {
    std::lock_guard<std::mutex> lock(mu_);
    size_t n = 0;
    for (const Request& r : requests_) n += r.method == method;
    return n;
  }
  void set_term(uint64_t term) {
    std::lock_guard<std::mutex> lock(mu_);
    term_ = term;
  }
  void set_location(uint64_t segment, uint64_t stream, uint64_t extent, uint64_t offset) {
    std::lock_guard<std::mutex> lock(mu_);
    location_[0] = segment;
    location_[1] = stream;
    location_[2] = extent;
    location_[3] = offset;
  }
  // Stored bytes (zeros where never written); any alignment.
  std::string Stored(uint64_t offset, uint64_t len) const {
    std::lock_guard<std::mutex> lock(mu_);
    std::string out(len, '\0');
    for (uint64_t i = 0; i < len; ++i) {
      auto it = blocks_.find((offset + i) / kBlock);
      if (it != blocks_.end()) out[i] = it->second[(offset + i) % kBlock];
    }
    return out;
  }
  void Store(uint64_t offset, const std::string& data) {
    std::lock_guard<std::mutex> lock(mu_);
    StoreLocked(offset, data);
  }

  void Write(google::protobuf::RpcController* base, const vovorav::BlockServerWriteRequest* req,
             vovorav::BlockServerWriteResponse* resp, google::protobuf::Closure* done) override {
    auto* ctrl = static_cast<tarn::RpcController*>(base);
    Request r{"Write", req->vdi().id(), req->lba(), req->size(), req->route_term().term(),
              req->dgs(), ""};
    for (const tarn::AttachmentEntry& a : ctrl->request_attachments()) {
      r.data.append(static_cast<const char*>(a.data), a.len);
    }
    std::lock_guard<std::mutex> lock(mu_);
    requests_.push_back(r);
    const Answer a = Next("Write");
    resp->mutable_latest_route_term()->set_term(a.term < 0 ? term_ : static_cast<uint64_t>(a.term));
    resp->mutable_rc()->set_retcode(a.retcode);
    const bool store = a.retcode == 0 || a.applied;
    const bool late = store && a.hold && a.apply_late;
    if (store && !late) StoreLocked(r.lba, r.data);
    if (a.retcode == 0) {
      resp->set_segment_id(location_[0]);
      resp->set_stream_id(location_[1]);
      resp->set_extent_id(location_[2]);
      resp->set_offset_in_extent(location_[3]);
    }
    if (late) {
      held_.push_back(Held{done, true, r.lba, r.data});
      return;
    }
    Finish(a, done);
  }

  void Read(google::protobuf::RpcController* base, const vovorav::BlockServerReadRequest* req,
            vovorav::BlockServerReadResponse* resp, google::protobuf::Closure* done) override {
    auto* ctrl = static_cast<tarn::RpcController*>(base);
    std::lock_guard<std::mutex> lock(mu_);
    requests_.push_back(
        Request{"Read", req->vdi().id(), req->lba(), req->size(), req->route_term().term(), 0, ""});
    const Answer a = Next("Read");
    resp->mutable_latest_route_term()->set_term(a.term < 0 ? term_ : static_cast<uint64_t>(a.term));
    resp->mutable_rc()->set_retcode(a.retcode);
    if (a.retcode == 0) {
      const uint64_t blocks = req->size() / kBlock;
      bool any = false;
      for (uint64_t b = 0; b < blocks; ++b) any = any || blocks_.count(req->lba() / kBlock + b);
      resp->set_size(static_cast<uint64_t>(static_cast<int64_t>(req->size()) + a.size_delta));
      for (uint64_t b = 0; b < blocks + static_cast<uint64_t>(a.extra_infos); ++b) {
        vovorav::ReadBlockInfo* info = resp->add_block_info();
        info->set_lba(req->lba() + b * kBlock);
        info->set_segment_id(location_[0]);
        info->set_stream_id(location_[1]);
        info->set_extent_id(location_[2]);
        info->set_offset_in_extent(location_[3]);
      }
      if (!any || a.zerod) {
        resp->set_zerod(true);
      } else {
        const int64_t n = static_cast<int64_t>(req->size()) + a.data_delta;
        if (n > 0) {
          char* p = static_cast<char*>(ctrl->Malloc(static_cast<uint32_t>(n)));
          memset(p, 0, static_cast<size_t>(n));
          for (int64_t i = 0; i < n; ++i) {
            auto it = blocks_.find((req->lba() + static_cast<uint64_t>(i)) / kBlock);
            if (it != blocks_.end()) p[i] = it->second[(req->lba() + i) % kBlock];
          }
          ctrl->AppendResponseAttachment(p, static_cast<uint32_t>(n), true);
        }
      }
    }
    Finish(a, done);
  }

 private:
  Answer Next(const std::string& method) {
    auto& q = scripts_[method];
    if (q.empty()) {
      Answer a;
      a.hold = hold_all_;
      return a;
    }
    Answer a = q.front();
    q.pop_front();
    a.hold = a.hold || hold_all_;
    return a;
  }
  // Under mu_; the answer leaves after the lock is dropped by the caller's
  // scope only when not held (Run posts the send, it does not block).
  void Finish(const Answer& a, google::protobuf::Closure* done) {
    if (a.hold) {
      held_.push_back(Held{done, false, 0, ""});
    } else {
      done->Run();
    }
  }
  void StoreLocked(uint64_t offset, const std::string& data) {
    for (uint64_t i = 0; i < data.size(); ++i) {
      std::string& b = blocks_[(offset + i) / kBlock];
      if (b.empty()) b.assign(kBlock, '\0');
      b[(offset + i) % kBlock] = data[i];
    }
  }

  mutable std::mutex mu_;
  std::map<std::string, std::deque<Answer>> scripts_;
  bool hold_all_ = false;
  struct Held {
    google::protobuf::Closure* done;
    bool late;  // a write to store at release: lba, data
    uint64_t lba;
    std::string data;
  };
  std::vector<Held> held_;
  std::vector<Request> requests_;
  std::map<uint64_t, std::string> blocks_;
  uint64_t term_ = 7;
  uint64_t location_[4] = {0x1234, 0x56, 0x78, 0x9abcdef01ull};
};

// An RPC client whose every call fails with one controller error code,
// through the controller's own completion (a later loop pass).
class FailingClient : public tarn::RpcClient {
 public:
  FailingClient(tarn::Worker* worker, const tarn::SockAddress& peer, int code)
      : tarn::RpcClient(tarn::kTcp, worker, peer, "failing"), code_(code) {}
  void CallMethod(const google::protobuf::MethodDescriptor*, google::protobuf::RpcController* c,
                  const google::protobuf::Message*, google::protobuf::Message*,
                  google::protobuf::Closure* done) override {
    auto* ctrl = static_cast<tarn::RpcController*>(c);
    ctrl->set_done(done);
    ctrl->CallDone(true, code_, "injected failure");
  }

 private:
  int code_;
};

// One block I/O of the host: an spdk_bdev_io with the library's record
// behind it, and its data buffers.
class TestIo {
 public:
  TestIo(int16_t type, uint64_t offset, uint64_t len, bdev_pyx_io_channel* ch,
         std::vector<size_t> iov_lens = {})
      : mem_(new uint8_t[sizeof(spdk_bdev_io) + sizeof(bdev_pyx_io)]()) {
    if (iov_lens.empty()) iov_lens.push_back(len);
    bio()->type = type;
    for (size_t n : iov_lens) buffers_.emplace_back(n, '\0');
    for (std::string& b : buffers_) iovs_.push_back(iovec{&b[0], b.size()});
    bdev_pyx_io* r = io();
    r->iov = iovs_.data();
    r->iovcnt = static_cast<int>(iovs_.size());
    r->len = len;
    r->offset = offset;
    r->ch = ch;
    r->stats = new bdev_pyx_io_stats();
    r->stats->start = plinth::rdtsc();
  }
  ~TestIo() { delete io()->stats; }

  spdk_bdev_io* bio() { return reinterpret_cast<spdk_bdev_io*>(mem_.get()); }
  bdev_pyx_io* io() { return static_cast<bdev_pyx_io*>(spdk_bdev_io_get_driver_ctx(bio())); }
  // The buffers back to back.
  std::string data() const {
    std::string out;
    for (const std::string& b : buffers_) out += b;
    return out;
  }
  void set_data(const std::string& d) {
    size_t off = 0;
    for (std::string& b : buffers_) {
      b.replace(0, b.size(), d.substr(off, b.size()));
      off += b.size();
    }
  }
  int completions = 0;

 private:
  std::unique_ptr<uint8_t[]> mem_;
  std::vector<std::string> buffers_;
  std::vector<iovec> iovs_;
};

// A byte pattern that differs per offset and seed.
inline std::string Pattern(size_t n, uint32_t seed) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 131 + seed * 7 + (i >> 12)) & 0xff);
  return s;
}

// For comparing large byte strings without printing them whole: where the
// two first differ, or "equal".
inline std::string Diff(const std::string& a, const std::string& b) {
  if (a == b) return "equal";
  size_t i = 0;
  while (i < a.size() && i < b.size() && a[i] == b[i]) ++i;
  return "differ at " + std::to_string(i) + " (sizes " + std::to_string(a.size()) + ", " +
         std::to_string(b.size()) + ")";
}

inline uint64_t ExposedValue(const std::string& name) {
  return std::stoull(bvar::Variable::describe_exposed(name));
}

class DriverTest : public ::testing::Test {
 protected:
  static constexpr int kPlanes = 16;

  void SetUp() override {
    pyx::ResetConfigForTest();
    retry_sleep_ms = 1000000;
    polling_interval_ms = 1000000;
    rpc_timeout = 30000;
    acceptor_.reset(new testsupport::WorkerOnThread("io-acc"));
    port_ = testsupport::PickFreePort();
    tarn::WorkerOption opt;
    opt.name_prefix = "io-bs-";
    server_.reset(new tarn::RpcServer(tarn::kTcp, acceptor_->worker(),
                                      testsupport::Loopback(port_), "io_bs", opt, nullptr));
    ASSERT_EQ(server_->AddService(&bs_), 0);
    server_->SetWorkerNum(1);
    ASSERT_EQ(server_->Start(), 0);
    ip_ = inet_addr("127.0.0.1");
  }

  void TearDown() override {
    bs_.HoldAll(false);
    bs_.Release();
    pyxdrivers.clear();
    drivers_.clear();  // fails what they still hold
    if (colony_) colony_->Stop();
    server_.reset();
    acceptor_.reset();
    for (spdk_ring* r : rings_) spdk_ring_free(r);
    delete disk_;
    pyx::ResetConfigForTest();
  }

  // Drivers 0 .. n-1 on a colony, the disk attached with routes for every
  // plane to the server, its dgs and, with is_crc, its vectors.
  void StartDrivers(int n = 1, size_t ring_size = 4096, uint64_t disk_size = 64ull << 20) {
    colony_.reset(new tarn::EventWorkerColony(static_cast<uint32_t>(n), tarn::WorkerOption(),
                                              nullptr));
    colony_->Start();
    // On the heap, so that a test can free it as a host does after pyx_free.
    disk_ = new bdev_pyx();
    disk_->name = name_.data();
    disk_->uuid = uuid_.data();
    disk_->size = disk_size;
    disk_->counter = &counter_;
    disk_->exists = 1;
    for (uint64_t& t : disk_->route_term) t = 7;
    for (int i = 0; i < 16; ++i) {
      rings_.push_back(spdk_ring_create(SPDK_RING_TYPE_MP_SC, ring_size, SPDK_ENV_SOCKET_ID_ANY));
    }
    ch_.disk = disk_;
    ch_.rings = rings_.data();
    for (int i = 0; i < n; ++i) {
      drivers_.emplace_back(new PyxDriver(tarn::kTcp, colony_->GetWorker(i), i));
      PyxDriver* d = drivers_.back().get();
      OnLoop(i, [&, d] {
        d->malloc_plane_route_cache(disk_);
        d->BitMapCreate(disk_, disk_size);
        if (is_crc) {
          d->VectorCreate(disk_, disk_size);
          d->segmentCreate(disk_, disk_size);
          d->streamCreate(disk_, disk_size);
          d->extentCreate(disk_, disk_size);
          d->offset_extentCreate(disk_, disk_size);
        }
        d->pyx_set_client_manager(static_cast<int>(ip_), "127.0.0.1", port_, client_nums);
        d->CreateDgs(name_, 5);
      });
      d->UpdateRouteCache(name_, Routes(kPlanes, port_));
      OnLoop(i, [] {});  // the copy has run
    }
  }

  // An answer of `planes` routes, all to `port` (0: no route).
  std::shared_ptr<vovorav::BlockMasterQueryPlaneRouteResponse> Routes(int planes, uint16_t port,
                                                                       int dies = 1) {
    auto resp = std::make_shared<vovorav::BlockMasterQueryPlaneRouteResponse>();
    resp->mutable_route_term()->set_term(7);
    for (int d = 0; d < dies; ++d) {
      vovorav::PlaneRouteInDie* die = resp->add_routes();
      for (int p = 0; p < planes / dies; ++p) {
        vovorav::PlaneRouteDetail* r = die->add_route();
        r->mutable_plane_id()->set_start_lba(static_cast<uint64_t>(d * (planes / dies) + p) << 24);
        r->mutable_endpoint()->set_ip(ip_);
        r->mutable_endpoint()->set_port(port);
      }
    }
    return resp;
  }

  PyxDriver* driver(int i = 0) { return drivers_[static_cast<size_t>(i)].get(); }
  void OnLoop(int i, const std::function<void()>& fn) {
    ASSERT_TRUE(testsupport::RunSync(colony_->GetWorker(static_cast<uint32_t>(i)), fn));
  }
  void OnLoop(const std::function<void()>& fn) { OnLoop(0, fn); }

  // I/O records live as long as the fixture: a driver torn down with I/O
  // still held completes them onto the rings.
  TestIo* NewIo(int16_t type, uint64_t offset, uint64_t len, std::vector<size_t> iov_lens = {}) {
    ios_.emplace_back(new TestIo(type, offset, len, &ch_, iov_lens));
    ios_.back()->io()->plane = 0;
    return ios_.back().get();
  }
  TestIo* NewRead(uint64_t offset, uint64_t len) {
    return NewIo(SPDK_BDEV_IO_TYPE_READ, offset, len);
  }
  TestIo* NewWrite(uint64_t offset, const std::string& data, std::vector<size_t> iov_lens = {}) {
    TestIo* t = NewIo(SPDK_BDEV_IO_TYPE_WRITE, offset, data.size(), iov_lens);
    t->set_data(data);
    return t;
  }

  // Posts the I/O to driver i as send_pyx_io would.
  void Submit(TestIo* t, int i = 0) {
    PyxDriver* d = driver(i);
    bdev_pyx_io* io = t->io();
    tracked_[io] = t;
    const bool aligned = ((io->offset | io->len) & 0xfff) == 0;
    const int16_t type = t->bio()->type;
    colony_->GetWorker(static_cast<uint32_t>(i))->loop()->RunInLoop(
        [d, io, aligned, type] {
          if (type == SPDK_BDEV_IO_TYPE_READ) {
            d->pyx_aio_read(io);
          } else if (aligned) {
            d->pyx_aio_write_4k_align(io);
          } else {
            d->rmw_4k_align_read(io);
          }
        },
        true);
  }

  // From here on SubmitToLibrary goes through send_pyx_io to the drivers
  // started, as many as there are, over a geometry that places every byte
  // on a plane with a route.
  void UseLibraryEntry() {
    disk_->die_unit_capacity = disk_->die_capacity = disk_->size;
    disk_->plane_capacity = disk_->block_capacity = disk_->size / kPlanes;
    worker_num = static_cast<int>(drivers_.size());
    pyxdrivers.clear();
    for (auto& d : drivers_) pyxdrivers.push_back(d.get());
  }
  // Submits the I/O as a host does, send_pyx_io choosing its driver.
  void SubmitToLibrary(TestIo* t) {
    tracked_[t->io()] = t;
    delete t->io()->stats;  // send_pyx_io gives the I/O its own
    t->io()->stats = nullptr;
    send_pyx_io(t->bio());
  }

  // Takes every finished I/O off the rings; counts completions per I/O.
  void Poll() {
    void* batch[256];
    for (spdk_ring* r : rings_) {
      size_t n;
      while ((n = spdk_ring_dequeue(r, batch, 256)) > 0) {
        for (size_t k = 0; k < n; ++k) {
          auto* io = static_cast<bdev_pyx_io*>(batch[k]);
          auto it = tracked_.find(io);
          if (it == tracked_.end()) {
            ++strays_;
          } else {
            ++it->second->completions;
          }
        }
      }
    }
  }
  bool WaitDone(TestIo* t, double timeout_s = 30.0) {
    return testsupport::WaitFor([&] {
      Poll();
      return t->completions > 0;
    }, timeout_s);
  }
  // Runs the retry drain on driver i until `t` is done.
  bool RetryUntilDone(TestIo* t, int i = 0) {
    return testsupport::WaitFor([&] {
      OnLoop(i, [&] { driver(i)->pyx_retry_io(); });
      Poll();
      return t->completions > 0;
    });
  }
  // Waits until the driver holds `n` I/O on its retry ring.
  bool WaitRetry(size_t n, int i = 0) {
    return testsupport::WaitFor([&] {
      size_t got = 0;
      OnLoop(i, [&] { got = driver(i)->retry_count(); });
      return got == n;
    });
  }
  template <typename T>
  T Read(int i, const std::function<T()>& fn) {
    T v{};
    OnLoop(i, [&] { v = fn(); });
    return v;
  }
  uint64_t Metric(const std::string& suffix, int i = 0) {
    return ExposedValue("pyxdriver_worker" + std::to_string(i) + suffix);
  }

  FakeBlockServer bs_;
  uint16_t port_ = 0;
  uint32_t ip_ = 0;
  std::unique_ptr<testsupport::WorkerOnThread> acceptor_;
  std::unique_ptr<tarn::RpcServer> server_;
  std::unique_ptr<tarn::EventWorkerColony> colony_;
  std::vector<std::unique_ptr<PyxDriver>> drivers_;
  std::string name_ = "disk0";
  std::string uuid_ = "uuid-disk0";
  uint64_t counter_ = 0;
  bdev_pyx* disk_ = nullptr;
  bdev_pyx_io_channel ch_{};
  std::vector<spdk_ring*> rings_;
  std::vector<std::unique_ptr<TestIo>> ios_;
  std::map<bdev_pyx_io*, TestIo*> tracked_;
  int strays_ = 0;
};

}  // namespace iotest

#endif  // TESTS_DRIVER_IO_FIXTURE_H_
