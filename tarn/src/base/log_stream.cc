#include "tarn/base/log_stream.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <type_traits>

namespace plinth {
namespace {

const char digits[] = "9876543210123456789";
const char* const zero = digits + 9;
const char digitsHex[] = "0123456789ABCDEF";

// Digits come out least significant first; indexing around the middle of
// `digits` handles negative remainders, so INT_MIN needs no special case.
template <typename T>
size_t convert(char buf[], T value) {
  T i = value;
  char* p = buf;
  do {
    int lsd = static_cast<int>(i % 10);
    i /= 10;
    *p++ = zero[lsd];
  } while (i != 0);
  if (value < 0) *p++ = '-';
  std::reverse(buf, p);
  return p - buf;
}

size_t convertHex(char buf[], uintptr_t value) {
  uintptr_t i = value;
  char* p = buf;
  do {
    *p++ = digitsHex[i % 16];
    i /= 16;
  } while (i != 0);
  std::reverse(buf, p);
  return p - buf;
}

}  // namespace

template <typename T>
void LogStream::formatInteger(T v) {
  if (buffer_.avail() >= kMaxNumericSize) {
    size_t len = convert(buffer_.current(), v);
    buffer_.add(len);
  }
}

LogStream& LogStream::operator<<(short v) {
  formatInteger(static_cast<int>(v));
  return *this;
}
LogStream& LogStream::operator<<(unsigned short v) {
  formatInteger(static_cast<unsigned int>(v));
  return *this;
}
LogStream& LogStream::operator<<(int v) {
  formatInteger(v);
  return *this;
}
LogStream& LogStream::operator<<(unsigned int v) {
  formatInteger(v);
  return *this;
}
LogStream& LogStream::operator<<(long v) {
  formatInteger(v);
  return *this;
}
LogStream& LogStream::operator<<(unsigned long v) {
  formatInteger(v);
  return *this;
}
LogStream& LogStream::operator<<(long long v) {
  formatInteger(v);
  return *this;
}
LogStream& LogStream::operator<<(unsigned long long v) {
  formatInteger(v);
  return *this;
}

LogStream& LogStream::operator<<(const void* p) {
  if (buffer_.avail() >= kMaxNumericSize) {
    char* buf = buffer_.current();
    buf[0] = '0';
    buf[1] = 'x';
    size_t len = convertHex(buf + 2, reinterpret_cast<uintptr_t>(p));
    buffer_.add(len + 2);
  }
  return *this;
}

LogStream& LogStream::operator<<(double v) {
  if (buffer_.avail() >= kMaxNumericSize) {
    int len = snprintf(buffer_.current(), kMaxNumericSize, "%.12g", v);
    if (len > 0) buffer_.add(std::min(len, kMaxNumericSize - 1));
  }
  return *this;
}

template <typename T>
Fmt::Fmt(const char* fmt, T val) {
  static_assert(std::is_arithmetic<T>::value, "Fmt takes numbers only");
  int len = snprintf(buf_, sizeof buf_, fmt, val);
  // snprintf reports the length it wanted, not what it kept.
  if (len < 0) len = 0;
  length_ = std::min(len, static_cast<int>(sizeof buf_) - 1);
}

template Fmt::Fmt(const char* fmt, char);
template Fmt::Fmt(const char* fmt, short);
template Fmt::Fmt(const char* fmt, unsigned short);
template Fmt::Fmt(const char* fmt, int);
template Fmt::Fmt(const char* fmt, unsigned int);
template Fmt::Fmt(const char* fmt, long);
template Fmt::Fmt(const char* fmt, unsigned long);
template Fmt::Fmt(const char* fmt, long long);
template Fmt::Fmt(const char* fmt, unsigned long long);
template Fmt::Fmt(const char* fmt, float);
template Fmt::Fmt(const char* fmt, double);

}  // namespace plinth
