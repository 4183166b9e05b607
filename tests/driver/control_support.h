// Shared pieces of the driver's control-path tests: INI files as the host's
// default configuration, a log tap that can act on a line the moment it is
// written, and host-side disk records.
#ifndef TESTS_DRIVER_CONTROL_SUPPORT_H_
#define TESTS_DRIVER_CONTROL_SUPPORT_H_

#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "control/globals.h"
#include "pyxdriver/pyxdriver.h"
#include "spdk/conf.h"
#include "support/wait.h"
#include "support/worker.h"
#include "tarn/base/logging.h"
#include "tarn/loop.h"
#include "tarn/rpc/rpc_server.h"
#include "tarn/sock_address.h"
#include "tarn/worker.h"
#include "volume.pb.h"
#include "vovorav.pb.h"

namespace ctltest {

// Writes `text` to a temporary file and makes it the default configuration
// that the library reads; the destructor releases both.
class IniFile {
 public:
  explicit IniFile(const std::string& text) {
    char path[] = "/tmp/pyx_ini_XXXXXX";
    const int fd = mkstemp(path);
    path_ = path;
    if (fd >= 0) {
      ssize_t unused = write(fd, text.data(), text.size());
      (void)unused;
      close(fd);
    }
    conf_ = spdk_conf_allocate();
    ok_ = spdk_conf_read(conf_, path_.c_str()) == 0;
    spdk_conf_set_as_default(conf_);
  }
  ~IniFile() {
    spdk_conf_free(conf_);
    unlink(path_.c_str());
  }
  IniFile(const IniFile&) = delete;
  IniFile& operator=(const IniFile&) = delete;
  bool ok() const { return ok_; }

 private:
  std::string path_;
  spdk_conf* conf_ = nullptr;
  bool ok_ = false;
};

// Catches every log line while installed, and runs the trigger whose needle
// a line holds on the thread that writes it, before that thread goes on: a
// test can so act at an exact point of the library's work.
class LogTap {
 public:
  LogTap() : previous_(plinth::g_output.load()) {
    std::lock_guard<std::recursive_mutex> lock(OutputMutex());
    Instance() = this;
    plinth::Logger::setOutput(&Output);
  }
  // Threads may still be logging: they find no tap from now on.
  ~LogTap() {
    std::lock_guard<std::recursive_mutex> lock(OutputMutex());
    plinth::Logger::setOutput(previous_);
    Instance() = nullptr;
  }
  LogTap(const LogTap&) = delete;
  LogTap& operator=(const LogTap&) = delete;

  // Runs fn (once) on the first line that holds needle.
  void OnceOn(const std::string& needle, std::function<void()> fn) {
    std::lock_guard<std::mutex> lock(mutex_);
    triggers_.push_back({needle, std::move(fn)});
  }
  void ClearTriggers() {
    std::lock_guard<std::mutex> lock(mutex_);
    triggers_.clear();
  }
  std::string text() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return text_;
  }
  void Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    text_.clear();
  }
  // Lines holding needle.
  int Count(const std::string& needle) const {
    const std::string all = text();
    int n = 0;
    for (size_t at = all.find(needle); at != std::string::npos; at = all.find(needle, at + 1)) {
      ++n;
    }
    return n;
  }
  bool Has(const std::string& needle) const { return Count(needle) > 0; }
  bool WaitFor(const std::string& needle, double timeout_s = 60.0) const {
    return testsupport::WaitFor([&] { return Has(needle); }, timeout_s);
  }
  // The first line holding needle, from its message on (the time, thread
  // and level in front and the " - file:line" behind cut off); empty when
  // none does.
  std::string Message(const std::string& needle) const {
    const std::string all = text();
    const size_t at = all.find(needle);
    if (at == std::string::npos) return "";
    size_t end = all.find('\n', at);
    if (end == std::string::npos) end = all.size();
    std::string line = all.substr(at, end - at);
    const size_t tail = line.rfind(" - ");
    return tail == std::string::npos ? line : line.substr(0, tail);
  }

 private:
  struct Trigger {
    std::string needle;
    std::function<void()> fn;
  };

  static LogTap*& Instance() {
    static LogTap* tap = nullptr;
    return tap;
  }
  // Held while a line is taken and its trigger runs (a trigger may log).
  static std::recursive_mutex& OutputMutex() {
    static std::recursive_mutex mutex;
    return mutex;
  }

  static void Output(const char* msg, int len) {
    std::lock_guard<std::recursive_mutex> hold(OutputMutex());
    LogTap* tap = Instance();
    if (tap == nullptr) return;
    std::function<void()> fire;
    {
      std::lock_guard<std::mutex> lock(tap->mutex_);
      tap->text_.append(msg, static_cast<size_t>(len));
      const std::string line(msg, static_cast<size_t>(len));
      for (auto it = tap->triggers_.begin(); it != tap->triggers_.end(); ++it) {
        if (line.find(it->needle) != std::string::npos) {
          fire = std::move(it->fn);
          tap->triggers_.erase(it);
          break;
        }
      }
    }
    if (fire) fire();
  }

  mutable std::mutex mutex_;
  std::string text_;
  std::vector<Trigger> triggers_;
  plinth::Logger::OutputFunc previous_;
};

// A host's disk record with its `done` callback counted.
class HostDisk {
 public:
  explicit HostDisk(const std::string& name, int mode = 0) {
    record_ = static_cast<bdev_pyx*>(calloc(1, sizeof(bdev_pyx)));
    record_->name = strdup(name.c_str());
    record_->mode = mode;
    record_->done = &OnDone;
    std::lock_guard<std::mutex> lock(RegistryMutex());
    Registry().push_back(this);
  }
  ~HostDisk() {
    {
      std::lock_guard<std::mutex> lock(RegistryMutex());
      auto& all = Registry();
      for (size_t i = 0; i < all.size(); ++i) {
        if (all[i] == this) all.erase(all.begin() + static_cast<long>(i));
      }
    }
    if (record_ != nullptr) Release();
  }
  HostDisk(const HostDisk&) = delete;
  HostDisk& operator=(const HostDisk&) = delete;

  bdev_pyx* record() const { return record_; }
  int done_count() const { return done_.load(); }
  // Waits until `done` has run n times in all.
  bool WaitDone(int n = 1, double timeout_s = 60.0) const {
    return testsupport::WaitFor([&] { return done_.load() >= n; }, timeout_s);
  }
  uint8_t ok() const { return __atomic_load_n(&record_->ok, __ATOMIC_RELAXED); }
  uint8_t exists() const { return __atomic_load_n(&record_->exists, __ATOMIC_RELAXED); }
  uint64_t size() const { return __atomic_load_n(&record_->size, __ATOMIC_RELAXED); }
  uint64_t term(int id) const {
    return __atomic_load_n(&record_->route_term[id], __ATOMIC_RELAXED);
  }
  // pyx_free, then the record goes at once, as a host frees it.
  void Free() {
    pyx_free(record_);
    std::lock_guard<std::mutex> lock(RegistryMutex());
    Release();
  }

 private:
  static std::vector<HostDisk*>& Registry() {
    static std::vector<HostDisk*> all;
    return all;
  }
  static std::mutex& RegistryMutex() {
    static std::mutex mutex;
    return mutex;
  }
  static void OnDone(bdev_pyx* disk) {
    std::lock_guard<std::mutex> lock(RegistryMutex());
    for (HostDisk* d : Registry()) {
      if (d->record_ == disk) d->done_.fetch_add(1);
    }
  }
  void Release() {
    free(record_->name);
    free(record_);
    record_ = nullptr;
  }

  bdev_pyx* record_ = nullptr;
  std::atomic<int> done_{0};
};

// Runs fn on the manager's loop and waits for it.
inline void OnManager(const std::function<void(PyxManager*)>& fn) {
  tarn::Worker* worker = pyx::ManagerWorker();
  if (worker == nullptr) return;
  worker->loop()->RunInLoop(
      [&fn] {
        if (PyxManager* m = pyxmanager.load()) fn(m);
      },
      false);
}

// Runs fn on driver i's loop and waits for it.
inline void OnDriver(int i, const std::function<void(PyxDriver*)>& fn) {
  PyxDriver* d = pyxdrivers[static_cast<size_t>(i)];
  d->worker()->loop()->RunInLoop([&fn, d] { fn(d); }, false);
}

inline int CurrentVolumeManager() {
  int index = -1;
  OnManager([&](PyxManager*) { index = volume_manager_addr.index; });
  return index;
}

// A service of the test on a server of its own (one worker), for answers
// the simulated cluster does not give.
template <typename Service>
class FakeServer {
 public:
  FakeServer(const std::string& ip, uint16_t port, bool ipv6) : acceptor_("fake-acc") {
    tarn::WorkerOption option;
    option.name_prefix = "fake-srv-";
    server_.reset(new tarn::RpcServer(tarn::kTcp, acceptor_.worker(),
                                      tarn::SockAddress(ip, port, ipv6), "fake_server", option,
                                      nullptr));
    server_->AddService(&service_);
    server_->SetWorkerNum(1);
    started_ = server_->Start() == 0;
  }
  ~FakeServer() {
    server_.reset();
    acceptor_.Stop();
  }
  bool started() const { return started_; }
  Service& service() { return service_; }

 private:
  Service service_;
  testsupport::WorkerOnThread acceptor_;
  std::unique_ptr<tarn::RpcServer> server_;
  bool started_ = false;
};

// A volume manager whose LocateVdi answer the test writes.
class FakeVolumeManager : public volume::VolumeManagerService {
 public:
  void set_size(uint64_t size) { size_ = size; }
  void set_locate(const volume::VolumeManagerLocateVdiResponse& answer) {
    std::lock_guard<std::mutex> lock(mutex_);
    locate_ = answer;
  }
  int calls(const std::string& method) const {
    std::lock_guard<std::mutex> lock(mutex_);
    int n = 0;
    for (const std::string& m : calls_) n += m == method;
    return n;
  }

  void GetVdiSize(google::protobuf::RpcController*, const volume::VolumeManagerGetVdiSizeRequest*,
                  volume::VolumeManagerGetVdiSizeResponse* resp,
                  google::protobuf::Closure* done) override {
    Count("GetVdiSize");
    resp->mutable_rc()->set_retcode(0);
    resp->set_size(size_.load());
    done->Run();
  }
  void LocateVdi(google::protobuf::RpcController*, const volume::VolumeManagerLocateVdiRequest*,
                 volume::VolumeManagerLocateVdiResponse* resp,
                 google::protobuf::Closure* done) override {
    Count("LocateVdi");
    {
      std::lock_guard<std::mutex> lock(mutex_);
      *resp = locate_;
    }
    done->Run();
  }
  void RegisterVdi(google::protobuf::RpcController*, const volume::VolumeManagerRegisterVdiRequest*,
                   volume::VolumeManagerRegisterVdiResponse* resp,
                   google::protobuf::Closure* done) override {
    Count("RegisterVdi");
    resp->mutable_rc()->set_retcode(0);
    done->Run();
  }
  void UnregisterVdi(google::protobuf::RpcController*,
                     const volume::VolumeManagerUnregisterVdiRequest*,
                     volume::VolumeManagerUnregisterVdiResponse* resp,
                     google::protobuf::Closure* done) override {
    Count("UnregisterVdi");
    resp->mutable_rc()->set_retcode(0);
    done->Run();
  }

 private:
  void Count(const char* method) {
    std::lock_guard<std::mutex> lock(mutex_);
    calls_.push_back(method);
  }
  mutable std::mutex mutex_;
  std::atomic<uint64_t> size_{1 << 30};
  volume::VolumeManagerLocateVdiResponse locate_;
  std::vector<std::string> calls_;
};

// A block master whose QueryPlaneRoute answer the test writes.
class FakeBlockMaster : public vovorav::BlockMasterService {
 public:
  void set_answer(const vovorav::BlockMasterQueryPlaneRouteResponse& answer) {
    std::lock_guard<std::mutex> lock(mutex_);
    answer_ = answer;
  }
  int calls() const { return calls_.load(); }
  std::string last_vdi() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return last_vdi_;
  }

  // While holding, calls wait unanswered until Answer() names them.
  void set_hold(bool on) {
    std::lock_guard<std::mutex> lock(mutex_);
    hold_ = on;
  }
  size_t held() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return held_.size();
  }
  // Answers the i-th call held so far (in arrival order) with `answer`.
  void Answer(size_t i, const vovorav::BlockMasterQueryPlaneRouteResponse& answer) {
    google::protobuf::Closure* done = nullptr;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (i >= held_.size() || held_[i].done == nullptr) return;
      *held_[i].resp = answer;
      done = held_[i].done;
      held_[i].done = nullptr;
    }
    done->Run();
  }

  void QueryPlaneRoute(google::protobuf::RpcController*,
                       const vovorav::BlockMasterQueryPlaneRouteRequest* req,
                       vovorav::BlockMasterQueryPlaneRouteResponse* resp,
                       google::protobuf::Closure* done) override {
    calls_.fetch_add(1);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      last_vdi_ = req->vdi().id();
      if (hold_) {
        held_.push_back({resp, done});
        return;
      }
      *resp = answer_;
    }
    done->Run();
  }

 private:
  struct Held {
    vovorav::BlockMasterQueryPlaneRouteResponse* resp;
    google::protobuf::Closure* done;
  };
  bool hold_ = false;
  std::vector<Held> held_;
  mutable std::mutex mutex_;
  vovorav::BlockMasterQueryPlaneRouteResponse answer_;
  std::string last_vdi_;
  std::atomic<int> calls_{0};
};

}  // namespace ctltest

#endif  // TESTS_DRIVER_CONTROL_SUPPORT_H_
