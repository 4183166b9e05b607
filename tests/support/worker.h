// Workers for tests and benchmarks: one running on a thread of its own, or
// one bound to the calling thread whose loop the caller turns by hand.
//
// A worker's loop, pools and connections belong to its thread, so a test
// reaches into them with RunSync, which runs a function there and waits.
#ifndef TESTS_SUPPORT_WORKER_H_
#define TESTS_SUPPORT_WORKER_H_

#include <functional>
#include <memory>
#include <string>

#include "tarn/event/event_worker.h"
#include "tarn/types.h"
#include "tarn/worker.h"
#include "tarn/worker_thread.h"

namespace testsupport {

// Runs fn on worker's loop thread and waits until it has run (at once when
// called there). False when the loop refused it (stopping or stopped).
bool RunSync(tarn::Worker* worker, const std::function<void()>& fn);

// An event worker started on a thread of its own for the life of this
// object; the destructor stops the loop and joins the thread.
class WorkerOnThread {
 public:
  explicit WorkerOnThread(const std::string& name,
                          const tarn::WorkerOption& option = tarn::WorkerOption());
  ~WorkerOnThread();
  WorkerOnThread(const WorkerOnThread&) = delete;
  WorkerOnThread& operator=(const WorkerOnThread&) = delete;

  // The running worker; null only if it failed to start.
  tarn::EventWorker* worker() const { return worker_; }
  bool RunSync(const std::function<void()>& fn) const {
    return testsupport::RunSync(worker_, fn);
  }
  // Stops the loop and joins the thread, once (the destructor does it
  // otherwise).
  void Stop();

 private:
  std::unique_ptr<tarn::WorkerThread> thread_;
  tarn::EventWorker* worker_ = nullptr;
  bool stopped_ = false;
};

// A new event worker initialised on the calling thread, which becomes its
// loop thread; nothing runs its loop but RunPass. Ends the process when the
// worker cannot be initialised. The caller owns it (benchmarks and fuzz
// targets keep it for the life of the process).
tarn::EventWorker* NewWorkerOnThisThread(const tarn::WorkerOption& option);

// One turn of a hand-driven worker's loop: queued tasks, one non-blocking
// pass over its events, the tasks that queued, then the end-of-pass work.
// With option.busy_poll set the pass never sleeps.
void RunPass(tarn::EventWorker* worker);

}  // namespace testsupport

#endif  // TESTS_SUPPORT_WORKER_H_
