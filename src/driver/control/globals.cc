// Process-wide objects of the running library.
#include "control/globals.h"

#include <memory>

#include "tarn/loop.h"
#include "tarn/worker.h"

tarn::Transport tp = tarn::kTcp;
tarn::Transport tp_manager = tarn::kTcp;
tarn::WorkerColony* worker_colony = nullptr;
tarn::WorkerColony* eventworker_colony = nullptr;
std::atomic<PyxManager*> pyxmanager{nullptr};
std::vector<PyxDriver*> pyxdrivers;
primary_addr_index volume_manager_addr;

namespace pyx {
namespace {

std::atomic<tarn::Worker*> g_manager_worker{nullptr};

}  // namespace

tarn::Worker* ManagerWorker() { return g_manager_worker.load(std::memory_order_acquire); }

void SetManagerWorker(tarn::Worker* worker) {
  g_manager_worker.store(worker, std::memory_order_release);
}

bool RunOnManager(std::function<void(PyxManager*)> fn, std::function<void()> missing) {
  tarn::Worker* worker = ManagerWorker();
  if (worker == nullptr) {
    if (missing) missing();
    return false;
  }
  // Shared with the task, so that a refused task can still say so here.
  auto pending = std::make_shared<std::function<void()>>(std::move(missing));
  const int rc = worker->loop()->RunInLoop(
      [fn = std::move(fn), pending] {
        PyxManager* manager = pyxmanager.load(std::memory_order_acquire);
        if (manager != nullptr) {
          fn(manager);
        } else if (*pending) {
          (*pending)();
        }
      },
      true);
  if (rc != 0) {
    if (*pending) (*pending)();
    return false;
  }
  return true;
}

void RequestRouteRefresh(bdev_pyx* disk, uint64_t start, uint64_t length, int id) {
  RunOnManager([disk, start, length, id](PyxManager* manager) {
    manager->pyx_route_query2(disk, start, length, id);
  });
}

}  // namespace pyx
