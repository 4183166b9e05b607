// Library start-up and the disk records of the host module.
#include <stdlib.h>
#include <string.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "pyxdriver/pyxdriver.h"
#include "pyxhost/host.h"
#include "spdk/conf.h"

namespace pyxhost {

namespace {

spdk_conf* g_conf = nullptr;

template <typename T>
T LoadRelaxed(const T& field) {
  return __atomic_load_n(&field, __ATOMIC_RELAXED);
}

}  // namespace

int StartLibrary(const std::string& ini_path) {
  spdk_conf* conf = spdk_conf_allocate();
  if (conf == nullptr) return -1;
  if (spdk_conf_read(conf, ini_path.c_str()) != 0) {
    spdk_conf_free(conf);
    return -1;
  }
  spdk_conf_set_as_default(conf);
  g_conf = conf;
  return pyx_init_env();
}

void FinishLibrary() {
  pyx_finish_env();
  if (g_conf != nullptr) {
    spdk_conf_free(g_conf);
    g_conf = nullptr;
  }
}

// The record the library sees, followed by what only the host uses: the
// library's `done` callback gets the record and finds the waiter behind it.
struct Disk::Record {
  struct Waiter {
    std::mutex mu;
    std::condition_variable cv;
    bool done = false;
  };
  bdev_pyx pyx;  // first: a bdev_pyx* is a Record*
  Waiter* waiter;
};

Disk::Disk(const std::string& name) : name_(name) {}

Disk::~Disk() { Close(); }

void Disk::OnDone(bdev_pyx* disk) {
  Record::Waiter* w = reinterpret_cast<Record*>(disk)->waiter;
  std::lock_guard<std::mutex> lock(w->mu);
  w->done = true;
  w->cv.notify_all();
}

std::unique_ptr<Disk> Disk::Open(const std::string& name, double timeout_s) {
  std::unique_ptr<Disk> disk(new Disk(name));
  auto* holder = new Record();
  holder->waiter = new Record::Waiter();
  holder->pyx.name = strdup(name.c_str());
  holder->pyx.done = &Disk::OnDone;
  holder->pyx.mode = 0;
  disk->holder_ = holder;
  disk->record_ = &holder->pyx;

  const auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::microseconds(static_cast<int64_t>(timeout_s * 1e6));
  int rc = pyx_init(disk->record_);
  // pyx_init posts the route caches and asks the size; the size query is
  // refused while start-up has not created the manager yet. Asking again
  // through get_vdisk_size keeps the one counter pyx_init allocated.
  while (rc != 0) {
    if (get_cpus_size() <= 0) {
      disk->error_ = "no drivers";
      return disk;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      disk->error_ = "timeout";
      return disk;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    rc = get_vdisk_size(disk->record_);
  }
  Record::Waiter* w = holder->waiter;
  std::unique_lock<std::mutex> lock(w->mu);
  if (!w->cv.wait_until(lock, deadline, [w] { return w->done; })) {
    disk->error_ = "timeout";
  } else if (!LoadRelaxed(disk->record_->ok)) {
    disk->error_ = "bring-up failed";
  }
  return disk;
}

bool Disk::finished() const {
  if (holder_ == nullptr) return false;
  std::lock_guard<std::mutex> lock(holder_->waiter->mu);
  return holder_->waiter->done;
}

bool Disk::ok() const {
  return record_ != nullptr && finished() && LoadRelaxed(record_->ok) != 0;
}

uint64_t Disk::size() const { return record_ == nullptr ? 0 : LoadRelaxed(record_->size); }

void Disk::Close() {
  if (record_ == nullptr) return;
  pyx_free(record_);
  // From here on the library must not touch the record: free it at once so
  // that a later use is caught (AddressSanitizer) rather than silently read.
  free(record_->name);
  free(record_->uuid);
  Record::Waiter* waiter = holder_->waiter;
  delete holder_;
  holder_ = nullptr;
  record_ = nullptr;
  delete waiter;
}

}  // namespace pyxhost
