// Small file helpers: an append-only log file, whole-file reads of small
// files and the free space of a file system.
#ifndef TARN_BASE_FILE_UTIL_H_
#define TARN_BASE_FILE_UTIL_H_

#include <sys/types.h>

#include <cstdint>
#include <cstdio>
#include <string>

namespace plinth {
namespace FileUtil {

// Reads a small file whole. Not thread-safe.
class ReadSmallFile {
 public:
  static const int kBufferSize = 64 * 1024;

  explicit ReadSmallFile(const std::string& filename);
  ~ReadSmallFile();
  ReadSmallFile(const ReadSmallFile&) = delete;
  ReadSmallFile& operator=(const ReadSmallFile&) = delete;

  // Reads up to maxSize bytes; the sizes and times are filled when asked.
  // Returns 0 or an errno value.
  template <typename String>
  int readToString(int maxSize, String* content, int64_t* fileSize, int64_t* modifyTime,
                   int64_t* createTime);

  // One read of at most kBufferSize - 1 bytes into buffer(), NUL-terminated.
  int readToBuffer(int* size);
  const char* buffer() const { return buf_; }

 private:
  int fd_;
  int err_;
  char buf_[kBufferSize];
};

template <typename String>
int readFile(const std::string& filename, int maxSize, String* content,
             int64_t* fileSize = nullptr, int64_t* modifyTime = nullptr,
             int64_t* createTime = nullptr) {
  ReadSmallFile file(filename);
  return file.readToString(maxSize, content, fileSize, modifyTime, createTime);
}

// Appends to a file through a 64 KiB stdio buffer. Not thread-safe: its
// owner serialises it. When the open fails the object stays usable and
// drops what it is given (isOpen() tells).
class AppendFile {
 public:
  explicit AppendFile(const std::string& filename);
  ~AppendFile();
  AppendFile(const AppendFile&) = delete;
  AppendFile& operator=(const AppendFile&) = delete;

  void append(const char* logline, size_t len);
  void flush();

  bool isOpen() const { return fp_ != nullptr; }
  int fd() const { return fp_ ? fileno(fp_) : -1; }
  // Bytes given to append(), written or not, plus DummyIncWrittenBytes().
  uint64_t writtenBytes() const { return writtenBytes_; }
  void DummyIncWrittenBytes(uint64_t n) { writtenBytes_ += n; }

 private:
  size_t write(const char* logline, size_t len);

  FILE* fp_;
  char buffer_[64 * 1024];
  uint64_t writtenBytes_;
};

// Free bytes for unprivileged users on the file system of path; the largest
// uint64_t when statvfs fails.
uint64_t GetAvailableSpace(const char* path);

}  // namespace FileUtil
}  // namespace plinth

#endif  // TARN_BASE_FILE_UTIL_H_
