// Process-wide objects of the running library, created by pyx_init_env.
#ifndef PYXDRIVER_CONTROL_GLOBALS_H_
#define PYXDRIVER_CONTROL_GLOBALS_H_

#include <atomic>
#include <functional>
#include <vector>

#include "control/config.h"
#include "control/pyx_manager.h"
#include "io/pyx_driver.h"
#include "tarn/types.h"

namespace tarn {
class WorkerColony;
}  // namespace tarn

PYX_EXPORT extern tarn::Transport tp;
PYX_EXPORT extern tarn::Transport tp_manager;
PYX_EXPORT extern tarn::WorkerColony* worker_colony;
PYX_EXPORT extern tarn::WorkerColony* eventworker_colony;
// Null until its creation task has run on the manager's loop, and again
// after pyx_finish_env. Read from other threads only through this atomic.
PYX_EXPORT extern std::atomic<PyxManager*> pyxmanager;
PYX_EXPORT extern std::vector<PyxDriver*> pyxdrivers;
PYX_EXPORT extern primary_addr_index volume_manager_addr;

namespace pyx {

// The manager's worker (null before start-up); its loop runs the manager.
tarn::Worker* ManagerWorker();
// Start-up only: before any other thread can ask for it.
void SetManagerWorker(tarn::Worker* worker);

// Runs fn(manager) on the manager's loop, fire-and-forget. The manager is
// looked up there, so a task never meets a deleted manager: when there is
// none by then (not created yet, or pyx_finish_env took it down) or the
// loop no longer runs, `missing` runs instead (on the manager's loop, or on
// the calling thread when the loop refused the task). Returns false when
// the task could not be posted at all.
bool RunOnManager(std::function<void(PyxManager*)> fn, std::function<void()> missing = nullptr);

// The I/O driver of a byte offset: every stripe of max_io_size bytes goes
// to the same driver, (offset / max_io_size) mod worker_num. -1 without
// drivers.
int DriverOf(uint64_t offset);

// Asks the manager for a fresh route of the disk for driver `id` (I/O side
// to control side). Posted to the manager's loop; dropped when there is no
// manager or the disk has been freed.
void RequestRouteRefresh(bdev_pyx* disk, uint64_t start, uint64_t length, int id);

}  // namespace pyx

#endif  // PYXDRIVER_CONTROL_GLOBALS_H_
