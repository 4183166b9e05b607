#include "support/worker.h"

#include <cstdio>
#include <cstdlib>

#include "tarn/event/event_loop.h"
#include "tarn/event/libevent_driver.h"
#include "tarn/loop.h"

namespace testsupport {

bool RunSync(tarn::Worker* worker, const std::function<void()>& fn) {
  return worker != nullptr && worker->loop()->RunInLoop(fn, false) == 0;
}

WorkerOnThread::WorkerOnThread(const std::string& name, const tarn::WorkerOption& option)
    : thread_(new tarn::WorkerThread(name, nullptr, option, false)) {
  worker_ = static_cast<tarn::EventWorker*>(thread_->Start());
}

WorkerOnThread::~WorkerOnThread() { Stop(); }

void WorkerOnThread::Stop() {
  // A stopped loop refuses the stop request a second Stop would post.
  if (stopped_) return;
  stopped_ = true;
  thread_->Stop();
}

tarn::EventWorker* NewWorkerOnThisThread(const tarn::WorkerOption& option) {
  auto* worker = new tarn::EventWorker(0, option, nullptr);
  if (worker->Init() != 0) {
    fprintf(stderr, "cannot initialise a worker on this thread\n");
    abort();
  }
  return worker;
}

void RunPass(tarn::EventWorker* worker) {
  tarn::EventLoop* loop = worker->event_loop();
  loop->DoPendingTasks();
  loop->driver()->Start();
  loop->DoPendingTasks();
  loop->RunPassEnd();
}

}  // namespace testsupport
