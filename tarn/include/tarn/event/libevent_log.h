// libevent's own diagnostics (about sockets, the event backend, HTTP
// parsing) as lines of the system's log instead of text on standard error.
//
// A condition that repeats at full speed (a failing accept, a broken
// descriptor) could otherwise write thousands of identical lines a second:
// each kind of message is written at most once a second, and the next line
// of that kind says how many were held back in between.
#ifndef TARN_EVENT_LIBEVENT_LOG_H_
#define TARN_EVENT_LIBEVENT_LOG_H_

#include <cstdint>
#include <string>
#include <unordered_map>

namespace tarn {

// Routes libevent's messages into the log for the whole process. Every event
// loop and library start-up call it; only the first call acts.
void RouteLibeventLogs();

// The kind of a message: its text with every run of digits replaced by '#',
// so that messages differing only in numbers (descriptors, counts) share it.
std::string LogMessageKind(const char* msg);

// Lets at most one line of each kind through per interval. Not thread-safe:
// the caller serialises.
class LogRateLimiter {
 public:
  static constexpr int64_t kIntervalUs = 1000000;
  // Kinds remembered at most; past this the memory of earlier ones is
  // dropped (their next line is then let through at once).
  static constexpr size_t kMaxKinds = 64;

  // True when a line of `kind` may be written at now_us (microseconds of a
  // steady clock); then *held_back is how many lines of that kind were held
  // back since the last one let through.
  bool Admit(const std::string& kind, int64_t now_us, uint64_t* held_back);

 private:
  struct Kind {
    int64_t last_us = 0;
    uint64_t held_back = 0;
  };
  std::unordered_map<std::string, Kind> kinds_;
};

}  // namespace tarn

#endif  // TARN_EVENT_LIBEVENT_LOG_H_
