// Log lines and levels.
//
//   LOG_INFO << "connected to " << addr;
//   LOG_SYSERR << "open " << path;   // appends the errno text
//
// A line looks like
//   20240131 17:05:09.004211Z  4242 INFO  message - file.cc:42
// (local time, forced to UTC+8 at load). TRACE, DEBUG and INFO statements are
// evaluated only when the level lets them through; WARN and above always are.
// LOG_FATAL and LOG_SYSFATAL flush, pause 100 ms and end the process.
#ifndef TARN_BASE_LOGGING_H_
#define TARN_BASE_LOGGING_H_

#include <atomic>
#include <map>
#include <string>

#include "tarn/base/log_stream.h"
#include "tarn/base/timestamp.h"

namespace plinth {

class TimeZone;

class Logger {
 public:
  enum kLogLevel {
    TRACE = 0,
    DEBUG = 1,
    INFO = 2,
    WARN = 3,
    ERROR = 4,
    FATAL = 5,
    NUM_LOG_LEVELS,
  };

  // The base name of a source file, taken at compile time from __FILE__.
  class SourceFile {
   public:
    template <int N>
    SourceFile(const char (&arr)[N]) : data_(arr), size_(N - 1) {  // NOLINT
      const char* slash = strrchr(data_, '/');
      if (slash) {
        data_ = slash + 1;
        size_ -= static_cast<int>(data_ - arr);
      }
    }
    explicit SourceFile(const char* filename) : data_(filename) {
      const char* slash = strrchr(filename, '/');
      if (slash) data_ = slash + 1;
      size_ = static_cast<int>(strlen(data_));
    }

    const char* data_;
    int size_;
  };

  typedef void (*OutputFunc)(const char* msg, int len);
  typedef void (*FlushFunc)();

  Logger(SourceFile file, int line);
  Logger(SourceFile file, int line, kLogLevel level);
  Logger(SourceFile file, int line, kLogLevel level, const char* func);
  // A system-error line for the current errno: FATAL when toAbort, else ERROR.
  Logger(SourceFile file, int line, bool toAbort);
  ~Logger();
  Logger(const Logger&) = delete;
  Logger& operator=(const Logger&) = delete;

  LogStream& stream() { return impl_.stream_; }

  static kLogLevel logLevel();
  static void setLogLevel(kLogLevel level);
  // Exact names "trace", "debug", "info", "warning", "error", "fatal"; any
  // other name leaves the level as it is.
  static void setLogLevel(const std::string& name);
  static void setOutput(OutputFunc);
  static void setFlush(FlushFunc);
  static void setTimeZone(const TimeZone& tz);

 private:
  class Impl {
   public:
    Impl(kLogLevel level, int savedErrno, const SourceFile& file, int line);
    void formatTime();
    void finish();

    Timestamp time_;
    LogStream stream_;
    kLogLevel level_;
    int line_;
    SourceFile basename_;
  };

  Impl impl_;
};

// Six characters each: "TRACE ", "DEBUG ", "INFO  ", "WARN  ", "ERROR ", "FATAL ".
extern const char* const LogLevelName[Logger::NUM_LOG_LEVELS];
extern const std::map<std::string, int> log_level_map;

// Read by every logging thread, so all three are atomics.
extern std::atomic<int> g_logLevel;
extern std::atomic<Logger::OutputFunc> g_output;
extern std::atomic<Logger::FlushFunc> g_flush;

// Forces TZ to "GMT-8" and returns the default level; run once at load.
int initLogLevelAndTimezone();
void defaultOutput(const char* msg, int len);
void defaultFlush();

// Thread-safe strerror into a per-thread buffer.
const char* strerror_tl(int savedErrno);

inline Logger::kLogLevel Logger::logLevel() {
  return static_cast<kLogLevel>(g_logLevel.load(std::memory_order_relaxed));
}

}  // namespace plinth

// `if (!allowed) {} else ...` keeps the macros safe inside an unbraced
// if/else of the caller, and evaluates nothing of a suppressed statement.
#define LOG_TRACE                                                          \
  if (plinth::Logger::logLevel() > plinth::Logger::TRACE) {                \
  } else                                                                   \
    plinth::Logger(__FILE__, __LINE__, plinth::Logger::TRACE, __func__).stream()
#define LOG_DEBUG                                                          \
  if (plinth::Logger::logLevel() > plinth::Logger::DEBUG) {                \
  } else                                                                   \
    plinth::Logger(__FILE__, __LINE__, plinth::Logger::DEBUG, __func__).stream()
#define LOG_INFO                                                           \
  if (plinth::Logger::logLevel() > plinth::Logger::INFO) {                 \
  } else                                                                   \
    plinth::Logger(__FILE__, __LINE__).stream()
#define LOG_WARN plinth::Logger(__FILE__, __LINE__, plinth::Logger::WARN).stream()
#define LOG_ERROR plinth::Logger(__FILE__, __LINE__, plinth::Logger::ERROR).stream()
#define LOG_FATAL plinth::Logger(__FILE__, __LINE__, plinth::Logger::FATAL).stream()
#define LOG_SYSERR plinth::Logger(__FILE__, __LINE__, false).stream()
#define LOG_SYSFATAL plinth::Logger(__FILE__, __LINE__, true).stream()

#endif  // TARN_BASE_LOGGING_H_
