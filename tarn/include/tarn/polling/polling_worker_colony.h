// A worker colony of polling workers (indexes 0 .. worker_num - 1), each with
// a copy of the colony's option and of the user-handle factory.
//
// Every worker spins on its own thread, so a colony should have no more
// workers than the CPUs it may use (pin them with the option's core mask).
#ifndef TARN_POLLING_POLLING_WORKER_COLONY_H_
#define TARN_POLLING_POLLING_WORKER_COLONY_H_

#include <cstdint>

#include "tarn/loop.h"
#include "tarn/worker_colony.h"

namespace tarn {

class PollingWorkerColony : public WorkerColony {
 public:
  PollingWorkerColony(uint32_t worker_num, const WorkerOption& option,
                      const Loop::UserHandleFactory& create);
};

}  // namespace tarn

#endif  // TARN_POLLING_POLLING_WORKER_COLONY_H_
