// The I/O driver's hot path: 4 KiB reads, 4 KiB writes and 512-byte
// unaligned writes (read-modify-write) through send_pyx_io and PyxDriver to
// an in-process block server on loopback, at queue depth 1 and 32; and, at
// queue depth 32, 8 KiB aligned writes across a stripe, which go in two
// parts (two block-server calls and one heap allocation per host I/O).
//
// One host thread keeps `depth` I/O in flight: it submits each with
// send_pyx_io, polls the completion ring and submits the next. Reported:
// I/O per second (wall clock) and the driver thread's CPU time per I/O
// ("drv_ns/io"), which covers admission, routing, the RPC call and its
// framing, the TCP work of the driver's connection, the answer's ladder,
// the data copy and completion. Beside it, heap allocations per I/O:
// "host_allocs/io" made by the library on the host's thread (inside
// send_pyx_io), "drv_allocs/io" on the driver's loop thread (both 0 at
// steady state), "allocs/io" in the whole process (the benchmark's and the
// block server's own work included). "p50_us" is the median time from the
// host's submission to its reaping the completion; at queue depth 1 it
// compares with bench_rpc's blocking round trip (scripts/bench.sh prints
// the ratio): the driver adds one hand-off from the host's thread to its
// loop to the RPC round trip. The label says where the threads ran.
//
// The block server answers at once from memory (reads copy a fixed pattern,
// writes store nothing) on a worker of its own.
#include <arpa/inet.h>
#include <pthread.h>
#include <sched.h>
#include <time.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "alloc_counter.h"
#include "control/config.h"
#include "control/globals.h"
#include "io/pyx_driver.h"
#include "pyxdriver/pyxdriver.h"
#include "spdk/bdev_module.h"
#include "spdk/env.h"
#include "support/ports.h"
#include "support/worker.h"
#include "tarn/base/logging.h"
#include "tarn/base/time_cycle.h"
#include "tarn/event/event_worker_colony.h"
#include "tarn/loop.h"
#include "tarn/rpc/rpc_controller.h"
#include "tarn/rpc/rpc_server.h"
#include "tarn/worker.h"
#include "vovorav.pb.h"

namespace {

constexpr uint64_t kTerm = 7;
constexpr uint32_t kBlock = 4096;
constexpr uint32_t kSector = 512;

// kStripeWrite: an 8 KiB aligned write across a max_io_size stripe, sent
// in two parts (here both to the one driver) and completed once.
enum Kind { kRead = 0, kWrite = 1, kUnalignedWrite = 2, kStripeWrite = 3 };

class MemoryBlockServer : public vovorav::BlockServerService {
 public:
  MemoryBlockServer() : pattern_(kBlock * 64, '\0') {
    for (size_t i = 0; i < pattern_.size(); ++i) pattern_[i] = static_cast<char>(i * 31);
  }
  void Write(google::protobuf::RpcController*, const vovorav::BlockServerWriteRequest*,
             vovorav::BlockServerWriteResponse* resp, google::protobuf::Closure* done) override {
    resp->mutable_rc()->set_retcode(0);
    resp->mutable_latest_route_term()->set_term(kTerm);
    resp->set_segment_id(1);
    done->Run();
  }
  void Read(google::protobuf::RpcController* base, const vovorav::BlockServerReadRequest* req,
            vovorav::BlockServerReadResponse* resp, google::protobuf::Closure* done) override {
    auto* ctrl = static_cast<tarn::RpcController*>(base);
    const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(req->size(), pattern_.size()));
    char* p = static_cast<char*>(ctrl->Malloc(n));
    memcpy(p, pattern_.data(), n);
    ctrl->AppendResponseAttachment(p, n, true);
    resp->mutable_rc()->set_retcode(0);
    resp->mutable_latest_route_term()->set_term(kTerm);
    resp->set_size(n);
    for (uint32_t b = 0; b < n / kBlock; ++b) resp->add_block_info()->set_lba(req->lba() + b * kBlock);
    done->Run();
  }

 private:
  std::string pattern_;
};

// One host I/O record with its 4 KiB buffer.
struct HostIo {
  HostIo(bdev_pyx_io_channel* ch, uint32_t len)
      : mem(new uint8_t[sizeof(spdk_bdev_io) + sizeof(bdev_pyx_io)]()), buf(len, 'x') {
    iov.iov_base = &buf[0];
    iov.iov_len = len;
    bdev_pyx_io* r = io();
    r->iov = &iov;
    r->iovcnt = 1;
    r->len = len;
    r->ch = ch;
  }
  spdk_bdev_io* bio() { return reinterpret_cast<spdk_bdev_io*>(mem.get()); }
  bdev_pyx_io* io() { return static_cast<bdev_pyx_io*>(spdk_bdev_io_get_driver_ctx(bio())); }
  std::unique_ptr<uint8_t[]> mem;
  std::string buf;
  iovec iov;
  uint64_t submitted = 0;  // TSC when the host handed it over
};

// The p50 of the host-seen latencies (submit to reaped), in microseconds.
double P50Us(std::vector<uint64_t>* cycles) {
  if (cycles->empty()) return 0;
  auto mid = cycles->begin() + static_cast<long>(cycles->size() / 2);
  std::nth_element(cycles->begin(), mid, cycles->end());
  return static_cast<double>(*mid) / plinth::TimeCycle::tsc_rate_mhz_;
}

// Where the threads run. A storage host pins its pollers and the library's
// workers get CPUs of their own (worker_core_mask); left to the kernel, the
// spinning host thread pulls the driver's loop onto its own CPU (the loop is
// woken from there), and on a busy machine the loop then waits behind the
// spinner at every wake-up. So by default the host thread (the benchmark's)
// gets the last CPU it may use, and the driver and the block server share
// the one before it, as two ends of one RPC do on their own. With
// BENCH_DRIVER_UNPINNED=1 the kernel places everything.
struct Placement {
  int host = -1;     // -1: not pinned
  int library = -1;  // the driver's and the block server's threads
};

Placement ChoosePlacement() {
  Placement p;
  const char* unpinned = getenv("BENCH_DRIVER_UNPINNED");
  if (unpinned != nullptr && strcmp(unpinned, "0") != 0) return p;
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) != 0 || CPU_COUNT(&set) < 2) return p;
  for (int c = 0; c < CPU_SETSIZE; ++c) {
    if (!CPU_ISSET(c, &set)) continue;
    p.library = p.host;
    p.host = c;
  }
  return p;
}

void PinCallingThread(int cpu) {
  if (cpu < 0) return;
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(cpu, &set);
  pthread_setaffinity_np(pthread_self(), sizeof set, &set);
}

// The server, one driver on a colony of one worker, one disk routed to the
// server, and a completion ring.
class Rig {
 public:
  Rig() {
    // Threads started from here keep the CPU set of their starter.
    PinCallingThread(placement_.library);
    plinth::Logger::setLogLevel(plinth::Logger::WARN);
    max_flighting = 300;
    rpc_depth = 0;
    acceptor_.reset(new testsupport::WorkerOnThread("bench-acc"));
    const uint16_t port = testsupport::PickFreePort();
    tarn::WorkerOption opt;
    opt.name_prefix = "bench-bs-";
    server_.reset(new tarn::RpcServer(tarn::kTcp, acceptor_->worker(),
                                      testsupport::Loopback(port), "bench_bs", opt, nullptr));
    server_->AddService(&service_);
    server_->SetWorkerNum(1);
    server_->Start();

    tarn::WorkerOption dopt;
    dopt.name_prefix = "bench-drv-";
    dopt.enable_memory_pool = 1;
    colony_.reset(new tarn::EventWorkerColony(1, dopt, nullptr));
    colony_->Start();
    worker_ = colony_->GetWorker(0);
    driver_.reset(new PyxDriver(tarn::kTcp, worker_, 0));

    disk_.name = name_.data();
    disk_.uuid = uuid_.data();
    disk_.size = 1ull << 30;
    // One plane over the whole disk: every I/O goes to the one route.
    disk_.die_unit_capacity = disk_.die_capacity = disk_.size;
    disk_.plane_capacity = disk_.block_capacity = disk_.size;
    disk_.counter = &counter_;
    disk_.exists = 1;
    for (uint64_t& t : disk_.route_term) t = kTerm;
    ring_ = spdk_ring_create(SPDK_RING_TYPE_MP_SC, 4096, SPDK_ENV_SOCKET_ID_ANY);
    rings_.assign(16, ring_);
    ch_.disk = &disk_;
    ch_.rings = rings_.data();

    auto routes = std::make_shared<vovorav::BlockMasterQueryPlaneRouteResponse>();
    vovorav::PlaneRouteInDie* die = routes->add_routes();
    vovorav::PlaneRouteDetail* r = die->add_route();
    r->mutable_endpoint()->set_ip(inet_addr("127.0.0.1"));
    r->mutable_endpoint()->set_port(port);
    PyxDriver* d = driver_.get();
    testsupport::RunSync(worker_, [&, d] {
      d->malloc_plane_route_cache(&disk_);
      d->BitMapCreate(&disk_, disk_.size);
      d->CreateDgs(name_, 1);
      pthread_getcpuclockid(pthread_self(), &driver_clock_);
      allocs::CountThisThread();
    });
    d->UpdateRouteCache(name_, routes);
    testsupport::RunSync(worker_, [] {});
    // send_pyx_io's view of the library: this one driver.
    worker_num = 1;
    pyxdrivers.assign(1, d);
    PinCallingThread(placement_.host);
  }

  std::string PlacementLabel() const {
    if (placement_.host < 0) return "unpinned";
    return "host cpu " + std::to_string(placement_.host) + ", library cpu " +
           std::to_string(placement_.library);
  }

  // Submits the I/O as the host does; allocations inside count as the
  // library's on the host's thread.
  void Submit(HostIo* h) {
    h->io()->status = 0;
    allocs::HostCall call;
    send_pyx_io(h->bio());
  }
  size_t Poll(void** out, size_t max) { return spdk_ring_dequeue(ring_, out, max); }
  uint64_t DriverCpuNs() const {
    timespec ts;
    clock_gettime(driver_clock_, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000ull + static_cast<uint64_t>(ts.tv_nsec);
  }
  bdev_pyx_io_channel* channel() { return &ch_; }

 private:
  const Placement placement_ = ChoosePlacement();
  MemoryBlockServer service_;
  std::unique_ptr<testsupport::WorkerOnThread> acceptor_;
  std::unique_ptr<tarn::RpcServer> server_;
  std::unique_ptr<tarn::EventWorkerColony> colony_;
  tarn::Worker* worker_ = nullptr;
  std::unique_ptr<PyxDriver> driver_;
  std::string name_ = "bench";
  std::string uuid_ = "bench-uuid";
  uint64_t counter_ = 0;
  bdev_pyx disk_{};
  bdev_pyx_io_channel ch_{};
  spdk_ring* ring_ = nullptr;
  std::vector<spdk_ring*> rings_;
  clockid_t driver_clock_{};
};

Rig* TheRig() {
  static Rig* rig = new Rig;  // kept for the life of the process
  return rig;
}

void BM_Io(benchmark::State& state) {
  const auto kind = static_cast<Kind>(state.range(0));
  const int depth = static_cast<int>(state.range(1));
  Rig* rig = TheRig();
  std::vector<std::unique_ptr<HostIo>> ios;
  for (int i = 0; i < depth; ++i) {
    // Unaligned writes: one sector inside a block of its own, so that no
    // two of them wait for each other's block lock.
    const bool sector = kind == kUnalignedWrite;
    const bool across = kind == kStripeWrite;
    ios.emplace_back(new HostIo(rig->channel(), sector ? kSector : across ? 2 * kBlock : kBlock));
    ios.back()->bio()->type = kind == kRead ? SPDK_BDEV_IO_TYPE_READ : SPDK_BDEV_IO_TYPE_WRITE;
    const uint64_t stripe = static_cast<uint64_t>(max_io_size);
    ios.back()->io()->offset = across ? (2 * static_cast<uint64_t>(i) + 1) * stripe - kBlock
                                      : static_cast<uint64_t>(i) * kBlock + (sector ? kSector : 0);
  }
  std::unordered_map<bdev_pyx_io*, HostIo*> owner;
  for (auto& h : ios) owner[h->io()] = h.get();
  for (auto& h : ios) {
    h->submitted = plinth::rdtsc();
    rig->Submit(h.get());
  }
  std::deque<HostIo*> done;
  std::vector<uint64_t> latencies;
  latencies.reserve(1 << 22);
  void* batch[64];
  uint64_t failures = 0;
  const uint64_t cpu0 = rig->DriverCpuNs();
  const uint64_t drv_allocs0 = allocs::Marked();
  const uint64_t host_allocs0 = allocs::Host();
  const uint64_t allocs0 = allocs::Total();
  for (auto _ : state) {
    while (done.empty()) {
      const size_t n = rig->Poll(batch, 64);
      for (size_t k = 0; k < n; ++k) {
        auto* io = static_cast<bdev_pyx_io*>(batch[k]);
        failures += io->status != 0;
        HostIo* h = owner[io];
        const uint64_t now = plinth::rdtsc();
        if (latencies.size() < latencies.capacity()) {
          latencies.push_back(now > h->submitted ? now - h->submitted : 0);
        }
        done.push_back(h);
      }
    }
    HostIo* h = done.front();
    done.pop_front();
    h->submitted = plinth::rdtsc();
    rig->Submit(h);
  }
  const uint64_t cpu = rig->DriverCpuNs() - cpu0;
  const uint64_t drv_allocs = allocs::Marked() - drv_allocs0;
  const uint64_t host_allocs = allocs::Host() - host_allocs0;
  const uint64_t all_allocs = allocs::Total() - allocs0;
  // Let the last ones come home before the records go.
  size_t outstanding = static_cast<size_t>(depth) - done.size();
  while (outstanding > 0) outstanding -= rig->Poll(batch, 64);
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
  state.counters["IOPS"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
  state.counters["drv_ns/io"] =
      static_cast<double>(cpu) / static_cast<double>(std::max<int64_t>(state.iterations(), 1));
  const double n = static_cast<double>(std::max<int64_t>(state.iterations(), 1));
  state.counters["drv_allocs/io"] = static_cast<double>(drv_allocs) / n;
  state.counters["host_allocs/io"] = static_cast<double>(host_allocs) / n;
  state.counters["allocs/io"] = static_cast<double>(all_allocs) / n;
  state.counters["failed"] = static_cast<double>(failures);
  state.counters["p50_us"] = P50Us(&latencies);
  state.SetLabel(rig->PlacementLabel());
}

BENCHMARK(BM_Io)
    ->ArgNames({"kind", "qd"})  // kind: 0 read, 1 write, 2 unaligned write, 3 across a stripe
    ->Args({kRead, 1})
    ->Args({kWrite, 1})
    ->Args({kUnalignedWrite, 1})
    ->Args({kRead, 32})
    ->Args({kWrite, 32})
    ->Args({kUnalignedWrite, 32})
    ->Args({kStripeWrite, 32})
    ->UseRealTime()
    ->MinTime(2.0);

}  // namespace

BENCHMARK_MAIN();
