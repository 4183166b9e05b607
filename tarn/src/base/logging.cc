#include "tarn/base/logging.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "tarn/base/current_thread.h"
#include "tarn/base/time_zone.h"

namespace plinth {

__thread char t_errnobuf[512];
__thread char t_time[128];
__thread time_t t_lastSecond;

const char* strerror_tl(int savedErrno) {
  // The GNU strerror_r may return a static string instead of filling ours.
  return strerror_r(savedErrno, t_errnobuf, sizeof t_errnobuf);
}

int initLogLevelAndTimezone() {
  // Every local time of the process is UTC+8, whatever the host says.
  ::setenv("TZ", "GMT-8", 1);
  ::tzset();
  return Logger::INFO;
}

void defaultOutput(const char* msg, int len) {
  size_t n = fwrite(msg, 1, len, stdout);
  (void)n;
}

void defaultFlush() { fflush(stdout); }

const char* const LogLevelName[Logger::NUM_LOG_LEVELS] = {
    "TRACE ", "DEBUG ", "INFO  ", "WARN  ", "ERROR ", "FATAL ",
};

const std::map<std::string, int> log_level_map = {
    {"trace", Logger::TRACE}, {"debug", Logger::DEBUG}, {"info", Logger::INFO},
    {"warning", Logger::WARN}, {"error", Logger::ERROR}, {"fatal", Logger::FATAL},
};

std::atomic<int> g_logLevel{Logger::INFO};
std::atomic<Logger::OutputFunc> g_output{&defaultOutput};
std::atomic<Logger::FlushFunc> g_flush{&defaultFlush};

namespace {

struct LoadTimeInit {
  LoadTimeInit() { g_logLevel.store(initLogLevelAndTimezone()); }
};
LoadTimeInit g_loadTimeInit;

// The optional zone of the time stamp. The flag keeps the common case (no
// zone) to one relaxed load per line.
std::atomic<bool> g_hasLogTimeZone{false};
std::shared_ptr<const TimeZone> g_logTimeZone;

const int kDateTimeLength = 17;  // "YYYYMMDD HH:MM:SS"

// Put where a message was cut to make room for the end of its line.
const char kCutMark[] = "...";
const int kCutMarkLength = sizeof(kCutMark) - 1;

}  // namespace

Logger::Impl::Impl(kLogLevel level, int savedErrno, const SourceFile& file, int line)
    : time_(Timestamp::now()), stream_(), level_(level), line_(line), basename_(file) {
  formatTime();
  CurrentThread::tid();
  stream_.append(CurrentThread::tidString(), CurrentThread::tidStringLength());
  stream_.append(LogLevelName[level], 6);
  if (savedErrno >= 0) {
    stream_ << strerror_tl(savedErrno) << " (errno=" << savedErrno << ") ";
  }
}

void Logger::Impl::formatTime() {
  int64_t microSecondsSinceEpoch = time_.microSecondsSinceEpoch();
  time_t seconds = static_cast<time_t>(microSecondsSinceEpoch / Timestamp::kMicroSecondsPerSecond);
  int microseconds = static_cast<int>(microSecondsSinceEpoch % Timestamp::kMicroSecondsPerSecond);
  std::shared_ptr<const TimeZone> zone;
  if (g_hasLogTimeZone.load(std::memory_order_acquire)) zone = std::atomic_load(&g_logTimeZone);
  if (seconds != t_lastSecond) {
    t_lastSecond = seconds;
    struct tm tm_time;
    if (zone) {
      tm_time = zone->toLocalTime(seconds);
    } else {
      ::localtime_r(&seconds, &tm_time);
    }
    int len = snprintf(t_time, sizeof t_time, "%4d%02d%02d %02d:%02d:%02d",
                       tm_time.tm_year + 1900, tm_time.tm_mon + 1, tm_time.tm_mday,
                       tm_time.tm_hour, tm_time.tm_min, tm_time.tm_sec);
    (void)len;
  }
  stream_.append(t_time, kDateTimeLength);
  if (zone) {
    stream_ << Fmt(".%06d ", microseconds);
  } else {
    stream_ << Fmt(".%06dZ ", microseconds);
  }
}

void Logger::Impl::finish() {
  // A message that leaves no room for the suffix loses its end instead, so
  // that every line ends with its source position and newline and the next
  // line never runs into it.
  // " - ", the file name, ':' and the room the stream asks for a number
  // (the newline fits in what the number leaves).
  const int suffix = 3 + basename_.size_ + 1 + LogStream::kMaxNumericSize;
  if (stream_.buffer().avail() < suffix) {
    const int keep = LogStream::Buffer::capacity() - suffix - kCutMarkLength;
    stream_.truncate(keep > 0 ? keep : 0);
    stream_.append(kCutMark, kCutMarkLength);
  }
  stream_ << " - ";
  stream_.append(basename_.data_, basename_.size_);
  stream_ << ':' << line_ << '\n';
}

Logger::Logger(SourceFile file, int line) : impl_(INFO, -1, file, line) {}

Logger::Logger(SourceFile file, int line, kLogLevel level, const char* func)
    : impl_(level, -1, file, line) {
  impl_.stream_ << func << ' ';
}

Logger::Logger(SourceFile file, int line, kLogLevel level) : impl_(level, -1, file, line) {}

Logger::Logger(SourceFile file, int line, bool toAbort)
    : impl_(toAbort ? FATAL : ERROR, errno, file, line) {}

Logger::~Logger() {
  impl_.finish();
  const LogStream::Buffer& buf(stream().buffer());
  g_output.load(std::memory_order_acquire)(buf.data(), buf.length());
  if (impl_.level_ == FATAL) {
    g_flush.load(std::memory_order_acquire)();
    ::usleep(100 * 1000);  // the asynchronous writer's chance to reach the disk
    exit(1);
  }
}

void Logger::setLogLevel(kLogLevel level) { g_logLevel.store(level); }

void Logger::setLogLevel(const std::string& name) {
  auto it = log_level_map.find(name);
  if (it != log_level_map.end()) g_logLevel.store(it->second);
}

void Logger::setOutput(OutputFunc out) { g_output.store(out ? out : &defaultOutput); }

void Logger::setFlush(FlushFunc flush) { g_flush.store(flush ? flush : &defaultFlush); }

void Logger::setTimeZone(const TimeZone& tz) {
  std::atomic_store(&g_logTimeZone, std::shared_ptr<const TimeZone>(std::make_shared<TimeZone>(tz)));
  g_hasLogTimeZone.store(true, std::memory_order_release);
}

}  // namespace plinth
