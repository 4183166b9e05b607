// Rate limits for log lines that something outside the process can repeat
// at will (a peer's malformed frames, a failing descriptor): each kind of
// line is written a few times per interval, the rest are held back, and the
// first line of that kind in a later interval says how many were.
//
//   LOG_ERROR_LIMITED << "Fail to find stream_id=" << id;
//
// writes, under a flood, a few lines a second per statement, the next one
// ending in " (N more like it held back)". Each statement is its own kind.
#ifndef TARN_BASE_LOG_LIMIT_H_
#define TARN_BASE_LOG_LIMIT_H_

#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>

#include "tarn/base/logging.h"

namespace plinth {

// One kind's admission window. Not thread-safe.
class LogWindow {
 public:
  // True when a line may be written at now_us (microseconds of a steady
  // clock; only differences are used): the first `burst` lines of an
  // interval are. *held_back is then how many were held back before it.
  bool Admit(int64_t now_us, int64_t interval_us, uint32_t burst, uint64_t* held_back);

 private:
  bool started_ = false;
  int64_t start_us_ = 0;
  uint32_t admitted_ = 0;
  uint64_t held_back_ = 0;
};

// Lets at most `burst` lines of each kind through per interval, kinds named
// by text. Not thread-safe: the caller serialises.
class LogRateLimiter {
 public:
  static constexpr int64_t kIntervalUs = 1000000;
  // Kinds remembered at most; past this the memory of earlier ones is
  // dropped (their next line is then let through at once).
  static constexpr size_t kMaxKinds = 64;

  explicit LogRateLimiter(uint32_t burst = 1) : burst_(burst) {}

  bool Admit(const std::string& kind, int64_t now_us, uint64_t* held_back);

 private:
  uint32_t burst_;
  std::unordered_map<std::string, LogWindow> kinds_;
};

// The limit of one log statement; any thread.
class LogSiteLimiter {
 public:
  // Lines of one statement written per interval before the rest are held.
  static constexpr uint32_t kBurst = 5;

  bool Admit(uint64_t* held_back);

 private:
  std::mutex mutex_;
  LogWindow window_;
};

// One admitted line; appends the held-back count before the line ends.
class LimitedLogLine {
 public:
  LimitedLogLine(Logger::SourceFile file, int line, Logger::kLogLevel level, uint64_t held_back)
      : logger_(file, line, level), held_back_(held_back) {}
  ~LimitedLogLine();
  LogStream& stream() { return logger_.stream(); }

 private:
  Logger logger_;
  uint64_t held_back_;
};

}  // namespace plinth

// Each expansion has its own limiter (a static of its own lambda). The level
// is checked first, so suppressed lines neither count nor evaluate. A loop
// of at most one turn rather than an if: safe inside the caller's unbraced
// if/else.
#define TARN_LOG_LIMITED(level)                                                        \
  for (uint64_t tarn_held_back_ = 0,                                                   \
                tarn_write_ = plinth::Logger::logLevel() <= (level) &&                 \
                              []() -> plinth::LogSiteLimiter& {                        \
                                static plinth::LogSiteLimiter site;                    \
                                return site;                                           \
                              }().Admit(&tarn_held_back_);                             \
       tarn_write_; tarn_write_ = 0)                                                   \
  plinth::LimitedLogLine(__FILE__, __LINE__, (level), tarn_held_back_).stream()

#define LOG_INFO_LIMITED TARN_LOG_LIMITED(plinth::Logger::INFO)
#define LOG_WARN_LIMITED TARN_LOG_LIMITED(plinth::Logger::WARN)
#define LOG_ERROR_LIMITED TARN_LOG_LIMITED(plinth::Logger::ERROR)

#endif  // TARN_BASE_LOG_LIMIT_H_
