// The host logging library's FATAL line, written through the framework's
// logger. This file is compiled into the framework library (it needs the
// framework's logger), not into the platform library.
#include "butil/logging.h"

#include <stdlib.h>
#include <unistd.h>

#include "tarn/base/logging.h"

namespace logging {

std::atomic<bool> crash_on_fatal_log{false};

namespace {
std::atomic<uint64_t> g_fatal_lines{0};
}  // namespace

uint64_t fatal_line_count() { return g_fatal_lines.load(std::memory_order_relaxed); }

FatalMessage::FatalMessage(const char* file, int line) : file_(file), line_(line) {}

FatalMessage::~FatalMessage() {
  {
    // The framework's FATAL level always ends the process; ours ends it only
    // when asked to, so the line goes out at ERROR.
    plinth::Logger out(plinth::Logger::SourceFile(file_), line_, plinth::Logger::ERROR);
    out.stream() << os_.str();
  }
  g_fatal_lines.fetch_add(1, std::memory_order_relaxed);
  if (crash_on_fatal_log.load(std::memory_order_relaxed)) {
    plinth::g_flush.load(std::memory_order_acquire)();
    ::usleep(100 * 1000);  // the asynchronous writer's chance to reach the disk
    abort();
  }
}

}  // namespace logging
