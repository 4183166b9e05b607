// The framework's log lines, caught for a test to read.
#ifndef TESTS_SUPPORT_LOG_CAPTURE_H_
#define TESTS_SUPPORT_LOG_CAPTURE_H_

#include <string>

#include "tarn/base/logging.h"

namespace testsupport {

// While alive, every log line goes into this capture instead of its usual
// output; the destructor puts the previous output back. One at a time.
class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  // Everything logged so far.
  std::string text() const;
  // Forgets what was caught so far.
  void Clear();
  // Waits up to timeout_s for needle to appear in the caught text.
  bool WaitForText(const std::string& needle, double timeout_s = 30.0) const;
  // The first whole line holding needle, without its newline; empty when
  // none does.
  std::string LineWith(const std::string& needle) const;

 private:
  plinth::Logger::OutputFunc previous_;
};

// Sends log lines to standard error, where death tests look for them
// (they go to standard output by default).
void SendLogsToStderr();

}  // namespace testsupport

#endif  // TESTS_SUPPORT_LOG_CAPTURE_H_
