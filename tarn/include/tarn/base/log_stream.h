// The formatting stream of one log line and the fixed buffers behind it.
//
// Nothing here allocates: a line is built in a FixedBuffer on the caller's
// stack, integers are formatted by hand and only doubles and Fmt use snprintf.
#ifndef TARN_BASE_LOG_STREAM_H_
#define TARN_BASE_LOG_STREAM_H_

#include <cstring>
#include <string>
#include <string_view>

namespace plinth {
namespace detail {

const int kSmallBuffer = 4000;        // one log line
const int kLargeBuffer = 4000 * 1000;  // one block of the asynchronous writer

// SIZE bytes of payload plus one byte that only ever holds the terminating
// NUL of debugString(), so a completely filled buffer can still be printed.
template <int SIZE>
class FixedBuffer {
 public:
  FixedBuffer() : cur_(data_) {}
  FixedBuffer(const FixedBuffer&) = delete;
  FixedBuffer& operator=(const FixedBuffer&) = delete;

  // Copies as much of buf as fits; a too-long append is cut, never refused.
  void append(const char* buf, size_t len) {
    size_t room = static_cast<size_t>(avail());
    if (len > room) len = room;
    memcpy(cur_, buf, len);
    cur_ += len;
  }

  const char* data() const { return data_; }
  int length() const { return static_cast<int>(cur_ - data_); }

  char* current() { return cur_; }
  int avail() const { return static_cast<int>(end() - cur_); }
  void add(size_t len) { cur_ += len; }

  void reset() { cur_ = data_; }
  // Moves the cursor back to `len` bytes; a longer length changes nothing.
  void truncate(int len) {
    if (len >= 0 && len < length()) cur_ = data_ + len;
  }
  void bzero() { memset(data_, 0, sizeof data_); }

  // NUL-terminates at the cursor (always inside the array) and returns data.
  const char* debugString() {
    *cur_ = '\0';
    return data_;
  }
  std::string toString() const { return std::string(data_, length()); }
  std::string_view toStringPiece() const { return std::string_view(data_, length()); }

  static constexpr int capacity() { return SIZE; }

 private:
  const char* end() const { return data_ + SIZE; }

  char data_[SIZE + 1];
  char* cur_;
};

}  // namespace detail

class Fmt;

class LogStream {
 public:
  typedef detail::FixedBuffer<detail::kSmallBuffer> Buffer;

  LogStream() = default;
  LogStream(const LogStream&) = delete;
  LogStream& operator=(const LogStream&) = delete;

  LogStream& operator<<(bool v) {
    buffer_.append(v ? "1" : "0", 1);
    return *this;
  }

  LogStream& operator<<(short);
  LogStream& operator<<(unsigned short);
  LogStream& operator<<(int);
  LogStream& operator<<(unsigned int);
  LogStream& operator<<(long);
  LogStream& operator<<(unsigned long);
  LogStream& operator<<(long long);
  LogStream& operator<<(unsigned long long);

  LogStream& operator<<(const void*);

  LogStream& operator<<(float v) { return *this << static_cast<double>(v); }
  LogStream& operator<<(double);

  LogStream& operator<<(char v) {
    buffer_.append(&v, 1);
    return *this;
  }
  LogStream& operator<<(const char* str) {
    if (str) {
      buffer_.append(str, strlen(str));
    } else {
      buffer_.append("(null)", 6);
    }
    return *this;
  }
  LogStream& operator<<(const unsigned char* str) {
    return operator<<(reinterpret_cast<const char*>(str));
  }
  LogStream& operator<<(const std::string& v) {
    buffer_.append(v.data(), v.size());
    return *this;
  }
  LogStream& operator<<(std::string_view v) {
    buffer_.append(v.data(), v.size());
    return *this;
  }
  LogStream& operator<<(const Buffer& v) {
    buffer_.append(v.data(), v.length());
    return *this;
  }
  LogStream& operator<<(const Fmt& fmt);

  void append(const char* data, int len) { buffer_.append(data, len); }
  const Buffer& buffer() const { return buffer_; }
  void resetBuffer() { buffer_.reset(); }
  // Drops everything after the first `len` bytes.
  void truncate(int len) { buffer_.truncate(len); }

  // Room a number needs; with less left the number is dropped whole.
  static const int kMaxNumericSize = 32;

 private:
  template <typename T>
  void formatInteger(T);

  Buffer buffer_;
};

// One value formatted with a caller's printf format into 32 bytes.
class Fmt {
 public:
  template <typename T>
  Fmt(const char* fmt, T val);

  const char* data() const { return buf_; }
  int length() const { return length_; }

 private:
  char buf_[32];
  int length_;
};

inline LogStream& LogStream::operator<<(const Fmt& fmt) {
  buffer_.append(fmt.data(), fmt.length());
  return *this;
}

}  // namespace plinth

#endif  // TARN_BASE_LOG_STREAM_H_
