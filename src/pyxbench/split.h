// The host's block layer above its module, as far as pyxbench needs one:
// an I/O larger than the module takes (pyxhost::kMaxIoBytes) is cut into
// children the module takes, all issued at once; the I/O (the parent)
// completes when its last child does, failed when any child failed. The
// caller sees parents only: one callback per parent, and the depth and the
// outstanding count are of parents.
//
// Cuts fall where a block layer puts them: a child is at most the module's
// largest, and ends on a 4 KiB boundary of the disk whenever it is not the
// last, so that the children after an unaligned first one are aligned and
// no two children of one parent share a 4 KiB block.
//
// Like the channel below it, a SplitChannel belongs to one thread, and the
// callbacks run there, inside Poll and WaitAndPoll.
#ifndef PYXBENCH_SPLIT_H_
#define PYXBENCH_SPLIT_H_

#include <sys/uio.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "pyxhost/host.h"

namespace pyxbench {

// One child: [offset, offset + len) of the disk.
struct Child {
  uint64_t offset;
  uint64_t len;
};

// The children of [offset, offset + len), each at most `largest` bytes (a
// multiple of 4096), into out[0 ..); returns how many. len >= 1.
int CutChildren(uint64_t offset, uint64_t len, uint64_t largest, Child* out);
// The most children an I/O of at most `len` bytes at any offset has.
int MostChildren(uint64_t len, uint64_t largest);

class SplitChannel {
 public:
  // Up to `depth` parents of up to `largest_io` bytes each in flight; the
  // channel below is made for all of their children.
  SplitChannel(pyxhost::Disk* disk, const pyxhost::Channel::Options& options, int depth,
               uint64_t largest_io);
  ~SplitChannel();
  SplitChannel(const SplitChannel&) = delete;
  SplitChannel& operator=(const SplitChannel&) = delete;

  // One parent of `len` bytes at `offset` into or from buf (valid until the
  // callback). 0; -EINVAL for a length of 0 or past largest_io; -EBUSY
  // with `depth` parents in flight; or the channel's refusal of the first
  // child, with nothing submitted. A later child refused fails the parent,
  // which still completes once its other children have.
  int Read(uint8_t* buf, uint64_t offset, uint64_t len, pyxhost::IoCallback cb, void* arg);
  int Write(uint8_t* buf, uint64_t offset, uint64_t len, pyxhost::IoCallback cb, void* arg);

  // As the channel's, counting parents: Poll returns the parents finished;
  // WaitAndPoll waits until one finished or timeout_us passed.
  int Poll();
  int WaitAndPoll(int64_t timeout_us);

  uint64_t outstanding() const { return outstanding_; }
  // The channel's counts (of children).
  pyxhost::Counters counters() const { return channel_->counters(); }

 private:
  struct Parent;
  int Submit(bool write, uint8_t* buf, uint64_t offset, uint64_t len, pyxhost::IoCallback cb,
             void* arg);
  static void OnChild(void* arg, int status);
  void Finish(Parent* parent);

  const uint64_t largest_io_;
  const int most_children_;
  std::unique_ptr<pyxhost::Channel> channel_;
  std::vector<Parent> parents_;
  std::vector<Parent*> free_;
  std::vector<iovec> iovs_;    // most_children_ a parent
  std::vector<Child> cuts_;    // scratch of Submit
  uint64_t outstanding_ = 0;
  uint64_t finished_ = 0;
};

}  // namespace pyxbench

#endif  // PYXBENCH_SPLIT_H_
