#include "tarn/lib_init.h"

#include <numa.h>
#include <signal.h>
#include <stdlib.h>

#include "brpc/server.h"
#include "tarn/base/async_logging.h"
#include "tarn/base/logging.h"
#include "tarn/event/event_worker.h"
#include "tarn/event/libevent_log.h"
#include "tarn/polling/spdk_rte.h"

namespace tarn {

std::mutex g_init_mutex;
bool g_lib_inited = false;
plinth::AsyncLogging* g_async_log = nullptr;
EventWorker* g_app_worker = nullptr;

namespace {

// The longest a flush of the log file holds its caller (shut-down, a FATAL
// line, process exit) when the disk does not take the lines: a local disk
// takes a pass's few blocks in milliseconds.
constexpr int kLogFlushWaitMs = 5000;

void AsyncOutput(const char* msg, int len) { g_async_log->append(msg, len); }
// The lines logged so far reach the file before the caller goes on: a FATAL
// line's caller then ends the process.
void AsyncFlush() { g_async_log->flush(kLogFlushWaitMs); }
// At a normal exit the writer thread still runs (it is never stopped) and
// writes what is queued, the last second's lines included.
void FlushAtExit() { g_async_log->flush(kLogFlushWaitMs); }

void StartLogFile(const LibOption& option) {
  // The writer runs until the process ends, so it is never deleted.
  g_async_log = new plinth::AsyncLogging(option.log_file, option.log_roll_size * 1048576,
                                         /*flushInterval=*/1, /*notifyPerLine=*/false,
                                         /*redirect=*/true);
  g_async_log->start();
  plinth::Logger::setOutput(AsyncOutput);
  plinth::Logger::setFlush(AsyncFlush);
  atexit(FlushAtExit);
}

void StartMetrics(const LibOption& option) {
  g_enable_metrics = true;
  if (option.metrics_port <= 0) return;
  int rc = brpc::StartDummyServerAt(option.metrics_port);
  if (rc != 0) {
    LOG_ERROR << "start metrics server failed, port: " << option.metrics_port << ", rc: " << rc;
  } else {
    LOG_INFO << "metrics server started, port: " << option.metrics_port;
  }
}

}  // namespace

void LibInit(const LibOption& option) {
  std::lock_guard<std::mutex> guard(g_init_mutex);
  if (g_lib_inited) return;

  signal(SIGPIPE, SIG_IGN);
  plinth::Logger::setLogLevel(option.log_level);
  if (!option.log_file.empty()) StartLogFile(option);
  RouteLibeventLogs();  // before the metrics server's loop can say anything
  if (option.enable_metrics) StartMetrics(option);

  g_numa_id = option.numa_id;
  int max_node = numa_available() < 0 ? 0 : numa_max_node();
  if (g_numa_id > max_node) {
    LOG_FATAL << "numa id error, max numa id: " << max_node;
  }
  if (option.init_spdk_env) SpdkRte::Init(option);
  g_lib_inited = true;
}

void FlushLog() { plinth::g_flush.load(std::memory_order_acquire)(); }

void AppInit() {
  std::lock_guard<std::mutex> guard(g_init_mutex);
  if (g_app_worker != nullptr) return;
  WorkerOption option;
  auto* worker = new EventWorker(0, option, nullptr);
  if (worker->Init() != 0) {
    // Its ERROR lines said why; callers find no application worker.
    LOG_ERROR << "application worker not started";
    delete worker;
    return;
  }
  g_app_worker = worker;
}

void AppRunUntilAskedToQuit(const std::string& name) {
  EventWorker* worker;
  {
    std::lock_guard<std::mutex> guard(g_init_mutex);
    worker = g_app_worker;
  }
  if (worker == nullptr) {
    LOG_ERROR << "application worker not initialised, call AppInit first";
    return;
  }
  worker->Start(name);
}

}  // namespace tarn
