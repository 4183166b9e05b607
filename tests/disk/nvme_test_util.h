// Helpers of the NVMe tests: the SPDK environment, a scratch directory,
// DMA buffers, emulated controllers at fresh addresses and polling loops.
#ifndef TESTS_DISK_NVME_TEST_UTIL_H_
#define TESTS_DISK_NVME_TEST_UTIL_H_

#include <sched.h>
#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>

#include "gtest/gtest.h"
#include "spdk/env.h"
#include "spdk/env_standin.h"
#include "spdk/nvme.h"
#include "spdk/nvme_standin.h"

namespace nvmetest {

// Starts the stand-in's environment once per process (probing needs it),
// then lets the caller run on every CPU again.
inline void StartSpdkEnv() {
  static std::once_flag once;
  std::call_once(once, [] {
    if (spdk_standin::env_started()) return;
    cpu_set_t set;
    CPU_ZERO(&set);
    sched_getaffinity(0, sizeof(set), &set);
    int first = 0;
    while (first < CPU_SETSIZE && !CPU_ISSET(first, &set)) ++first;
    const std::string mask = "[" + std::to_string(first) + "]";
    spdk_env_opts opts;
    spdk_env_opts_init(&opts);
    opts.name = "nvme_test";
    opts.core_mask = mask.c_str();
    ASSERT_EQ(0, spdk_env_init(&opts));
    sched_setaffinity(0, sizeof(set), &set);
  });
}

// A fresh directory, removed with everything in it.
class TempDir {
 public:
  TempDir() {
    char tmpl[] = "/tmp/nvme_test.XXXXXX";
    const char* p = mkdtemp(tmpl);
    if (p != nullptr) path_ = p;
  }
  ~TempDir() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// DMA-safe memory of the stand-in.
class DmaBuf {
 public:
  explicit DmaBuf(size_t len) : len_(len) {
    p_ = static_cast<char*>(spdk_zmalloc(len, 4096, nullptr, SPDK_ENV_SOCKET_ID_ANY,
                                         SPDK_MALLOC_DMA));
  }
  ~DmaBuf() { spdk_free(p_); }
  DmaBuf(const DmaBuf&) = delete;
  DmaBuf& operator=(const DmaBuf&) = delete;
  char* get() const { return p_; }
  size_t size() const { return len_; }

 private:
  char* p_;
  size_t len_;
};

// A PCI address no other test of the process uses.
inline std::string FreshAddress() {
  static std::mutex mu;
  static int next = 1;
  std::lock_guard<std::mutex> lock(mu);
  char buf[32];
  snprintf(buf, sizeof(buf), "0000:%02x:%02x.0", next / 32 + 1, next % 32);
  ++next;
  return buf;
}

inline std::string Trid(const std::string& addr) { return "trtype:PCIe traddr:" + addr; }

// A controller at `addr` with one namespace of the given format.
inline spdk_standin::ControllerShape MakeSpec(const std::string& dir, const std::string& addr,
                                            uint32_t sector, uint32_t md, uint64_t sectors) {
  spdk_standin::ControllerShape shape;
  shape.traddr = addr;
  spdk_standin::NamespaceSpec ns;
  ns.path = dir + "/ns-" + addr;
  ns.sector_size = sector;
  ns.md_size = md;
  ns.num_sectors = sectors;
  shape.namespaces.push_back(ns);
  return shape;
}

// Calls `poll` until `done` holds; false after 30 s.
inline bool PollUntil(const std::function<void()>& poll, const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    poll();
  }
  return true;
}

}  // namespace nvmetest

#endif  // TESTS_DISK_NVME_TEST_UTIL_H_
