// pyxhost: the storage host's block-device module, as far as the driver
// library sees it.
//
// A real host loads libpyxdriver.so, hands it its INI configuration, opens
// disks, and runs I/O channels whose completion rings it polls on its own
// threads. This module does the same, small and plain, for the tests and
// for pyxbench:
//
//   pyxhost::StartLibrary("driver.ini");          // pyx_init_env
//   auto disk = pyxhost::Disk::Open("vol1");       // pyx_init, wait for done
//   pyxhost::Channel ch(disk.get(), {});           // rings per driver id
//   ch.Write(iov, 1, offset, len, OnDone, arg);    // send_pyx_io, split at
//   while (...) ch.WaitAndPoll(1000);              //   get_max_io_size()
//   ch.Drain(30);
//   disk->Close();                                 // pyx_free, record freed
//   pyxhost::FinishLibrary();                      // pyx_finish_env
//
// Threads. A Channel belongs to one host thread, as an SPDK I/O channel
// does: that thread submits and polls, and completion callbacks run there,
// inside Poll. Counters may be read from any thread. Disks may be opened
// and closed from any thread.
#ifndef PYXHOST_HOST_H_
#define PYXHOST_HOST_H_

#include <sys/uio.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct bdev_pyx;
struct bdev_pyx_io;
struct bdev_pyx_io_channel;
struct spdk_ring;

namespace pyxhost {

// The largest I/O the module takes (the library's own limit): a host's
// block layer splits larger ones before they reach it.
constexpr uint64_t kMaxIoBytes = 262144;

// Reads `ini_path` as the process's default SPDK configuration and calls
// pyx_init_env. Returns its result, or -1 when the file cannot be read.
// Once per process, as the library's start-up is.
int StartLibrary(const std::string& ini_path);

// pyx_finish_env, then releases the configuration.
void FinishLibrary();

// One remote virtual disk: the host's bdev_pyx record and its bring-up.
class Disk {
 public:
  // Allocates the record, calls pyx_init and waits for `done` (at most
  // timeout_s). Never null: check ok(). While the library's manager does
  // not exist yet (it is created asynchronously at start-up) the size query
  // is asked again until it is taken.
  static std::unique_ptr<Disk> Open(const std::string& name, double timeout_s = 60.0);

  ~Disk();  // Close()s an open disk
  Disk(const Disk&) = delete;
  Disk& operator=(const Disk&) = delete;

  const std::string& name() const { return name_; }
  // Bring-up finished and the library reported the disk usable.
  bool ok() const;
  // `done` arrived (ok or not).
  bool finished() const;
  uint64_t size() const;
  // What went wrong when !ok(): "", "no drivers", "timeout", "bring-up failed".
  const std::string& error() const { return error_; }
  bdev_pyx* record() { return record_; }

  // pyx_free, then frees the record at once: the library must not touch it
  // afterwards. Channels of the disk must be drained and gone first.
  void Close();

 private:
  struct Record;
  explicit Disk(const std::string& name);
  static void OnDone(bdev_pyx* disk);

  std::string name_;
  std::string error_;
  bdev_pyx* record_ = nullptr;
  Record* holder_ = nullptr;
};

// Host-level counts of one channel (or of all channels, TotalCounters).
// "I/O" here is what the host was asked to do; the pieces it is split into
// at stripe boundaries are counted in `pieces_*`.
struct Counters {
  uint64_t submitted = 0;           // I/O accepted by Read/Write
  uint64_t completed = 0;           // I/O whose callback ran (ok or failed)
  uint64_t failed = 0;              // ... of which with status -1
  uint64_t failed_submissions = 0;  // pieces send_pyx_io could not take
  uint64_t double_completions = 0;  // ring entries for a piece not in flight
  uint64_t outstanding = 0;         // submitted - completed
  uint64_t pieces_submitted = 0;
  uint64_t pieces_completed = 0;
  Counters& operator+=(const Counters& o);
};

// Completion callback: runs once per I/O on the channel's thread; status is
// 0 on success and -1 when any piece failed.
using IoCallback = void (*)(void* arg, int status);

// One host I/O channel of a disk: its completion rings (one per driver id),
// a pool of block I/O records and the bookkeeping of split I/O. Like an
// SPDK host's, the records are reused without being cleared: each use sets
// only the host's fields (type, status 0, buffers, length, offset, channel).
class Channel {
 public:
  struct Options {
    // Most host I/O in flight at once; Read/Write answer -EBUSY beyond it.
    int max_outstanding = 256;
    // Most iovec entries per I/O.
    int max_iovcnt = 16;
    // Polling. With few I/O in flight the wait is for one answer and its
    // latency counts: WaitAndPoll spins up to spin_us, then naps sleep_us
    // between looks at the rings. With more in flight it naps at once, for
    // nap_per_io_us per I/O in flight (at most 1 ms), so that one look
    // takes a batch and the CPUs go to the library and the cluster.
    int spin_us = 100;
    int sleep_us = 10;
    int spin_max_outstanding = 4;
    int nap_per_io_us = 6;
  };

  Channel(Disk* disk, const Options& options);
  // A channel with I/O still outstanding (lost by the library) is not
  // freed: the library could still complete onto its rings.
  ~Channel();
  Channel(const Channel&) = delete;
  Channel& operator=(const Channel&) = delete;

  // Submits one I/O of `len` bytes at `offset` (any alignment, 1 byte to
  // kMaxIoBytes) whose buffers are iov[0..iovcnt) (lengths adding up to len;
  // they must stay valid until the callback). Pieces at get_max_io_size()
  // boundaries go to the library one by one. 0, -EINVAL for bad arguments,
  // -EBUSY when the channel is full. A piece the library cannot take fails
  // the I/O; its callback then runs on the next Poll.
  int Read(const iovec* iov, int iovcnt, uint64_t offset, uint64_t len, IoCallback cb,
           void* arg);
  int Write(const iovec* iov, int iovcnt, uint64_t offset, uint64_t len, IoCallback cb,
            void* arg);

  // Takes what the rings hold and runs the callbacks of finished I/O.
  // Returns the number of I/O finished.
  int Poll();
  // Polls until at least one I/O finished or timeout_us passed (spinning
  // briefly, then sleeping between looks). Returns the number finished.
  int WaitAndPoll(int64_t timeout_us);
  // Polls until nothing is outstanding or timeout_s passed; true if drained.
  bool Drain(double timeout_s);

  uint64_t outstanding() const { return outstanding_.load(std::memory_order_relaxed); }
  Counters counters() const;
  int ring_count() const { return ring_count_; }
  // The record the library sees (its rings are rings[0 .. ring_count()-1]).
  bdev_pyx_io_channel* record() { return record_; }
  size_t ring_capacity() const { return ring_capacity_; }

 private:
  struct Piece;
  struct Request;

  int Submit(int type, const iovec* iov, int iovcnt, uint64_t offset, uint64_t len,
             IoCallback cb, void* arg);
  void SubmitPiece(Piece* piece);
  void CompletePiece(bdev_pyx_io* io);
  void FinishPiece(Piece* piece, bool failed);
  Piece* PieceOf(bdev_pyx_io* io);
  static void Bump(std::atomic<uint64_t>& c, uint64_t n = 1) {
    c.store(c.load(std::memory_order_relaxed) + n, std::memory_order_relaxed);
  }

  Options options_;
  Disk* disk_;
  bdev_pyx_io_channel* record_ = nullptr;
  std::vector<spdk_ring*> rings_;
  int ring_count_ = 0;
  size_t ring_capacity_ = 0;
  uint64_t stripe_ = 0;
  int max_pieces_ = 0;  // pieces of the largest I/O

  // Pieces: one block I/O each, in one array; free ones in a FIFO so a
  // finished piece is reused as late as possible (a second completion of it
  // is then still recognisable as one).
  std::unique_ptr<uint8_t[]> bio_memory_;
  size_t bio_stride_ = 0;
  std::vector<Piece> pieces_;
  std::vector<iovec> piece_iovs_;
  std::vector<uint32_t> free_pieces_;  // ring buffer of indices
  size_t free_head_ = 0;
  size_t free_count_ = 0;

  std::vector<Request> requests_;
  std::vector<uint32_t> free_requests_;  // stack of indices

  std::vector<Piece*> failed_now_;  // refused by send_pyx_io
  std::vector<void*> batch_;

  std::atomic<uint64_t> submitted_{0}, completed_{0}, failed_{0}, failed_submissions_{0},
      double_completions_{0}, outstanding_{0}, pieces_submitted_{0}, pieces_completed_{0};
};

// Sum over every channel created so far, live or gone.
Counters TotalCounters();

}  // namespace pyxhost

#endif  // PYXHOST_HOST_H_
