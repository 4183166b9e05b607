#include "tarn/base/exception.h"

#include <execinfo.h>

#include <cstdlib>

namespace plinth {

Exception::Exception(const char* msg) : message_(msg ? msg : "") { fillStackTrace(); }

Exception::Exception(const std::string& msg) : message_(msg) { fillStackTrace(); }

void Exception::fillStackTrace() {
  const int kMaxFrames = 200;
  void* buffer[kMaxFrames];
  int nptrs = ::backtrace(buffer, kMaxFrames);
  char** strings = ::backtrace_symbols(buffer, nptrs);
  if (strings) {
    for (int i = 0; i < nptrs; ++i) {
      stack_.append(strings[i]);
      stack_.push_back('\n');
    }
    free(strings);
  }
}

}  // namespace plinth
