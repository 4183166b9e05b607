// pyxbench's block layer (src/pyxbench/split.h) on its hot path: one host
// thread keeps parents in flight through a SplitChannel over the host
// stand-in's channel, the library and an in-process simulated cluster on
// loopback, as a pyxbench job does. Large parents (1 MiB at queue depth 8)
// beside parents the library takes whole (256 KiB at depth 32), the same
// bytes in flight.
//
// Reported: MiB/s (wall clock); "host_ns/parent", the host thread's CPU
// time per parent (cutting, submitting every child, polling, completing);
// "host_allocs/parent", heap allocations made on the host thread inside
// SplitChannel's calls (0: parents, children's buffers and cuts are all
// set aside when the channel is made); "children/parent". BM_Cut: the
// cutting of one unaligned 16 MiB parent alone.
#include <time.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "alloc_counter.h"
#include "pyxhost/host.h"
#include "pyxsim/cluster.h"
#include "split.h"
#include "support/ports.h"

namespace {

constexpr uint64_t kDiskSize = 256ull << 20;

double ThreadCpuNs() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return ts.tv_sec * 1e9 + ts.tv_nsec;
}

// The cluster, the library and the disk, once per process.
struct Rig {
  pyxsim::Cluster cluster{pyxsim::ClusterOptions{}};
  std::unique_ptr<pyxhost::Disk> disk;
  bool ok = false;

  Rig() {
    if (cluster.Start() != 0 || cluster.CreateDisk("bench", kDiskSize) != 0) return;
    char path[] = "/tmp/bench_pyxbench_split.XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0) return;
    std::string ini = "[ORLA]\nuse_orla Yes\nrdma_device none\nis_tcp Yes\nasyn_log No\n"
                      "kLogLevel error\nservice_ip 127.0.0.1\nmax_io_size 16384\n"
                      "worker_num 4\n";
    ini += "service_port " + std::to_string(testsupport::PickFreePort()) + "\n";
    ini += "volume_manager_ips " + cluster.volume_manager_ips() + "\n";
    ini += "volume_manager_ports " + cluster.volume_manager_ports() + "\n";
    const bool written = write(fd, ini.data(), ini.size()) == static_cast<ssize_t>(ini.size());
    close(fd);
    const bool started = written && pyxhost::StartLibrary(path) == 0;
    unlink(path);
    if (!started) return;
    disk = pyxhost::Disk::Open("bench", 60);
    ok = disk->ok();
  }
};

Rig* TheRig() {
  static Rig* rig = new Rig();  // the library outlives every benchmark
  return rig;
}

struct Slot {
  uint64_t* done;
  int* failed;
  bool busy = false;
  static void OnDone(void* arg, int status) {
    Slot* s = static_cast<Slot*>(arg);
    s->busy = false;
    ++*s->done;
    if (status != 0) ++*s->failed;
  }
};

// Arguments: parent bytes, parents in flight, 1 for writes.
void BM_Parents(benchmark::State& state) {
  Rig* rig = TheRig();
  if (!rig->ok) {
    state.SkipWithError("the cluster or the library did not start");
    return;
  }
  const uint64_t len = static_cast<uint64_t>(state.range(0));
  const int depth = static_cast<int>(state.range(1));
  const bool write = state.range(2) != 0;
  pyxbench::SplitChannel ch(rig->disk.get(), pyxhost::Channel::Options{}, depth, len);
  std::vector<uint8_t> buffers(len * depth, 0x5a);
  uint64_t done = 0;
  int failed = 0;
  std::vector<Slot> slots(depth, Slot{&done, &failed});
  const uint64_t slots_on_disk = kDiskSize / len;
  uint64_t next = 0, submitted = 0, allocs = 0;
  const uint64_t children_before = ch.counters().submitted;
  const double cpu_start = ThreadCpuNs();
  for (auto _ : state) {
    for (int i = 0; i < depth; ++i) {
      Slot* s = &slots[i];
      if (s->busy) continue;
      const uint64_t at = (next++ % slots_on_disk) * len;
      uint8_t* buf = &buffers[i * len];
      const uint64_t before = allocs::Host();
      int rc;
      {
        allocs::HostCall call;
        rc = write ? ch.Write(buf, at, len, &Slot::OnDone, s)
                   : ch.Read(buf, at, len, &Slot::OnDone, s);
      }
      allocs += allocs::Host() - before;
      if (rc != 0) {
        state.SkipWithError("a parent was refused");
        return;
      }
      s->busy = true;
      ++submitted;
    }
    const uint64_t before = allocs::Host();
    {
      allocs::HostCall call;
      ch.WaitAndPoll(1000);
    }
    allocs += allocs::Host() - before;
  }
  const double cpu = ThreadCpuNs() - cpu_start;
  while (ch.outstanding() != 0) ch.WaitAndPoll(1000);
  const double n = std::max<uint64_t>(done, 1);
  state.SetBytesProcessed(static_cast<int64_t>(done * len));
  state.counters["MiB/s"] = benchmark::Counter(static_cast<double>(done * len) / (1 << 20),
                                               benchmark::Counter::kIsRate);
  state.counters["host_ns/parent"] = cpu / n;
  state.counters["host_allocs/parent"] = static_cast<double>(allocs) / n;
  state.counters["children/parent"] =
      static_cast<double>(ch.counters().submitted - children_before) / std::max<uint64_t>(submitted, 1);
  state.counters["failed"] = failed;
}

// The cutting alone: an unaligned 16 MiB parent into its 65 children.
void BM_Cut(benchmark::State& state) {
  std::vector<pyxbench::Child> out(pyxbench::MostChildren(16 << 20, pyxhost::kMaxIoBytes));
  uint64_t offset = 512;
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        pyxbench::CutChildren(offset, 16 << 20, pyxhost::kMaxIoBytes, out.data()));
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_Cut);

BENCHMARK(BM_Parents)
    ->ArgNames({"bytes", "depth", "write"})
    ->Args({1 << 20, 8, 1})
    ->Args({256 << 10, 32, 1})
    ->Args({1 << 20, 8, 0})
    ->Args({256 << 10, 32, 0})
    ->UseRealTime()
    ->MinTime(2.0);

}  // namespace

BENCHMARK_MAIN();
