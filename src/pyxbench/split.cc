#include "split.h"

#include <errno.h>
#include <time.h>

#include <algorithm>

namespace pyxbench {

namespace {

constexpr uint64_t kBlock = 4096;

int64_t NowUs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

}  // namespace

int CutChildren(uint64_t offset, uint64_t len, uint64_t largest, Child* out) {
  const uint64_t end = offset + len;
  uint64_t pos = offset;
  int n = 0;
  while (end - pos > largest) {
    // The furthest 4 KiB boundary within reach; `largest` is a multiple of
    // 4096, so there is one past pos.
    const uint64_t cut = (pos + largest) / kBlock * kBlock;
    out[n++] = {pos, cut - pos};
    pos = cut;
  }
  out[n++] = {pos, end - pos};
  return n;
}

int MostChildren(uint64_t len, uint64_t largest) {
  // An unaligned start costs at most one child more than an aligned one.
  return len <= largest ? 1 : static_cast<int>((len + largest - 1) / largest + 1);
}

// One parent: its caller's callback and how many children are still out.
struct SplitChannel::Parent {
  SplitChannel* owner = nullptr;
  iovec* iov = nullptr;  // one per child
  pyxhost::IoCallback cb = nullptr;
  void* arg = nullptr;
  int remaining = 0;
  bool failed = false;
};

SplitChannel::SplitChannel(pyxhost::Disk* disk, const pyxhost::Channel::Options& options,
                           int depth, uint64_t largest_io)
    : largest_io_(largest_io),
      most_children_(MostChildren(largest_io, pyxhost::kMaxIoBytes)) {
  depth = std::max(1, depth);
  pyxhost::Channel::Options below = options;
  below.max_outstanding = depth * most_children_;
  below.max_iovcnt = 1;
  channel_.reset(new pyxhost::Channel(disk, below));
  parents_.resize(depth);
  iovs_.resize(static_cast<size_t>(depth) * most_children_);
  cuts_.resize(most_children_);
  free_.reserve(depth);
  for (int i = depth - 1; i >= 0; --i) {
    parents_[i].owner = this;
    parents_[i].iov = &iovs_[static_cast<size_t>(i) * most_children_];
    free_.push_back(&parents_[i]);
  }
}

// The channel goes first: one with children still out keeps its records
// for the library, and no callback runs once it is gone.
SplitChannel::~SplitChannel() { channel_.reset(); }

int SplitChannel::Read(uint8_t* buf, uint64_t offset, uint64_t len, pyxhost::IoCallback cb,
                       void* arg) {
  return Submit(false, buf, offset, len, cb, arg);
}

int SplitChannel::Write(uint8_t* buf, uint64_t offset, uint64_t len, pyxhost::IoCallback cb,
                        void* arg) {
  return Submit(true, buf, offset, len, cb, arg);
}

int SplitChannel::Submit(bool write, uint8_t* buf, uint64_t offset, uint64_t len,
                         pyxhost::IoCallback cb, void* arg) {
  if (len == 0 || len > largest_io_ || buf == nullptr || cb == nullptr) return -EINVAL;
  if (free_.empty()) return -EBUSY;
  const int n = CutChildren(offset, len, pyxhost::kMaxIoBytes, cuts_.data());
  Parent* p = free_.back();
  free_.pop_back();
  p->cb = cb;
  p->arg = arg;
  p->remaining = n;
  p->failed = false;
  ++outstanding_;
  // Children complete only inside Poll, so none can finish the parent
  // while this loop still runs.
  for (int k = 0; k < n; ++k) {
    iovec* iov = &p->iov[k];
    iov->iov_base = buf + (cuts_[k].offset - offset);
    iov->iov_len = cuts_[k].len;
    const int rc = write ? channel_->Write(iov, 1, cuts_[k].offset, cuts_[k].len, &OnChild, p)
                         : channel_->Read(iov, 1, cuts_[k].offset, cuts_[k].len, &OnChild, p);
    if (rc == 0) continue;
    if (k == 0) {
      --outstanding_;
      free_.push_back(p);
      return rc;
    }
    // Some children are out: the parent ends with them, failed.
    p->failed = true;
    p->remaining -= n - k;
    break;
  }
  return 0;
}

void SplitChannel::OnChild(void* arg, int status) {
  Parent* p = static_cast<Parent*>(arg);
  if (status != 0) p->failed = true;
  if (--p->remaining == 0) p->owner->Finish(p);
}

void SplitChannel::Finish(Parent* p) {
  const pyxhost::IoCallback cb = p->cb;
  void* arg = p->arg;
  const int status = p->failed ? -1 : 0;
  free_.push_back(p);
  --outstanding_;
  ++finished_;
  cb(arg, status);
}

int SplitChannel::Poll() {
  const uint64_t before = finished_;
  channel_->Poll();
  return static_cast<int>(finished_ - before);
}

int SplitChannel::WaitAndPoll(int64_t timeout_us) {
  const uint64_t before = finished_;
  const int64_t start = NowUs();
  int64_t left = timeout_us;
  do {
    channel_->WaitAndPoll(left);
    left = timeout_us - (NowUs() - start);
  } while (finished_ == before && left > 0 && channel_->outstanding() != 0);
  return static_cast<int>(finished_ - before);
}

}  // namespace pyxbench
