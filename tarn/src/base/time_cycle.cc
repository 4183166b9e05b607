#include "tarn/base/time_cycle.h"

#include <sys/time.h>
#include <time.h>

#include <cmath>
#include <cstdio>

#include "tarn/base/logging.h"

namespace plinth {
namespace detail {
namespace {

const int kSamples = 200;

// Each sample's wait is slept away but for this last stretch, spun on the
// clock so the sample still ends close to its target. The figure comes only
// from the clock and the counter read once the target has passed; spinning
// through the whole wait (about 0.2 s in all) would burn that much CPU in
// every process that loads the library.
const long kSpinTailUs = 50;

void sleepMicros(long us) {
  struct timespec ts = {us / 1000000, (us % 1000000) * 1000};
  nanosleep(&ts, nullptr);  // woken early: the caller's loop sleeps again
}

// Difference above which the /proc figure is taken to be the current, not
// the nominal, frequency.
const double kMaxRelativeDifference = 0.02;

double sampledMhzFromMonotonicRaw() { return tsc_mhz_against_monotonic_raw(50 * 1000); }

int systemWallClock(struct timeval* now) { return gettimeofday(now, nullptr); }

// A sample waits at most about 2 ms; one still waiting after this much steady
// time is on a wall clock that stopped or went back by more than a sample.
const int64_t kMaxSampleNs = 1000 * 1000 * 1000;

int64_t steadyNs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

}  // namespace

double sample_tsc_mhz() { return sample_tsc_mhz_against(&systemWallClock); }

double sample_tsc_mhz_against(int (*wall_clock)(struct timeval* now)) {
  double sx = 0, sy = 0, sxx = 0, syy = 0, sxy = 0;
  for (int i = 0; i < kSamples; ++i) {
    const long target = 100 + 10 * i;
    struct timeval start, now;
    uint64_t tsc0 = rdtsc();
    if (wall_clock(&start) != 0) {
      fprintf(stderr, "gettimeofday failed.\n");
      return 0;
    }
    const int64_t steadyStart = steadyNs();
    long elapsed = 0;
    uint64_t tsc1;
    do {
      if (wall_clock(&now) != 0) {
        fprintf(stderr, "gettimeofday failed.\n");
        return 0;
      }
      tsc1 = rdtsc();
      elapsed = (now.tv_sec - start.tv_sec) * 1000000L + (now.tv_usec - start.tv_usec);
      // The clock stepped back (or stopped): waiting for it to reach the
      // target would last as long as the step, and the sample is void anyway.
      if (elapsed < 0 || steadyNs() - steadyStart > kMaxSampleNs) return 0;
      if (target - elapsed > kSpinTailUs) sleepMicros(target - elapsed - kSpinTailUs);
    } while (elapsed < target);
    double x = static_cast<double>(elapsed);
    double y = static_cast<double>(tsc1 - tsc0);
    sx += x;
    sy += y;
    sxx += x * x;
    syy += y * y;
    sxy += x * y;
  }
  const double n = kSamples;
  double num = n * sxy - sx * sy;
  double denx = n * sxx - sx * sx;
  double deny = n * syy - sy * sy;
  if (denx <= 0 || deny <= 0) return 0;
  double r2 = (num * num) / (denx * deny);
  if (r2 < 0.9) {
    fprintf(stderr, "Correlation coefficient r^2: %g < 0.9\n", r2);
    return 0;
  }
  double slope = num / denx;
  return slope > 0 ? slope : 0;
}

double cpu_mhz_from_cpuinfo(const char* path, int quiet) {
  static bool warned = false;
  FILE* f = fopen(path, "re");
  if (!f) return 0;
  char line[256];
  double first = 0;
  bool found = false;
  while (fgets(line, sizeof line, f)) {
    double mhz;
    if (sscanf(line, "cpu MHz : %lf", &mhz) != 1) continue;
    if (!found) {
      first = mhz;
      found = true;
    } else if (!quiet && !warned && std::fabs(mhz - first) > first * kMaxRelativeDifference) {
      fprintf(stderr,
              "Conflicting CPU frequency values detected: %lf != %lf. CPU Frequency is not "
              "max.\n",
              first, mhz);
      warned = true;
    }
  }
  fclose(f);
  return found ? first : 0;
}

double combine_cpu_mhz(double proc_mhz, double sampled_mhz) {
  // Either figure alone beats none: a zero rate would make every timer due
  // at once and every division by the rate fault.
  if (proc_mhz <= 0) return sampled_mhz > 0 ? sampled_mhz : 0;
  if (sampled_mhz <= 0) return proc_mhz;
  if (std::fabs(proc_mhz - sampled_mhz) / proc_mhz > kMaxRelativeDifference) return sampled_mhz;
  return proc_mhz;
}

double tsc_mhz_against_monotonic_raw(int64_t usec) {
  struct timespec t0, t1;
  if (clock_gettime(CLOCK_MONOTONIC_RAW, &t0) != 0) return 0;
  uint64_t c0 = rdtsc();
  int64_t elapsedNs = 0;
  uint64_t c1;
  do {
    if (clock_gettime(CLOCK_MONOTONIC_RAW, &t1) != 0) return 0;
    c1 = rdtsc();
    elapsedNs = (t1.tv_sec - t0.tv_sec) * 1000000000LL + (t1.tv_nsec - t0.tv_nsec);
  } while (elapsedNs < usec * 1000);
  if (c1 <= c0 || elapsedNs <= 0) return 0;
  return static_cast<double>(c1 - c0) * 1000.0 / static_cast<double>(elapsedNs);
}

uint64_t resolve_tsc_rate(double first_mhz, double (*remeasure)(), int attempts) {
  double mhz = first_mhz;
  for (int i = 0; mhz < 1.0 && i < attempts; ++i) mhz = remeasure();
  if (mhz < 1.0) return 0;
  return static_cast<uint64_t>(mhz * 1000000.0);
}

}  // namespace detail

double get_cpu_mhz(int quiet) {
  double sampled = detail::sample_tsc_mhz();
  double proc = detail::cpu_mhz_from_cpuinfo("/proc/cpuinfo", quiet);
  return detail::combine_cpu_mhz(proc, sampled);
}

namespace {

// One measurement at load (about 0.2 s, nearly all of it asleep); the MHz figure is derived from
// the same number rather than paying for a second, possibly different, one.
uint64_t measureTscRate() {
  uint64_t rate = detail::resolve_tsc_rate(get_cpu_mhz(1), &detail::sampledMhzFromMonotonicRaw, 3);
  if (rate == 0) {
    LOG_FATAL << "cannot measure the TSC rate";
  }
  return rate;
}

}  // namespace

uint64_t TimeCycle::tsc_rate_ = 0;
uint64_t TimeCycle::tsc_rate_mhz_ = 0;

namespace {

// Runs ahead of ordinary static initialisers, so code that reads the rate
// while its own statics are built already sees the measured figure.
__attribute__((constructor(101))) void initTscRate() {
  TimeCycle::tsc_rate_ = measureTscRate();
  TimeCycle::tsc_rate_mhz_ = TimeCycle::tsc_rate_ / 1000000;
}

}  // namespace

}  // namespace plinth
