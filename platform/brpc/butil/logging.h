// The host logging library's FATAL line and CHECK (stand-in).
//
//   LOG(FATAL) << "Check failed: 0. ";
//   CHECK(len <= kMax) << "too long";
//
// A FATAL line goes to the framework's log at ERROR level (the framework's
// own FATAL always ends the process) and ends the process only when
// `crash_on_fatal_log` is set; otherwise the caller goes on. CHECK(cond) writes "Check failed: cond. " and what follows
// at FATAL severity when cond is false.
#ifndef PLATFORM_BUTIL_LOGGING_H
#define PLATFORM_BUTIL_LOGGING_H

#include <atomic>
#include <cstdint>
#include <sstream>

namespace logging {

// Ends the process after a FATAL line when true. Off until the host (or the
// driver's configuration) sets it.
extern std::atomic<bool> crash_on_fatal_log;

// Number of FATAL lines written so far (for tests).
uint64_t fatal_line_count();

class FatalMessage {
 public:
  FatalMessage(const char* file, int line);
  ~FatalMessage();  // writes the line; ends the process when asked to
  std::ostream& stream() { return os_; }

 private:
  const char* file_;
  int line_;
  std::ostringstream os_;
};

// Swallows the stream of a CHECK that passed.
struct Voidify {
  void operator&(std::ostream&) {}
};

}  // namespace logging

#define LOG_BUTIL_FATAL ::logging::FatalMessage(__FILE__, __LINE__).stream()
#ifndef LOG
#define LOG(severity) LOG_BUTIL_##severity
#endif
#define CHECK(cond) \
  (cond) ? (void)0  \
         : ::logging::Voidify() & ::logging::FatalMessage(__FILE__, __LINE__).stream() << "Check failed: " #cond ". "

#endif  // PLATFORM_BUTIL_LOGGING_H
