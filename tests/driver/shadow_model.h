// The driver against an in-memory model of the disk: random reads and writes
// from 512 bytes to 256 KiB, aligned and not, from several host threads
// through the C interface, onto a simulated cluster in the same process,
// over TCP or over RDMA. Every read is compared byte for byte with the
// model; at the end the cluster's store itself is compared with it. Nothing
// may be lost, completed twice, failed or corrupted, also while routes move,
// block servers restart and answer with retryable codes or too late.
//
// The library starts once per process: RunScenario belongs in a child.
#ifndef TESTS_DRIVER_SHADOW_MODEL_H_
#define TESTS_DRIVER_SHADOW_MODEL_H_

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <ostream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "pyxdriver/pyxdriver.h"
#include "pyxhost/host.h"
#include "pyxsim/cluster.h"
#include "support/child.h"
#include "support/ports.h"

namespace shadow {

constexpr uint64_t kBlock = 4096;
constexpr uint64_t kDiskSize = 32ull << 20;
constexpr uint64_t kHotSpan = 1ull << 20;  // half of all I/O lands here
constexpr uint64_t kMaxLen = 262144;
constexpr char kDisk[] = "shadow";

struct Scenario {
  const char* name;
  int drivers;
  int threads;
  bool crc;
  bool faults;
  int iodepth;
  double seconds;
  // Over RDMA: the I/O on polling workers against block servers serving
  // RDMA over the emulated device, each with one polling worker; soc turns
  // the shared receive queue off on both ends, recv_buff_kib (when not 0)
  // sets the driver's recv_buff_size.
  bool rdma = false;
  bool soc = false;
  int recv_buff_kib = 0;
};

// What the disk should hold, with a claim per 4 KiB block: an I/O runs only
// while it holds every block it touches, so writes to overlapping ranges
// (and reads of them) never run at once and the model stays exact.
class Model {
 public:
  explicit Model(uint64_t size) : bytes_(size, 0), busy_(size / kBlock, 0) {}

  bool TryClaim(uint64_t offset, uint64_t len) {
    std::lock_guard<std::mutex> lock(mu_);
    const uint64_t first = offset / kBlock, last = (offset + len - 1) / kBlock;
    for (uint64_t b = first; b <= last; ++b) {
      if (busy_[b]) return false;
    }
    for (uint64_t b = first; b <= last; ++b) busy_[b] = 1;
    return true;
  }
  void Release(uint64_t offset, uint64_t len) {
    std::lock_guard<std::mutex> lock(mu_);
    for (uint64_t b = offset / kBlock; b <= (offset + len - 1) / kBlock; ++b) busy_[b] = 0;
  }
  // Only under a claim of the range.
  uint8_t* at(uint64_t offset) { return &bytes_[offset]; }
  const std::vector<uint8_t>& bytes() const { return bytes_; }

 private:
  std::mutex mu_;
  std::vector<uint8_t> bytes_;
  std::vector<uint8_t> busy_;
};

struct Tally {
  std::atomic<uint64_t> reads{0}, writes{0}, unaligned{0}, failed{0}, mismatches{0};
  std::atomic<uint64_t> verified_bytes{0};
};

// Prints at most a few mismatches; the count tells the rest.
inline void ReportMismatch(const char* what, uint64_t offset, uint64_t len, uint64_t at, int got,
                    int want) {
  static std::atomic<int> printed{0};
  if (printed.fetch_add(1) < 5) {
    printf("MISMATCH %s offset %llu len %llu: byte %llu is 0x%02x, model 0x%02x\n", what,
           static_cast<unsigned long long>(offset), static_cast<unsigned long long>(len),
           static_cast<unsigned long long>(at), got, want);
  }
}

// One host thread: its own channel, `iodepth` I/O in flight.
class HostThread {
 public:
  HostThread(int index, int iodepth, pyxhost::Disk* disk, Model* model, Tally* tally)
      : rng_(0x5eed + index), iodepth_(iodepth), disk_(disk), model_(model), tally_(tally) {}

  void Run(std::chrono::steady_clock::time_point until) {
    pyxhost::Channel::Options opt;
    opt.max_outstanding = iodepth_;
    opt.max_iovcnt = 3;
    channel_.reset(new pyxhost::Channel(disk_, opt));
    units_.resize(iodepth_);
    for (Unit& u : units_) {
      u.self = this;
      u.buf.resize(kMaxLen);
      idle_.push_back(&u);
    }
    while (std::chrono::steady_clock::now() < until) {
      while (!idle_.empty() && Issue(idle_.back())) idle_.pop_back();
      channel_->WaitAndPoll(2000);
    }
    drained_ = channel_->Drain(60);
    counters_ = channel_->counters();
    channel_.reset();
  }

  bool drained() const { return drained_; }
  const pyxhost::Counters& counters() const { return counters_; }

 private:
  struct Unit {
    HostThread* self = nullptr;
    std::vector<uint8_t> buf;
    iovec iov[3];
    uint64_t offset = 0, len = 0;
    bool write = false;
  };

  // A random range: half in the hot first MiB, sizes mostly small, a mix of
  // 4 KiB-aligned, 512-byte-aligned and byte-aligned ones.
  void Pick(uint64_t* offset, uint64_t* len) {
    const int size_class = static_cast<int>(rng_() % 100);
    uint64_t max_len = size_class < 60 ? 16384 : size_class < 85 ? 65536 : kMaxLen;
    const uint64_t span = rng_() % 2 ? kHotSpan : kDiskSize;
    max_len = std::min(max_len, span);
    switch (rng_() % 5) {
      case 0:
      case 1:  // aligned
        *len = (rng_() % (max_len / kBlock) + 1) * kBlock;
        *offset = rng_() % ((span - *len) / kBlock + 1) * kBlock;
        break;
      case 2:
      case 3:  // sectors
        *len = (rng_() % (max_len / 512) + 1) * 512;
        *offset = rng_() % ((span - *len) / 512 + 1) * 512;
        break;
      default:  // bytes
        *len = 512 + rng_() % (max_len - 511);
        *offset = rng_() % (span - *len + 1);
        break;
    }
  }

  bool Issue(Unit* u) {
    for (int attempt = 0;; ++attempt) {
      if (attempt == 16) return false;  // everything nearby is busy: poll first
      Pick(&u->offset, &u->len);
      if (model_->TryClaim(u->offset, u->len)) break;
    }
    u->write = rng_() % 2 == 0;
    if (u->write) {
      for (uint64_t i = 0; i < u->len; ++i) u->buf[i] = static_cast<uint8_t>(rng_());
    } else {
      memset(u->buf.data(), 0xee, u->len);
    }
    if ((u->offset | u->len) & (kBlock - 1)) tally_->unaligned++;
    // Up to three buffers, so that pieces cut at stripe boundaries start
    // inside a buffer as well as at its edge.
    const uint64_t a = u->len / 3, b = u->len / 2;
    u->iov[0] = {u->buf.data(), a};
    u->iov[1] = {u->buf.data() + a, b - a};
    u->iov[2] = {u->buf.data() + b, u->len - b};
    const iovec* iov = a == 0 ? &u->iov[2] : u->iov;
    const int iovcnt = a == 0 ? 1 : 3;
    const int rc = u->write ? channel_->Write(iov, iovcnt, u->offset, u->len, &OnDone, u)
                            : channel_->Read(iov, iovcnt, u->offset, u->len, &OnDone, u);
    if (rc != 0) {
      printf("submit refused: %d\n", rc);
      tally_->failed++;
      model_->Release(u->offset, u->len);
      return false;
    }
    return true;
  }

  static void OnDone(void* arg, int status) {
    Unit* u = static_cast<Unit*>(arg);
    u->self->Done(u, status);
  }

  void Done(Unit* u, int status) {
    if (status != 0) {
      // Nothing here may fail. The test fails; what the blocks of a failed
      // write hold is uncertain from here on.
      printf("I/O failed: %s offset %llu len %llu\n", u->write ? "write" : "read",
             static_cast<unsigned long long>(u->offset), static_cast<unsigned long long>(u->len));
      tally_->failed++;
    } else if (u->write) {
      memcpy(model_->at(u->offset), u->buf.data(), u->len);
      tally_->writes++;
    } else {
      const uint8_t* want = model_->at(u->offset);
      if (memcmp(u->buf.data(), want, u->len) != 0) {
        uint64_t i = 0;
        while (u->buf[i] == want[i]) ++i;
        ReportMismatch("read", u->offset, u->len, u->offset + i, u->buf[i], want[i]);
        tally_->mismatches++;
      }
      tally_->verified_bytes += u->len;
      tally_->reads++;
    }
    model_->Release(u->offset, u->len);
    idle_.push_back(u);
  }

  std::mt19937_64 rng_;
  const int iodepth_;
  pyxhost::Disk* disk_;
  Model* model_;
  Tally* tally_;
  std::unique_ptr<pyxhost::Channel> channel_;
  std::vector<Unit> units_;
  std::vector<Unit*> idle_;
  bool drained_ = false;
  pyxhost::Counters counters_;
};

// Faults a sound driver rides through: moved planes, restarted block
// servers, retryable codes and answers later than the RPC timeout.
inline void InjectFaults(pyxsim::Cluster* cluster, int rpc_timeout_ms, std::atomic<bool>* stop,
                  int* injected) {
  std::mt19937_64 rng(7);
  const int servers = cluster->count(pyxsim::Role::kBlockServer);
  const uint64_t planes = cluster->PlaneCount(kDisk);
  static const int kRetryable[] = {-12001, -12016, -12018, -12006, -12007};
  auto& f = cluster->faults();
  while (!stop->load()) {
    const int server = static_cast<int>(rng() % servers);
    const char* method = rng() % 2 ? "Write" : "Read";
    switch (rng() % 4) {
      case 0:
        f.MovePlane(kDisk, rng() % planes, server);
        break;
      case 1:
        f.FailCalls(pyxsim::Role::kBlockServer, pyxsim::Faults::kAnyServer, method,
                    kRetryable[rng() % 5], 3);
        break;
      case 2:
        f.DelayCalls(pyxsim::Role::kBlockServer, server, method, rpc_timeout_ms + 100, 1);
        break;
      default:
        f.StopServer(pyxsim::Role::kBlockServer, server);
        std::this_thread::sleep_for(std::chrono::milliseconds(50 + rng() % 100));
        f.RestartServer(pyxsim::Role::kBlockServer, server);
        break;
    }
    ++*injected;
    std::this_thread::sleep_for(std::chrono::milliseconds(40 + rng() % 60));
  }
  f.ClearCallFaults();
  for (int i = 0; i < servers; ++i) {
    if (!f.IsRunning(pyxsim::Role::kBlockServer, i)) f.RestartServer(pyxsim::Role::kBlockServer, i);
  }
}

// The emulated device's loopback GID (::ffff:127.0.0.1) is index 3 of port 1.
inline std::string TransportIni(const Scenario& s) {
  if (!s.rdma) return "rdma_device none\nis_tcp Yes\n";
  std::string out = "rdma_device emu_0\nrdma_port 1\nrdma_index 3\nis_tcp No\n";
  out += s.soc ? "is_soc Yes\n" : "is_soc No\n";
  if (s.recv_buff_kib > 0) out += "recv_buff_size " + std::to_string(s.recv_buff_kib) + "\n";
  return out;
}

inline std::string Ini(const pyxsim::Cluster& cluster, const Scenario& s, int rpc_timeout_ms) {
  char buf[2048];
  snprintf(buf, sizeof(buf),
           "[ORLA]\n"
           "use_orla Yes\n"
           "volume_manager_ips %s\n"
           "volume_manager_ports %s\n"
           "%s"
           "worker_num %d\n"
           "is_crc %s\n"
           "kLogLevel warning\n"
           "asyn_log No\n"
           "rpc_timeout %d\n"
           "retry_sleep_ms 20\n"
           "polling_interval_ms 20\n"
           "retry_pending_ms 100\n"
           "service_ip 127.0.0.1\n"
           "service_port %u\n",
           cluster.volume_manager_ips().c_str(), cluster.volume_manager_ports().c_str(),
           TransportIni(s).c_str(), s.drivers, s.crc ? "Yes" : "No", rpc_timeout_ms, testsupport::PickFreePort());
  return buf;
}

// The whole scenario, in the child. Returns 0 when the model held.
inline int RunScenarioBody(const Scenario& s);
// The child ends without flushing: whatever the scenario printed is flushed
// here, on every way out.
inline int RunScenario(const Scenario& s) {
  const int rc = RunScenarioBody(s);
  fflush(stdout);
  fflush(stderr);
  return rc;
}

inline int RunScenarioBody(const Scenario& s) {
  const int rpc_timeout_ms = s.faults ? 300 : 5000;
  pyxsim::ClusterOptions copt;
  copt.block_servers = 3;
  if (s.rdma) {
    // Every block-server worker spins: two servers of one worker each.
    copt.block_servers = 2;
    copt.threads = 1;
    copt.rdma = true;
    copt.rdma_srq = !s.soc;
  }
  pyxsim::Cluster cluster(copt);
  if (cluster.Start() != 0 || cluster.CreateDisk(kDisk, kDiskSize) != 0) {
    printf("cluster did not start\n");
    return 1;
  }
  char dir[] = "/tmp/shadow_model.XXXXXX";
  if (mkdtemp(dir) == nullptr) return 1;
  const std::string ini = std::string(dir) + "/driver.ini";
  FILE* f = fopen(ini.c_str(), "w");
  fputs(Ini(cluster, s, rpc_timeout_ms).c_str(), f);
  fclose(f);
  if (pyxhost::StartLibrary(ini) != 0) {
    printf("pyx_init_env failed\n");
    return 1;
  }
  std::unique_ptr<pyxhost::Disk> disk = pyxhost::Disk::Open(kDisk, 60);
  if (!disk->ok() || disk->size() != kDiskSize) {
    printf("disk did not open: %s, size %llu\n", disk->error().c_str(),
           static_cast<unsigned long long>(disk->size()));
    return 1;
  }

  Model model(kDiskSize);
  Tally tally;
  std::vector<std::unique_ptr<HostThread>> hosts;
  std::vector<std::thread> threads;
  const auto until = std::chrono::steady_clock::now() +
                     std::chrono::milliseconds(static_cast<int>(s.seconds * 1000));
  for (int i = 0; i < s.threads; ++i) {
    hosts.emplace_back(new HostThread(i, s.iodepth, disk.get(), &model, &tally));
  }
  for (auto& h : hosts) threads.emplace_back([&h, until] { h->Run(until); });
  std::atomic<bool> stop_faults{false};
  int injected = 0;
  std::thread faults;
  if (s.faults) {
    faults = std::thread(InjectFaults, &cluster, rpc_timeout_ms, &stop_faults, &injected);
  }
  std::this_thread::sleep_until(until);
  stop_faults = true;
  if (faults.joinable()) faults.join();
  for (auto& t : threads) t.join();

  int rc = 0;
  pyxhost::Counters host;
  for (const auto& h : hosts) {
    host += h->counters();
    if (!h->drained()) rc = 1;
  }
  // The store itself, read without the driver.
  const std::string stored = cluster.ReadStored(kDisk, 0, kDiskSize);
  uint64_t store_mismatches = 0;
  if (stored.size() != kDiskSize) {
    store_mismatches = 1;
  } else {
    for (uint64_t off = 0; off < kDiskSize; off += kBlock) {
      if (memcmp(stored.data() + off, model.bytes().data() + off, kBlock) != 0) {
        if (store_mismatches == 0) {
          uint64_t i = off;
          while (static_cast<uint8_t>(stored[i]) == model.bytes()[i]) ++i;
          ReportMismatch("store", off, kBlock, i, static_cast<uint8_t>(stored[i]),
                         model.bytes()[i]);
        }
        ++store_mismatches;
      }
    }
  }
  printf("scenario %s: %llu reads (%llu MiB checked), %llu writes, %llu unaligned, %d faults; "
         "failed %llu, mismatches %llu, store mismatches %llu; host: submitted %llu, "
         "completed %llu, outstanding %llu, double %llu, failed submissions %llu\n",
         s.name, static_cast<unsigned long long>(tally.reads.load()),
         static_cast<unsigned long long>(tally.verified_bytes.load() >> 20),
         static_cast<unsigned long long>(tally.writes.load()),
         static_cast<unsigned long long>(tally.unaligned.load()), injected,
         static_cast<unsigned long long>(tally.failed.load()),
         static_cast<unsigned long long>(tally.mismatches.load()),
         static_cast<unsigned long long>(store_mismatches),
         static_cast<unsigned long long>(host.submitted),
         static_cast<unsigned long long>(host.completed),
         static_cast<unsigned long long>(host.outstanding),
         static_cast<unsigned long long>(host.double_completions),
         static_cast<unsigned long long>(host.failed_submissions));
  if (tally.failed != 0 || tally.mismatches != 0 || store_mismatches != 0 ||
      host.outstanding != 0 || host.double_completions != 0 || host.failed_submissions != 0 ||
      host.completed != host.submitted || tally.reads == 0 || tally.writes == 0) {
    rc = 1;
  }
  disk->Close();
  pyxhost::FinishLibrary();
  cluster.Stop();
  unlink(ini.c_str());
  rmdir(dir);
  fflush(stdout);
  return rc;
}

}  // namespace shadow

#endif  // TESTS_DRIVER_SHADOW_MODEL_H_
