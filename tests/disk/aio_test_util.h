// Helpers of the AIO tests: aligned buffers, a file opened with O_DIRECT,
// and a record of submit results and callbacks.
#ifndef TESTS_DISK_AIO_TEST_UTIL_H_
#define TESTS_DISK_AIO_TEST_UTIL_H_

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/wait.h"
#include "support/worker.h"
#include "tarn/disk_io_util.h"
#include "tarn/loop.h"

namespace testsupport {

inline constexpr uint64_t kBlock = 4096;
inline constexpr uint64_t kFileSize = 8 << 20;

// Page-aligned memory for O_DIRECT.
struct AlignedBuf {
  explicit AlignedBuf(size_t n) : size(n) {
    void* p = nullptr;
    if (posix_memalign(&p, kBlock, n) != 0) abort();
    data = static_cast<uint8_t*>(p);
    memset(data, 0, n);
  }
  ~AlignedBuf() { free(data); }
  uint8_t* data;
  size_t size;
};

// A file of kFileSize zero bytes opened with O_DIRECT, in a directory whose
// file system supports it (/tmp may be tmpfs: then the working directory,
// which is the build tree under ctest).
class DirectFile {
 public:
  DirectFile() {
    const char* tmp = getenv("TMPDIR");
    for (std::string dir : {std::string(tmp ? tmp : "/tmp"), std::string(".")}) {
      path_ = dir + "/aio_io_XXXXXX";
      std::vector<char> name(path_.begin(), path_.end());
      name.push_back('\0');
      int fd = mkstemp(name.data());
      if (fd < 0) continue;
      path_ = name.data();
      ::close(fd);
      fd_ = ::open(path_.c_str(), O_RDWR | O_DIRECT);
      if (fd_ >= 0 && ftruncate(fd_, kFileSize) == 0) return;
      if (fd_ >= 0) ::close(fd_);
      fd_ = -1;
      unlink(path_.c_str());
    }
  }
  ~DirectFile() {
    if (fd_ >= 0) ::close(fd_);
    if (fd_ >= 0) unlink(path_.c_str());
  }
  int fd() const { return fd_; }

 private:
  std::string path_;
  int fd_ = -1;
};

// Results of submits: what each submit returned and every callback value,
// filled on the loop thread and read by the test after waiting.
struct Results {
  explicit Results(size_t n) : ret(n, 1), first(n, 1), calls(n) {}
  std::vector<int> ret;    // submit's return
  std::vector<int> first;  // first callback value
  std::vector<std::atomic<int>> calls;
  std::atomic<size_t> done{0};

  tarn::DiskIOUtil::Callback Cb(size_t i) {
    return [this, i](int r) {
      if (calls[i].fetch_add(1) == 0) first[i] = r;
      done.fetch_add(1);
    };
  }
  bool WaitAll() {
    return testsupport::WaitFor([&] { return done.load() >= calls.size(); });
  }
  void ExpectEachOnce() const {
    for (size_t i = 0; i < calls.size(); ++i) ASSERT_EQ(calls[i].load(), 1) << "request " << i;
  }
};

// An event worker on its own thread whose loop got an AIO context. The
// machine-wide limit (fs.aio-max-nr) may be used up for a moment by other
// processes' loops, so this tries again for a while; null when no loop got
// one.
inline std::unique_ptr<WorkerOnThread> StartWorkerWithAio(const std::string& name) {
  std::unique_ptr<WorkerOnThread> w;
  bool ok = WaitFor([&] {
    w.reset(new WorkerOnThread(name));
    bool on = false;
    w->RunSync([&] { on = w->worker()->loop()->disk_io()->aio_enabled(); });
    return on;
  });
  if (!ok) w.reset();
  return w;
}

}  // namespace testsupport

#endif  // TESTS_DISK_AIO_TEST_UTIL_H_
