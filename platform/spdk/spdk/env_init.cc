// Environment start of the stand-in: records the options, pins the caller
// to the first core of the mask as the real start does, and can be told to
// fail (test hook).
#include <errno.h>
#include <pthread.h>
#include <sched.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <mutex>
#include <string>

#include "spdk/env.h"
#include "spdk/env_standin.h"

namespace {

std::mutex g_env_mu;
bool g_started = false;
int g_fail_rc = 0;
spdk_standin::EnvRecord g_record;

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// The lowest core of a hexadecimal mask ("0x3"), or -1.
int first_core_of_hex(const std::string& mask) {
  std::string digits = mask;
  if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
    digits = digits.substr(2);
  }
  if (digits.empty()) return -1;
  int core = -1;
  for (size_t i = 0; i < digits.size(); ++i) {
    const int v = hex_value(digits[digits.size() - 1 - i]);
    if (v < 0) return -1;
    if (v != 0 && core < 0) core = static_cast<int>(i * 4) + __builtin_ctz(v);
  }
  return core;
}

// The lowest core of a list ("[0,2-3]"), or -1.
int first_core_of_list(const std::string& mask) {
  if (mask.size() < 3 || mask.back() != ']') return -1;
  int lowest = -1;
  bool in_number = false;
  long value = 0;
  for (size_t i = 1; i < mask.size(); ++i) {
    const char c = mask[i];
    if (std::isdigit(static_cast<unsigned char>(c))) {
      value = value * 10 + (c - '0');
      if (value >= CPU_SETSIZE) return -1;
      in_number = true;
    } else if (c == ',' || c == '-' || c == ']') {
      if (!in_number) return -1;
      if (lowest < 0 || value < lowest) lowest = static_cast<int>(value);
      value = 0;
      in_number = false;
    } else {
      return -1;
    }
  }
  return lowest;
}

int first_core(const char* mask) {
  const std::string m = mask != nullptr ? mask : "0x1";
  return !m.empty() && m[0] == '[' ? first_core_of_list(m) : first_core_of_hex(m);
}

}  // namespace

extern "C" void spdk_env_opts_init(struct spdk_env_opts* opts) {
  if (opts == nullptr) return;
  memset(opts, 0, sizeof(*opts));
  opts->name = "spdk";
  opts->core_mask = "0x1";
  opts->shm_id = -1;
  opts->mem_channel = -1;
  opts->main_core = -1;
  opts->mem_size = -1;
  opts->base_virtaddr = 0x200000000000ULL;
}

extern "C" int spdk_env_init(const struct spdk_env_opts* opts) {
  if (opts == nullptr) return -EINVAL;
  std::lock_guard<std::mutex> lock(g_env_mu);
  if (g_fail_rc != 0) {
    fprintf(stderr, "spdk env: start refused (%d)\n", g_fail_rc);
    return g_fail_rc;
  }
  if (g_started) {
    fprintf(stderr, "spdk env: already started\n");
    return -EALREADY;
  }
  const int core = first_core(opts->core_mask);
  if (core < 0 || core >= CPU_SETSIZE) {
    fprintf(stderr, "spdk env: invalid core mask %s\n",
            opts->core_mask != nullptr ? opts->core_mask : "(null)");
    return -EINVAL;
  }
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(core, &set);
  const int rc = pthread_setaffinity_np(pthread_self(), sizeof(set), &set);
  if (rc != 0) {
    fprintf(stderr, "spdk env: cannot run on core %d: %s\n", core, strerror(rc));
    return -rc;
  }
  g_record = spdk_standin::EnvRecord();
  g_record.name = opts->name != nullptr ? opts->name : "";
  g_record.core_mask = opts->core_mask != nullptr ? opts->core_mask : "";
  g_record.shm_id = opts->shm_id;
  g_record.mem_size = opts->mem_size;
  g_record.hugedir = opts->hugedir != nullptr ? opts->hugedir : "";
  g_record.pinned_cpu = core;
  g_started = true;
  return 0;
}

extern "C" void spdk_unaffinitize_thread(void) {
  cpu_set_t set;
  CPU_ZERO(&set);
  const long n = std::min<long>(sysconf(_SC_NPROCESSORS_CONF), CPU_SETSIZE);
  for (long i = 0; i < n; ++i) CPU_SET(static_cast<int>(i), &set);
  // The kernel keeps the thread inside its cpuset; all CPUs is the widest.
  pthread_setaffinity_np(pthread_self(), sizeof(set), &set);
}

namespace spdk_standin {

bool env_started() {
  std::lock_guard<std::mutex> lock(g_env_mu);
  return g_started;
}

bool env_record(EnvRecord* out) {
  std::lock_guard<std::mutex> lock(g_env_mu);
  if (!g_started) return false;
  *out = g_record;
  return true;
}

void set_env_init_result(int rc) {
  std::lock_guard<std::mutex> lock(g_env_mu);
  g_fail_rc = rc > 0 ? -rc : rc;
}

void reset_env() {
  std::lock_guard<std::mutex> lock(g_env_mu);
  g_started = false;
  g_record = EnvRecord();
}

}  // namespace spdk_standin
