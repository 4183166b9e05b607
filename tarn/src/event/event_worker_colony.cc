#include "tarn/event/event_worker_colony.h"

#include "tarn/event/event_worker.h"

namespace tarn {

EventWorkerColony::EventWorkerColony(uint32_t worker_num, const WorkerOption& option,
                                     const Loop::UserHandleFactory& create)
    : WorkerColony(worker_num, option) {
  for (uint32_t i = 0; i < worker_num_; ++i) {
    workers_.push_back(new EventWorker(i, option_, create));
  }
}

}  // namespace tarn
