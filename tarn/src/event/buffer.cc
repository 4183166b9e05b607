#include "tarn/event/buffer.h"

#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>

#include "tarn/base/logging.h"

namespace tarn {

Buffer::Buffer(size_t size) : data_(size == 0 ? 1 : size), capacity_(data_.size()) {}

void Buffer::CopyOut(size_t off, void* buf, size_t len) const {
  size_t pos = read_;
  Advance(&pos, off);
  const size_t first = std::min(len, capacity_ - pos);
  memcpy(buf, data_.data() + pos, first);
  if (len > first) memcpy(static_cast<char*>(buf) + first, data_.data(), len - first);
}

void Buffer::MakeSpace(size_t len) {
  const size_t readable = ReadableBytes();
  if (len > std::numeric_limits<size_t>::max() / 2 - readable) {
    LOG_FATAL << "buffer size overflow, readable: " << readable << ", append: " << len;
    return;
  }
  const size_t newCap = readable + len + 1;
  LOG_DEBUG << "buffer size increase: " << (newCap - capacity_) << ", new capacity: " << newCap
            << ", score: " << score_;
  if (read_ > write_) {
    // Wrapped: lay the data out from the start of a new array.
    std::vector<char> fresh(newCap);
    CopyOut(0, fresh.data(), readable);
    data_.swap(fresh);
    read_ = 0;
    write_ = readable;
  } else {
    data_.resize(newCap);
  }
  capacity_ = newCap;
  if (ReadableBytes() != readable) {
    LOG_FATAL << "readable not equal after make space," << ", before: " << readable
              << ", after: " << ReadableBytes();
  }
}

void Buffer::Append(const char* data, size_t len) {
  if (len == 0) return;
  if (len > WritableBytes()) MakeSpace(len);
  const size_t first = std::min(len, capacity_ - write_);
  memcpy(data_.data() + write_, data, first);
  if (len > first) memcpy(data_.data(), data + first, len - first);
  Advance(&write_, len);
}

int Buffer::Receive(void* buf, size_t len) const { return Receive(0, buf, len); }

int Buffer::Receive(uint32_t off, void* buf, size_t len) const {
  const size_t readable = ReadableBytes();
  if (off > readable || len > readable - off) return -1;
  CopyOut(off, buf, len);
  return 0;
}

uint32_t Buffer::OffAvailable(uint32_t off) const {
  const size_t readable = ReadableBytes();
  if (readable < off) return std::numeric_limits<uint32_t>::max();
  // Keep a huge remainder from reading as the "not enough" value.
  const size_t left = readable - off;
  const size_t cap = std::numeric_limits<uint32_t>::max() - 1;
  return static_cast<uint32_t>(left < cap ? left : cap);
}

void Buffer::RaiseScore() {
  if (score_ < kScoreMax && ReadableBytes() > capacity_ / 2) {
    score_ = score_ < 0 ? kScoreStep : score_ + kScoreStep;
  }
}

void Buffer::ShrinkIfDrained() {
  if (read_ != write_) return;
  if ((score_ >= 0 && capacity_ <= kShrinkAbove) || (score_ < 0 && capacity_ <= kShrinkFloor)) {
    --score_;
    return;
  }
  std::vector<char>(capacity_ / 2).swap(data_);
  capacity_ = data_.size();
  read_ = write_ = 0;
  score_ = kScoreStep;
  LOG_DEBUG << "buffer capacity shrink to: " << capacity_;
}

int Buffer::Retrieve(size_t len) {
  if (len > ReadableBytes()) return -1;
  RaiseScore();
  Advance(&read_, len);
  ShrinkIfDrained();
  return 0;
}

int Buffer::Remove(void* buf, size_t len) {
  if (len > ReadableBytes()) return -1;
  CopyOut(0, buf, len);
  return Retrieve(len);
}

void Buffer::RetrieveAll() {
  RaiseScore();
  read_ = write_ = 0;
  ShrinkIfDrained();
}

void Buffer::HasWritten(size_t n) {
  if (n > WritableBytes()) {
    LOG_FATAL << "written beyond the free space, n: " << n << ", writable: " << WritableBytes();
    return;
  }
  Advance(&write_, n);
}

ssize_t Buffer::ReadFd(int fd, int* savedErrno) {
  char extra[kExtraReadSize];
  const size_t writable = WritableBytes();
  struct iovec vec[3];
  int cnt = 0;
  auto add = [&](char* base, size_t len) {
    if (len == 0) return;
    vec[cnt].iov_base = base;
    vec[cnt].iov_len = len;
    ++cnt;
  };
  char* d = data_.data();
  if (read_ > write_) {
    add(d + write_, read_ - 1 - write_);
  } else if (read_ == 0) {
    add(d + write_, capacity_ - 1 - write_);
  } else {
    add(d + write_, capacity_ - write_);
    if (read_ > 1) add(d, read_ - 1);
  }
  if (writable < kExtraReadSize) add(extra, sizeof(extra));

  const ssize_t n = ::readv(fd, vec, cnt);
  if (n < 0) {
    if (savedErrno != nullptr) *savedErrno = errno;
  } else if (static_cast<size_t>(n) <= writable) {
    HasWritten(static_cast<size_t>(n));
  } else {
    HasWritten(writable);
    Append(extra, static_cast<size_t>(n) - writable);
  }
  return n;
}

ssize_t Buffer::WriteFd(int fd) {
  if (read_ == write_) return 0;
  struct iovec vec[2];
  int cnt = 1;
  vec[0].iov_base = data_.data() + read_;
  if (read_ < write_) {
    vec[0].iov_len = write_ - read_;
  } else {
    vec[0].iov_len = capacity_ - read_;
    if (write_ > 0) {
      vec[1].iov_base = data_.data();
      vec[1].iov_len = write_;
      cnt = 2;
    }
  }
  struct msghdr msg;
  memset(&msg, 0, sizeof(msg));
  msg.msg_iov = vec;
  msg.msg_iovlen = cnt;
  ssize_t n = ::sendmsg(fd, &msg, MSG_NOSIGNAL);
  if (n < 0 && errno == ENOTSOCK) n = ::writev(fd, vec, cnt);
  if (n > 0) Retrieve(static_cast<size_t>(n));
  return n;
}

}  // namespace tarn
