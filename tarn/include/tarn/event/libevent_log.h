// libevent's own diagnostics (about sockets, the event backend, HTTP
// parsing) as lines of the system's log instead of text on standard error.
//
// A condition that repeats at full speed (a failing accept, a broken
// descriptor) could otherwise write thousands of identical lines a second:
// each kind of message is written at most once a second, and the next line
// of that kind says how many were held back in between.
#ifndef TARN_EVENT_LIBEVENT_LOG_H_
#define TARN_EVENT_LIBEVENT_LOG_H_

#include <string>

#include "tarn/base/log_limit.h"

namespace tarn {

// Routes libevent's messages into the log for the whole process. Every event
// loop and library start-up call it; only the first call acts.
void RouteLibeventLogs();

// The kind of a message: its text with every run of digits replaced by '#',
// so that messages differing only in numbers (descriptors, counts) share it.
std::string LogMessageKind(const char* msg);

// The rate limit of the log's own (plinth), one line per kind per interval.
using LogRateLimiter = plinth::LogRateLimiter;

}  // namespace tarn

#endif  // TARN_EVENT_LIBEVENT_LOG_H_
