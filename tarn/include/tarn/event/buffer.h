// Buffer: a growable ring of bytes, the byte queue of a TCP connection.
//
//   +-----------+===========+---------------+
//   | free      | readable  | free          |   read <= write
//   +-----------+===========+---------------+
//   0          read       write          capacity
//
// When the data wraps (read > write) the readable bytes are [read, capacity)
// then [0, write). One byte is always left free so that read == write means
// empty. Socket reads and writes are single readv / writev calls over the
// pieces; a read never needs a prior grow because a 64 KiB stack piece takes
// what does not fit and is appended afterwards.
//
// Size: an append grows the ring exactly as far as it needs. The ring gives
// memory back by halving when it is found empty often enough: a "score"
// rises whenever it is more than half full and falls at every empty drain;
// with a non-negative score it halves only above 4 MiB, with a negative
// score above 16 KiB.
//
// Parsers peek (Receive at an offset) without consuming. A buffer belongs to
// one connection and is used on that connection's loop thread.
#ifndef TARN_EVENT_BUFFER_H_
#define TARN_EVENT_BUFFER_H_

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tarn {

class Buffer {
 public:
  static constexpr size_t kInitialSize = 8192;
  static constexpr size_t kExtraReadSize = 65536;           // stack piece of ReadFd
  static constexpr size_t kShrinkAbove = 4 * 1024 * 1024;   // score >= 0
  static constexpr size_t kShrinkFloor = 16 * 1024;         // score < 0
  static constexpr int64_t kScoreStep = 200;
  static constexpr int64_t kScoreMax = 2000;

  explicit Buffer(size_t size = kInitialSize);

  size_t ReadableBytes() const {
    return write_ >= read_ ? write_ - read_ : capacity_ - read_ + write_;
  }
  size_t WritableBytes() const { return capacity_ - 1 - ReadableBytes(); }
  size_t Capacity() const { return capacity_; }
  int64_t score() const { return score_; }

  // Appends len bytes, growing first when they do not fit.
  void Append(const char* data, size_t len);
  // Grows the ring, when needed, so that len more bytes fit: a run of
  // appends then grows it once.
  void Reserve(size_t len) {
    if (len > WritableBytes()) MakeSpace(len);
  }

  // Copies len bytes (starting off bytes after the read position) without
  // consuming them: 0, or -1 when fewer are readable.
  int Receive(void* buf, size_t len) const;
  int Receive(uint32_t off, void* buf, size_t len) const;

  // Readable bytes minus off; UINT32_MAX when fewer than off are readable.
  uint32_t OffAvailable(uint32_t off) const;

  // The read index and the raw array, for parsers that look in place.
  size_t ReceivePos() const { return read_; }
  const char* Data() const { return data_.data(); }

  // Consume len bytes (copying them out for Remove): 0, or -1 when fewer are
  // readable. Consuming may shrink the ring (see above).
  int Retrieve(size_t len);
  int Remove(void* buf, size_t len);
  void RetrieveAll();

  // Advances the write index by n bytes just written into the free space;
  // n beyond the writable bytes is a broken invariant and ends the process.
  void HasWritten(size_t n);

  // One readv from fd; its result (errno in *savedErrno on failure).
  ssize_t ReadFd(int fd, int* savedErrno);
  // One write of the readable bytes to fd, consuming what was written; 0
  // without a system call when nothing is readable. Sockets are written with
  // MSG_NOSIGNAL, so a closed peer is an EPIPE error, not a SIGPIPE.
  ssize_t WriteFd(int fd);

 private:
  void MakeSpace(size_t len);
  void CopyOut(size_t off, void* buf, size_t len) const;
  void Advance(size_t* index, size_t n) const {
    *index += n;
    if (*index >= capacity_) *index -= capacity_;
  }
  void RaiseScore();
  void ShrinkIfDrained();

  std::vector<char> data_;
  size_t capacity_;
  size_t read_ = 0;
  size_t write_ = 0;
  int64_t score_ = 0;
};

}  // namespace tarn

#endif  // TARN_EVENT_BUFFER_H_
