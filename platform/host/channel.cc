// Host I/O channels: block I/O records, splitting at the library's stripe,
// completion rings and their polling.
#include <errno.h>
#include <sys/prctl.h>
#include <time.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <mutex>
#include <set>

#include "pyxdriver/pyxdriver.h"
#include "pyxhost/host.h"
#include "spdk/bdev_module.h"
#include "spdk/env.h"

namespace pyxhost {

namespace {

constexpr size_t kPollBatch = 256;
// WaitAndPoll: waits longer than this are not expected to end soon.
constexpr int64_t kPatientAfterUs = 200;
constexpr int64_t kLongestNapUs = 1000;

// Every channel, so that counts can be summed from any thread.
std::mutex g_registry_mu;
std::set<const Channel*> g_channels;
Counters g_gone;  // sums of channels already destroyed

int64_t NowUs() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

inline void CpuRelax() { __builtin_ia32_pause(); }

// A poller that naps for a few microseconds needs a timer slack to match;
// the default 50 us would stretch every nap to that.
void TightenTimerSlack() {
  thread_local bool done = false;
  if (!done) {
    prctl(PR_SET_TIMERSLACK, 1000UL, 0, 0, 0);
    done = true;
  }
}

// Non-zero bytes that differ from record to record (every flag set, every
// pointer wild), the same on every run.
void FillWithGarbage(uint8_t* p, size_t n) {
  uint64_t x = 0x9e3779b97f4a7c15ull;
  for (size_t i = 0; i < n; ++i) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    p[i] = static_cast<uint8_t>(x | 1);
  }
}

}  // namespace

Counters& Counters::operator+=(const Counters& o) {
  submitted += o.submitted;
  completed += o.completed;
  failed += o.failed;
  failed_submissions += o.failed_submissions;
  double_completions += o.double_completions;
  outstanding += o.outstanding;
  pieces_submitted += o.pieces_submitted;
  pieces_completed += o.pieces_completed;
  return *this;
}

Counters TotalCounters() {
  std::lock_guard<std::mutex> lock(g_registry_mu);
  Counters sum = g_gone;
  for (const Channel* ch : g_channels) sum += ch->counters();
  return sum;
}

// One piece handed to the library: one spdk_bdev_io with the library's
// record in its driver context.
struct Channel::Piece {
  enum State : uint8_t { kFree, kInFlight };
  spdk_bdev_io* bio = nullptr;
  bdev_pyx_io* io = nullptr;
  Request* request = nullptr;
  iovec* iov = nullptr;  // options_.max_iovcnt entries
  State state = kFree;
};

// One I/O of the host's caller, finished when all of its pieces are.
struct Channel::Request {
  IoCallback cb = nullptr;
  void* arg = nullptr;
  int remaining = 0;
  bool failed = false;
  uint32_t index = 0;
};

Channel::Channel(Disk* disk, const Options& options) : options_(options), disk_(disk) {
  options_.max_outstanding = std::max(1, options_.max_outstanding);
  options_.max_iovcnt = std::max(1, options_.max_iovcnt);
  const int stripe = get_max_io_size();
  stripe_ = stripe > 0 ? static_cast<uint64_t>(stripe) : 0;
  // An I/O of at most kMaxIoBytes bytes at any offset touches at most this
  // many stripes.
  max_pieces_ = stripe_ == 0 ? 1 : static_cast<int>((kMaxIoBytes + stripe_ - 1) / stripe_ + 1);

  const size_t piece_count = static_cast<size_t>(options_.max_outstanding) * max_pieces_;
  bio_stride_ = (sizeof(spdk_bdev_io) + sizeof(bdev_pyx_io) + 63) & ~size_t{63};
  // As a storage host does, the records come from a pool and are never
  // cleared between uses: each starts with garbage and later holds whatever
  // its previous I/O left. Only the host's own fields are set per use.
  const size_t bio_bytes = piece_count * bio_stride_ + 64;
  bio_memory_.reset(new uint8_t[bio_bytes]);
  FillWithGarbage(bio_memory_.get(), bio_bytes);
  uint8_t* base = reinterpret_cast<uint8_t*>(
      (reinterpret_cast<uintptr_t>(bio_memory_.get()) + 63) & ~uintptr_t{63});
  pieces_.resize(piece_count);
  piece_iovs_.resize(piece_count * options_.max_iovcnt);
  free_pieces_.resize(piece_count);
  for (size_t i = 0; i < piece_count; ++i) {
    Piece& p = pieces_[i];
    p.bio = reinterpret_cast<spdk_bdev_io*>(base + i * bio_stride_);
    p.io = static_cast<bdev_pyx_io*>(spdk_bdev_io_get_driver_ctx(p.bio));
    p.iov = &piece_iovs_[i * options_.max_iovcnt];
    p.bio->internal_cb_arg = &p;
    p.bio->internal_ch = this;
    free_pieces_[i] = static_cast<uint32_t>(i);
  }
  free_head_ = 0;
  free_count_ = piece_count;

  requests_.resize(options_.max_outstanding);
  free_requests_.resize(options_.max_outstanding);
  for (int i = 0; i < options_.max_outstanding; ++i) {
    requests_[i].index = static_cast<uint32_t>(i);
    free_requests_[i] = static_cast<uint32_t>(options_.max_outstanding - 1 - i);
  }
  failed_now_.reserve(piece_count);

  // One completion ring per driver id, each able to hold every piece this
  // channel can have in flight (they may all belong to one driver).
  ring_count_ = std::max(0, get_cpus_size());
  ring_capacity_ = piece_count + 1;
  rings_.resize(std::max(1, ring_count_), nullptr);
  for (int i = 0; i < ring_count_; ++i) {
    rings_[i] = spdk_ring_create(SPDK_RING_TYPE_MP_SC, ring_capacity_, SPDK_ENV_SOCKET_ID_ANY);
  }
  record_ = new bdev_pyx_io_channel();
  record_->disk = disk_ != nullptr ? disk_->record() : nullptr;
  record_->rings = rings_.data();

  std::lock_guard<std::mutex> lock(g_registry_mu);
  g_channels.insert(this);
}

Channel::~Channel() {
  {
    std::lock_guard<std::mutex> lock(g_registry_mu);
    g_channels.erase(this);
    g_gone += counters();
  }
  if (outstanding() != 0) {
    // The library still owns some pieces and may complete them later onto
    // these rings into these records: leave both to it rather than have it
    // write into freed memory.
    bio_memory_.release();
    new std::vector<iovec>(std::move(piece_iovs_));
    new std::vector<spdk_ring*>(std::move(rings_));
    record_ = nullptr;
    return;
  }
  for (int i = 0; i < ring_count_; ++i) spdk_ring_free(rings_[i]);
  delete record_;
}

Counters Channel::counters() const {
  Counters c;
  c.submitted = submitted_.load(std::memory_order_relaxed);
  c.completed = completed_.load(std::memory_order_relaxed);
  c.failed = failed_.load(std::memory_order_relaxed);
  c.failed_submissions = failed_submissions_.load(std::memory_order_relaxed);
  c.double_completions = double_completions_.load(std::memory_order_relaxed);
  c.outstanding = outstanding_.load(std::memory_order_relaxed);
  c.pieces_submitted = pieces_submitted_.load(std::memory_order_relaxed);
  c.pieces_completed = pieces_completed_.load(std::memory_order_relaxed);
  return c;
}

int Channel::Read(const iovec* iov, int iovcnt, uint64_t offset, uint64_t len, IoCallback cb,
                  void* arg) {
  return Submit(SPDK_BDEV_IO_TYPE_READ, iov, iovcnt, offset, len, cb, arg);
}

int Channel::Write(const iovec* iov, int iovcnt, uint64_t offset, uint64_t len,
                   IoCallback cb, void* arg) {
  return Submit(SPDK_BDEV_IO_TYPE_WRITE, iov, iovcnt, offset, len, cb, arg);
}

int Channel::Submit(int type, const iovec* iov, int iovcnt, uint64_t offset, uint64_t len,
                    IoCallback cb, void* arg) {
  if (len == 0 || len > kMaxIoBytes || iov == nullptr || iovcnt < 1 ||
      iovcnt > options_.max_iovcnt || cb == nullptr) {
    return -EINVAL;
  }
  uint64_t total = 0;
  for (int i = 0; i < iovcnt; ++i) total += iov[i].iov_len;
  if (total != len) return -EINVAL;
  const uint64_t end = offset + len;
  const int npieces =
      stripe_ == 0 ? 1 : static_cast<int>((end - 1) / stripe_ - offset / stripe_ + 1);
  if (free_requests_.empty() || free_count_ < static_cast<size_t>(npieces)) return -EBUSY;

  Request* req = &requests_[free_requests_.back()];
  free_requests_.pop_back();
  req->cb = cb;
  req->arg = arg;
  req->remaining = npieces;
  req->failed = false;
  Bump(submitted_);
  Bump(outstanding_);

  // Cut [offset, end) at stripe boundaries, walking the caller's buffers.
  int src = 0;          // current source iovec
  uint64_t src_off = 0;  // bytes of it already given out
  uint64_t pos = offset;
  for (int k = 0; k < npieces; ++k) {
    const uint64_t piece_end =
        stripe_ == 0 ? end : std::min(end, (pos / stripe_ + 1) * stripe_);
    Piece* piece = &pieces_[free_pieces_[free_head_]];
    free_head_ = (free_head_ + 1) % free_pieces_.size();
    --free_count_;
    int n = 0;
    for (uint64_t need = piece_end - pos; need > 0;) {
      const uint64_t take = std::min(iov[src].iov_len - src_off, need);
      if (take > 0) {
        piece->iov[n].iov_base = static_cast<char*>(iov[src].iov_base) + src_off;
        piece->iov[n].iov_len = take;
        ++n;
        need -= take;
        src_off += take;
      }
      if (src_off == iov[src].iov_len) {
        ++src;
        src_off = 0;
      }
    }
    spdk_bdev_io* bio = piece->bio;
    bio->type = static_cast<int16_t>(type);
    bio->bdev = record_->disk;
    bdev_pyx_io* io = piece->io;
    io->status = 0;
    io->iov = piece->iov;
    io->iovcnt = n;
    io->len = piece_end - pos;
    io->offset = pos;
    io->ch = record_;
    piece->request = req;
    piece->state = Piece::kInFlight;
    SubmitPiece(piece);
    pos = piece_end;
  }
  return 0;
}

void Channel::SubmitPiece(Piece* piece) {
  Bump(pieces_submitted_);
  send_pyx_io(piece->bio);
  if (ring_count_ == 0) {
    // Without drivers there is no ring to complete on: the library marks
    // the I/O failed and returns, and nothing else will ever touch it.
    failed_now_.push_back(piece);
  }
}

Channel::Piece* Channel::PieceOf(bdev_pyx_io* io) {
  uint8_t* base = reinterpret_cast<uint8_t*>(pieces_.front().bio);
  uint8_t* p = reinterpret_cast<uint8_t*>(spdk_bdev_io_from_ctx(io));
  if (p < base) return nullptr;
  const size_t delta = static_cast<size_t>(p - base);
  if (delta % bio_stride_ != 0 || delta / bio_stride_ >= pieces_.size()) return nullptr;
  return &pieces_[delta / bio_stride_];
}

void Channel::CompletePiece(bdev_pyx_io* io) {
  Piece* piece = PieceOf(io);
  if (piece == nullptr || piece->state != Piece::kInFlight) {
    // The library finished this I/O before, or handed back something that
    // never was ours; either way the host must not act on it again.
    Bump(double_completions_);
    return;
  }
  FinishPiece(piece, io->status != 0);
}

void Channel::FinishPiece(Piece* piece, bool failed) {
  Bump(pieces_completed_);
  piece->state = Piece::kFree;
  Request* req = piece->request;
  piece->request = nullptr;
  free_pieces_[(free_head_ + free_count_) % free_pieces_.size()] =
      static_cast<uint32_t>(piece - pieces_.data());
  ++free_count_;
  req->failed = req->failed || failed;
  if (--req->remaining > 0) return;

  const IoCallback cb = req->cb;
  void* arg = req->arg;
  const bool req_failed = req->failed;
  free_requests_.push_back(req->index);
  Bump(completed_);
  if (req_failed) Bump(failed_);
  outstanding_.store(outstanding_.load(std::memory_order_relaxed) - 1,
                     std::memory_order_relaxed);
  cb(arg, req_failed ? -1 : 0);
}

int Channel::Poll() {
  const uint64_t before = completed_.load(std::memory_order_relaxed);
  if (!failed_now_.empty()) {
    std::vector<Piece*> now;
    now.swap(failed_now_);
    failed_now_.reserve(now.capacity());
    for (Piece* piece : now) {
      Bump(failed_submissions_);
      FinishPiece(piece, true);
    }
  }
  std::array<void*, kPollBatch> batch;
  for (int r = 0; r < ring_count_; ++r) {
    size_t n;
    do {
      n = spdk_ring_dequeue(rings_[r], batch.data(), batch.size());
      for (size_t i = 0; i < n; ++i) CompletePiece(static_cast<bdev_pyx_io*>(batch[i]));
    } while (n == batch.size());
  }
  return static_cast<int>(completed_.load(std::memory_order_relaxed) - before);
}

int Channel::WaitAndPoll(int64_t timeout_us) {
  int n = Poll();
  if (n > 0 || timeout_us <= 0) return n;
  TightenTimerSlack();
  const int64_t start = NowUs();
  const uint64_t in_flight = outstanding();
  if (in_flight > static_cast<uint64_t>(options_.spin_max_outstanding)) {
    const int64_t nap = std::clamp<int64_t>(
        static_cast<int64_t>(in_flight) * options_.nap_per_io_us,
        std::max(1, options_.sleep_us), std::min<int64_t>(kLongestNapUs, timeout_us));
    timespec ts{0, static_cast<long>(nap * 1000)};
    nanosleep(&ts, nullptr);
    return Poll();
  }
  const int64_t spin_end = start + options_.spin_us;
  // Short naps while an answer is due soon; once the wait grows long (the
  // library is retrying, a server is down) the naps grow too, so an idle
  // host thread costs next to nothing.
  const int64_t patient_after = start + kPatientAfterUs;
  int64_t nap = std::max(1, options_.sleep_us);
  for (;;) {
    n = Poll();
    if (n > 0) return n;
    const int64_t now = NowUs();
    if (now - start >= timeout_us) return 0;
    if (now < spin_end) {
      for (int i = 0; i < 32; ++i) CpuRelax();
      continue;
    }
    if (now >= patient_after) nap = std::min<int64_t>(nap * 2, kLongestNapUs);
    const int64_t this_nap = std::min<int64_t>(nap, timeout_us - (now - start));
    timespec ts{0, static_cast<long>(std::max<int64_t>(this_nap, 1) * 1000)};
    nanosleep(&ts, nullptr);
  }
}

bool Channel::Drain(double timeout_s) {
  const int64_t deadline = NowUs() + static_cast<int64_t>(timeout_s * 1e6);
  while (outstanding() != 0) {
    const int64_t left = deadline - NowUs();
    if (left <= 0) return false;
    WaitAndPoll(std::min<int64_t>(left, 100000));
  }
  return true;
}

}  // namespace pyxhost
