#include "tarn/polling/polling_timer_queue.h"

#include "tarn/base/logging.h"

namespace tarn {

TimerId PollingTimerQueue::AddTimer(const std::function<void()>& cb,
                                    const plinth::TimeCycle& when, double interval) {
  return PostTimer(new Timer(cb, when, interval));
}

void PollingTimerQueue::InsertInLoop(Timer* timer) {
  LOG_TRACE << "AddTimer, expiration: "
            << timer->expiration().cycles() / plinth::TimeCycle::tsc_rate_mhz_;
  Insert(timer);
}

int PollingTimerQueue::DoExpiredTasks() {
  if (empty()) return 0;
  plinth::TimeCycle now = plinth::TimeCycle::now();
  if (Earliest().cycles() >= now.cycles()) return 0;
  return RunExpired(now, 1) > 0 ? 1 : 0;
}

}  // namespace tarn
