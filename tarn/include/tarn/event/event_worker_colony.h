// A worker colony of event workers (indexes 0 .. worker_num - 1), each with a
// copy of the option and of the user-handle factory.
#ifndef TARN_EVENT_EVENT_WORKER_COLONY_H_
#define TARN_EVENT_EVENT_WORKER_COLONY_H_

#include <cstdint>

#include "tarn/loop.h"
#include "tarn/worker_colony.h"

namespace tarn {

class EventWorkerColony : public WorkerColony {
 public:
  EventWorkerColony(uint32_t worker_num, const WorkerOption& option,
                    const Loop::UserHandleFactory& create);
};

}  // namespace tarn

#endif  // TARN_EVENT_EVENT_WORKER_COLONY_H_
