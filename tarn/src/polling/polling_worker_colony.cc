#include "tarn/polling/polling_worker_colony.h"

#include "tarn/polling/polling_worker.h"

namespace tarn {

PollingWorkerColony::PollingWorkerColony(uint32_t worker_num, const WorkerOption& option,
                                         const Loop::UserHandleFactory& create)
    : WorkerColony(worker_num, option) {
  for (uint32_t i = 0; i < worker_num_; ++i) {
    workers_.push_back(new PollingWorker(i, create, option_));
  }
}

}  // namespace tarn
