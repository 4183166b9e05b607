#include "tarn/base/file_util.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <limits>

#include "tarn/base/logging.h"

namespace plinth {
namespace FileUtil {

AppendFile::AppendFile(const std::string& filename)
    : fp_(::fopen(filename.c_str(), "ae")), writtenBytes_(0) {
  if (fp_) {
    ::setbuffer(fp_, buffer_, sizeof buffer_);
  } else {
    printf("log directory is not exist!\n");
  }
}

AppendFile::~AppendFile() {
  if (fp_) ::fclose(fp_);
}

void AppendFile::append(const char* logline, size_t len) {
  writtenBytes_ += len;
  if (!fp_) return;
  size_t written = 0;
  while (written != len) {
    size_t n = write(logline + written, len - written);
    if (n == 0) {
      if (ferror(fp_)) fprintf(stderr, "AppendFile::append() failed %s\n", strerror_tl(errno));
      break;
    }
    written += n;
  }
}

void AppendFile::flush() {
  if (fp_) ::fflush(fp_);
}

size_t AppendFile::write(const char* logline, size_t len) {
  return ::fwrite_unlocked(logline, 1, len, fp_);
}

ReadSmallFile::ReadSmallFile(const std::string& filename)
    : fd_(::open(filename.c_str(), O_RDONLY | O_CLOEXEC)), err_(0) {
  buf_[0] = '\0';
  if (fd_ < 0) err_ = errno;
}

ReadSmallFile::~ReadSmallFile() {
  if (fd_ >= 0) ::close(fd_);
}

template <typename String>
int ReadSmallFile::readToString(int maxSize, String* content, int64_t* fileSize,
                                int64_t* modifyTime, int64_t* createTime) {
  int err = err_;
  if (fd_ < 0) return err;
  content->clear();
  if (fileSize) {
    struct stat statbuf;
    if (::fstat(fd_, &statbuf) == 0) {
      if (S_ISREG(statbuf.st_mode)) {
        *fileSize = statbuf.st_size;
        content->reserve(static_cast<size_t>(
            std::min(static_cast<int64_t>(maxSize), static_cast<int64_t>(*fileSize))));
      } else if (S_ISDIR(statbuf.st_mode)) {
        err = EISDIR;
      }
      if (modifyTime) *modifyTime = statbuf.st_mtime;
      if (createTime) *createTime = statbuf.st_ctime;
    } else {
      err = errno;
    }
  }
  while (content->size() < static_cast<size_t>(maxSize)) {
    size_t toRead = std::min(static_cast<size_t>(maxSize) - content->size(), sizeof buf_);
    ssize_t n = ::read(fd_, buf_, toRead);
    if (n > 0) {
      content->append(buf_, n);
    } else {
      if (n < 0) {
        if (errno == EINTR) continue;
        err = errno;
      }
      break;
    }
  }
  return err;
}

int ReadSmallFile::readToBuffer(int* size) {
  int err = err_;
  if (fd_ >= 0) {
    ssize_t n = ::pread(fd_, buf_, sizeof(buf_) - 1, 0);
    if (n >= 0) {
      if (size) *size = static_cast<int>(n);
      buf_[n] = '\0';
    } else {
      err = errno;
    }
  }
  return err;
}

template int ReadSmallFile::readToString(int, std::string*, int64_t*, int64_t*, int64_t*);
template int readFile(const std::string&, int, std::string*, int64_t*, int64_t*, int64_t*);

uint64_t GetAvailableSpace(const char* path) {
  struct statvfs stat;
  if (::statvfs(path, &stat) != 0) return std::numeric_limits<uint64_t>::max();
  return static_cast<uint64_t>(stat.f_bsize) * stat.f_bavail;
}

}  // namespace FileUtil
}  // namespace plinth
