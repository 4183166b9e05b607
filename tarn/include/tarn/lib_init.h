// Process-wide start-up of the library and the process-wide application
// worker.
//
//   tarn::LibOption opt;
//   opt.log_file = "/var/log/orla/pyxdriver";
//   tarn::LibInit(opt);             // once, before any worker colony
//
//   // on the thread that is to run the application worker:
//   tarn::AppInit();
//   tarn::AppRunUntilAskedToQuit("app");   // returns when the worker stops
//
// Both start-up functions act once per process and may be called from racing
// threads; nothing undoes them.
#ifndef TARN_LIB_INIT_H_
#define TARN_LIB_INIT_H_

#include <mutex>
#include <string>

#include "tarn/types.h"

namespace plinth {
class AsyncLogging;
}

namespace tarn {

class EventWorker;

extern std::mutex g_init_mutex;
extern bool g_lib_inited;
extern plinth::AsyncLogging* g_async_log;
extern EventWorker* g_app_worker;

// Ignores SIGPIPE, sets the log level, starts the rolling log file (standard
// output and error then point into it), the metrics switch and server, the
// NUMA node and, when asked, the SPDK environment. A second call changes
// nothing. A NUMA node above the highest one ends the process; a metrics
// server or SPDK start that fails is logged and start-up goes on. With a log
// file, a normal process exit writes the lines still queued (waiting for the
// writer at most 5 s).
void LibInit(const LibOption& option);

// Returns once every line logged before the call is written: in the log
// file (waiting for its writer at most 5 s), or on standard output. Once a
// wait has run out, later flushes (a FATAL line's, the one at exit) return
// at once while the writer stays stuck, so the whole way out of the process
// waits at most 5 s for the log.
void FlushLog();

// Creates the application worker and initialises it on the calling thread,
// which becomes its loop's thread. Later calls do nothing. When the worker
// cannot be initialised (ERROR lines say why), g_app_worker stays null.
void AppInit();

// Runs the application worker's loop on the calling thread (the one that
// called AppInit) until the worker is stopped.
void AppRunUntilAskedToQuit(const std::string& name);

}  // namespace tarn

#endif  // TARN_LIB_INIT_H_
