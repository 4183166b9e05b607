// 4 KiB random reads and writes with O_DIRECT through tarn::AioContext on one
// event loop, against fio's libaio engine on the same file in the same run.
//
// Each case alternates fio and the loop, one second a run, three rounds:
// IOPS, latency percentiles (submit to callback; fio's total latency) and
// CPU per I/O (the loop thread's, fio's job thread's), each the median of its
// rounds. At the end one line per case and figure gives the ratio against
// fio with its target:
//   aio randread qd32 IOPS vs fio = 1.02x (target >= 1.00x) met
//   aio randread qd32 CPU per I/O, fio / tarn = 1.10x (target >= 1.00x) met
//
// Environment: AIO_BENCH_FILE (default aio_bench.dat beside the program, on
// a file system with O_DIRECT), AIO_BENCH_MB (file size, 256),
// AIO_BENCH_SECONDS (per run, 1), AIO_BENCH_ROUNDS (3), FIO (the fio
// program, "fio").
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "support/wait.h"
#include "support/worker.h"
#include "tarn/disk_io_util.h"
#include "tarn/loop.h"

namespace {

constexpr uint64_t kBlock = 4096;

struct Case {
  const char* name;  // fio's rw mode
  bool write;
  int qd;
};

const Case kCases[] = {
    {"randread", false, 1},
    {"randread", false, 32},
    {"randwrite", true, 1},
    {"randwrite", true, 32},
};

struct Figures {
  double iops = 0;
  double p50_us = 0;
  double p99_us = 0;
  double cpu_us_per_io = 0;
};

std::map<std::string, Figures> g_fio;
std::map<std::string, Figures> g_tarn;
std::string g_path;
uint64_t g_size = 0;
double g_seconds = 1;  // per run
int g_rounds = 3;

std::string CaseKey(const Case& c) { return std::string(c.name) + " qd" + std::to_string(c.qd); }

std::string EnvOr(const char* name, const std::string& dflt) {
  const char* v = getenv(name);
  return v != nullptr && *v != '\0' ? v : dflt;
}

int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

int64_t ThreadCpuNs() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

void* AlignedAlloc(size_t n) {
  void* p = nullptr;
  if (posix_memalign(&p, kBlock, n) != 0) abort();
  memset(p, 0x3c, n);
  return p;
}

// Writes the whole file once, so that reads touch the device rather than
// unwritten extents.
bool LayOutFile() {
  int fd = open(g_path.c_str(), O_RDWR | O_CREAT | O_DIRECT, 0644);
  if (fd < 0) return false;
  constexpr size_t kChunk = 1 << 20;
  void* buf = AlignedAlloc(kChunk);
  bool ok = true;
  for (uint64_t off = 0; ok && off < g_size; off += kChunk) {
    ok = pwrite(fd, buf, kChunk, static_cast<off_t>(off)) == static_cast<ssize_t>(kChunk);
  }
  free(buf);
  close(fd);
  return ok;
}

// ------------------------------------------------------------------ fio

// The number after "key": in text, from `from` on; -1 when absent.
double JsonNumber(const std::string& text, size_t from, const std::string& key) {
  size_t at = text.find("\"" + key + "\"", from);
  if (at == std::string::npos) return -1;
  at = text.find(':', at);
  return at == std::string::npos ? -1 : strtod(text.c_str() + at + 1, nullptr);
}

bool RunFio(const Case& c, Figures* out) {
  char cmd[1024];
  snprintf(cmd, sizeof(cmd),
           "%s --name=aio --filename=%s --ioengine=libaio --direct=1 --rw=%s --bs=4k "
           "--iodepth=%d --size=%llu --runtime=%g --time_based --thread --norandommap "
           "--randrepeat=0 --lat_percentiles=1 --output-format=json 2>/dev/null",
           EnvOr("FIO", "fio").c_str(), g_path.c_str(), c.name, c.qd,
           static_cast<unsigned long long>(g_size), g_seconds);
  FILE* p = popen(cmd, "r");
  if (p == nullptr) return false;
  std::string text;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof(buf), p)) > 0) text.append(buf, n);
  if (pclose(p) != 0) return false;
  size_t job = text.find("\"jobs\"");
  size_t dir = text.find(c.write ? "\"write\"" : "\"read\"", job);
  if (job == std::string::npos || dir == std::string::npos) return false;
  size_t lat = text.find("\"lat_ns\"", dir);
  double ios = JsonNumber(text, dir, "total_ios");
  double runtime_ms = JsonNumber(text, job, "job_runtime");
  double cpu_pct = JsonNumber(text, job, "usr_cpu") + JsonNumber(text, job, "sys_cpu");
  out->iops = JsonNumber(text, dir, "iops");
  out->p50_us = JsonNumber(text, lat, "50.000000") / 1000;
  out->p99_us = JsonNumber(text, lat, "99.000000") / 1000;
  out->cpu_us_per_io = ios > 0 ? cpu_pct / 100 * runtime_ms * 1000 / ios : 0;
  return out->iops > 0;
}

// ------------------------------------------------------------------ tarn

// A closed loop of `qd` requests on one event loop: every completion
// records its latency and, until the end time, submits the next request to
// a random block. Loop thread only.
class AioJob {
 public:
  AioJob(tarn::DiskIOUtil* disk, int fd, const Case& c)
      : disk_(disk), fd_(fd), case_(c), blocks_(g_size / kBlock),
        bufs_(static_cast<uint8_t*>(AlignedAlloc(c.qd * kBlock))),
        start_ns_(c.qd, 0) {
    lat_ns_.reserve(1 << 21);
  }
  ~AioJob() { free(bufs_); }

  void Start(int64_t end_ns) {
    end_ns_ = end_ns;
    for (int slot = 0; slot < case_.qd; ++slot) Submit(slot);
  }
  // Any thread.
  bool Drained() const { return in_flight_.load(std::memory_order_acquire) == 0; }
  const std::vector<int64_t>& latencies() const { return lat_ns_; }
  uint64_t errors() const { return errors_; }

 private:
  uint64_t NextBlock() {
    rng_ ^= rng_ << 13;
    rng_ ^= rng_ >> 7;
    rng_ ^= rng_ << 17;
    return rng_ % blocks_;
  }

  void Submit(int slot) {
    uint8_t* buf = bufs_ + static_cast<size_t>(slot) * kBlock;
    uint64_t off = NextBlock() * kBlock;
    in_flight_.fetch_add(1, std::memory_order_relaxed);
    start_ns_[slot] = NowNs();
    auto cb = [this, slot](int r) { Done(slot, r); };
    if (case_.write) {
      disk_->SubmitWrite(fd_, buf, off, kBlock, cb);
    } else {
      disk_->SubmitRead(fd_, buf, off, kBlock, cb);
    }
  }

  void Done(int slot, int r) {
    int64_t now = NowNs();
    if (r != static_cast<int>(kBlock)) ++errors_;
    if (now <= end_ns_) {
      lat_ns_.push_back(now - start_ns_[slot]);
      Submit(slot);
    }
    in_flight_.fetch_sub(1, std::memory_order_release);
  }

  tarn::DiskIOUtil* disk_;
  int fd_;
  Case case_;
  uint64_t blocks_;
  uint8_t* bufs_;
  std::vector<int64_t> start_ns_;
  std::vector<int64_t> lat_ns_;
  int64_t end_ns_ = 0;
  std::atomic<int> in_flight_{0};
  uint64_t errors_ = 0;
  uint64_t rng_ = 0x9e3779b97f4a7c15ULL;
};

double Percentile(std::vector<int64_t> v, double p) {
  if (v.empty()) return 0;
  size_t k = static_cast<size_t>(p / 100 * static_cast<double>(v.size() - 1));
  std::nth_element(v.begin(), v.begin() + static_cast<long>(k), v.end());
  return static_cast<double>(v[k]);
}

// One run of `c` on the worker's loop for g_seconds; false on I/O errors.
bool RunTarn(testsupport::WorkerOnThread* w, int fd, const Case& c, Figures* f) {
  tarn::DiskIOUtil* disk = w->worker()->loop()->disk_io();
  AioJob job(disk, fd, c);
  int64_t cpu0 = 0, cpu1 = 0;
  const int64_t end = NowNs() + static_cast<int64_t>(g_seconds * 1e9);
  w->RunSync([&] {
    cpu0 = ThreadCpuNs();
    job.Start(end);
  });
  testsupport::WaitFor([&] { return NowNs() > end && job.Drained(); }, g_seconds + 60);
  w->RunSync([&] { cpu1 = ThreadCpuNs(); });
  const double ios = static_cast<double>(job.latencies().size());
  f->iops = ios / g_seconds;
  f->p50_us = Percentile(job.latencies(), 50) / 1000;
  f->p99_us = Percentile(job.latencies(), 99) / 1000;
  f->cpu_us_per_io = ios > 0 ? static_cast<double>(cpu1 - cpu0) / 1000 / ios : 0;
  return job.errors() == 0;
}

// Each figure's median over the rounds.
Figures Median(std::vector<Figures> runs) {
  auto med = [&](double Figures::*field) {
    std::vector<double> v;
    for (const Figures& r : runs) v.push_back(r.*field);
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
  };
  Figures m;
  m.iops = med(&Figures::iops);
  m.p50_us = med(&Figures::p50_us);
  m.p99_us = med(&Figures::p99_us);
  m.cpu_us_per_io = med(&Figures::cpu_us_per_io);
  return m;
}

// fio and the loop take turns, a few rounds each, so that both see the
// same machine; each figure is the median of its rounds.
void BM_AioVsFio(benchmark::State& state, Case c) {
  testsupport::WorkerOnThread w("aio_bench");
  bool aio = false;
  w.RunSync([&] { aio = w.worker()->loop()->disk_io()->aio_enabled(); });
  int fd = open(g_path.c_str(), O_RDWR | O_DIRECT);
  if (!aio || fd < 0) {
    state.SkipWithError(!aio ? "the event loop got no AIO context" : "cannot open the file");
    if (fd >= 0) close(fd);
    return;
  }
  std::vector<Figures> fio_runs, tarn_runs;
  for (auto _ : state) {
    for (int round = 0; round < g_rounds; ++round) {
      Figures a, b;
      if (!RunFio(c, &a)) {
        state.SkipWithError("fio failed (is it installed?)");
        break;
      }
      if (!RunTarn(&w, fd, c, &b)) {
        state.SkipWithError("I/O errors");
        break;
      }
      fio_runs.push_back(a);
      tarn_runs.push_back(b);
    }
    state.SetIterationTime(2 * g_seconds * g_rounds);
  }
  close(fd);
  if (fio_runs.size() != static_cast<size_t>(g_rounds)) return;
  const Figures a = Median(fio_runs);
  const Figures b = Median(tarn_runs);
  g_fio[CaseKey(c)] = a;
  g_tarn[CaseKey(c)] = b;
  state.counters["fio_IOPS"] = a.iops;
  state.counters["tarn_IOPS"] = b.iops;
  state.counters["fio_cpu_us/io"] = a.cpu_us_per_io;
  state.counters["tarn_cpu_us/io"] = b.cpu_us_per_io;
}

void PrintRatios() {
  printf("\n%-22s %10s %10s %7s %8s %8s %8s %8s %9s %9s %7s\n", "case", "fio IOPS",
         "tarn IOPS", "ratio", "fio p50", "tarn p50", "fio p99", "tarn p99", "fio cpu",
         "tarn cpu", "ratio");
  for (const Case& c : kCases) {
    const std::string key = CaseKey(c);
    if (!g_fio.count(key) || !g_tarn.count(key)) continue;
    const Figures& a = g_fio[key];
    const Figures& b = g_tarn[key];
    double iops = b.iops / a.iops;
    double cpu = b.cpu_us_per_io > 0 ? a.cpu_us_per_io / b.cpu_us_per_io : 0;
    printf("%-22s %10.0f %10.0f %6.2fx %7.1fus %7.1fus %7.1fus %7.1fus %7.2fus %7.2fus %6.2fx\n",
           key.c_str(), a.iops, b.iops, iops, a.p50_us, b.p50_us, a.p99_us, b.p99_us,
           a.cpu_us_per_io, b.cpu_us_per_io, cpu);
  }
  printf("\n");
  for (const Case& c : kCases) {
    const std::string key = CaseKey(c);
    if (!g_fio.count(key) || !g_tarn.count(key)) continue;
    const Figures& a = g_fio[key];
    const Figures& b = g_tarn[key];
    // Judged on the figures as printed.
    double iops = std::round(b.iops / a.iops * 100) / 100;
    double cpu = b.cpu_us_per_io > 0 ? std::round(a.cpu_us_per_io / b.cpu_us_per_io * 100) / 100 : 0;
    printf("aio %s IOPS vs fio = %.2fx (target >= 1.00x) %s\n", key.c_str(), iops,
           iops >= 1.0 ? "met" : "MISSED");
    printf("aio %s CPU per I/O, fio / tarn = %.2fx (target >= 1.00x) %s\n", key.c_str(), cpu,
           cpu >= 1.0 ? "met" : "MISSED");
  }
}

std::string DefaultPath() {
  char exe[4096];
  ssize_t n = readlink("/proc/self/exe", exe, sizeof(exe) - 1);
  if (n <= 0) return "aio_bench.dat";
  exe[n] = '\0';
  std::string dir(exe);
  return dir.substr(0, dir.rfind('/')) + "/aio_bench.dat";
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  g_path = EnvOr("AIO_BENCH_FILE", DefaultPath());
  g_size = std::stoull(EnvOr("AIO_BENCH_MB", "256")) << 20;
  g_seconds = std::stod(EnvOr("AIO_BENCH_SECONDS", "1"));
  g_rounds = std::max(1, std::stoi(EnvOr("AIO_BENCH_ROUNDS", "3")));
  if (!LayOutFile()) {
    fprintf(stderr, "cannot write %s with O_DIRECT\n", g_path.c_str());
    return 1;
  }
  for (const Case& c : kCases) {
    benchmark::RegisterBenchmark(("aio_vs_fio/" + CaseKey(c)).c_str(), BM_AioVsFio, c)
        ->Iterations(1)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  PrintRatios();
  unlink(g_path.c_str());
  return 0;
}
