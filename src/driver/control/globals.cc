// Process-wide objects of the running library.
#include "control/globals.h"

#include "tarn/loop.h"
#include "tarn/worker.h"

tarn::Transport tp = tarn::kTcp;
tarn::Transport tp_manager = tarn::kTcp;
tarn::WorkerColony* worker_colony = nullptr;
tarn::WorkerColony* eventworker_colony = nullptr;
std::atomic<PyxManager*> pyxmanager{nullptr};
std::vector<PyxDriver*> pyxdrivers;
primary_addr_index volume_manager_addr;
