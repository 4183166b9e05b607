#include "tarn/event/libevent_log.h"

#include <event2/event.h>

#include <cctype>
#include <chrono>
#include <mutex>

#include "tarn/base/logging.h"

namespace tarn {

namespace {

std::mutex g_mutex;
LogRateLimiter* g_limiter = nullptr;  // under g_mutex; lives until exit

int64_t NowUs() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

plinth::Logger::kLogLevel LevelOf(int severity) {
  switch (severity) {
    case EVENT_LOG_DEBUG:
      return plinth::Logger::DEBUG;
    case EVENT_LOG_MSG:
      return plinth::Logger::INFO;
    case EVENT_LOG_WARN:
      return plinth::Logger::WARN;
    default:
      return plinth::Logger::ERROR;
  }
}

// libevent calls this from whichever thread runs into the condition; it must
// not call back into libevent.
void OnLibeventMessage(int severity, const char* msg) {
  const plinth::Logger::kLogLevel level = LevelOf(severity);
  if (msg == nullptr || plinth::Logger::logLevel() > level) return;
  uint64_t held_back = 0;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (!g_limiter->Admit(LogMessageKind(msg), NowUs(), &held_back)) return;
  }
  plinth::LimitedLogLine line(__FILE__, __LINE__, level, held_back);
  line.stream() << "libevent: " << msg;
}

}  // namespace

void RouteLibeventLogs() {
  static std::once_flag once;
  std::call_once(once, [] {
    {
      std::lock_guard<std::mutex> lock(g_mutex);
      g_limiter = new LogRateLimiter;
    }
    event_set_log_callback(OnLibeventMessage);
  });
}

std::string LogMessageKind(const char* msg) {
  std::string kind;
  for (const char* p = msg; *p != '\0'; ++p) {
    if (isdigit(static_cast<unsigned char>(*p))) {
      if (kind.empty() || kind.back() != '#') kind.push_back('#');
    } else {
      kind.push_back(*p);
    }
  }
  return kind;
}

}  // namespace tarn
