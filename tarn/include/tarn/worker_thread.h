// One worker on its own thread, outside any colony.
//
// Start() starts the thread, waits until the worker is initialised there and
// returns it; the thread then runs the worker's loop until Stop().
#ifndef TARN_WORKER_THREAD_H_
#define TARN_WORKER_THREAD_H_

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "tarn/loop.h"
#include "tarn/types.h"

namespace tarn {

class Worker;

class WorkerThread {
 public:
  // `polling` false hosts an EventWorker, true a PollingWorker (whose
  // thread spins until Stop()).
  WorkerThread(const std::string& name, const Loop::UserHandleFactory& create,
               const WorkerOption& option, bool polling);
  // Stops a worker still running, then deletes it.
  ~WorkerThread();
  WorkerThread(const WorkerThread&) = delete;
  WorkerThread& operator=(const WorkerThread&) = delete;

  // The running worker, or null after ERROR lines when its Init failed
  // (the thread has then ended, and Start may be tried again); a second
  // Start of a running worker ends the process.
  Worker* Start();
  // Stops the worker's loop and joins the thread.
  void Stop();

 private:
  void ThreadBody();

  std::string name_;
  Loop::UserHandleFactory create_;
  WorkerOption option_;
  bool polling_;
  Worker* worker_ = nullptr;  // published under mutex_
  bool failed_ = false;       // under mutex_
  std::mutex mutex_;
  std::condition_variable cond_;
  std::thread thread_;
};

}  // namespace tarn

#endif  // TARN_WORKER_THREAD_H_
