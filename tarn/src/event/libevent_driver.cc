#include "tarn/event/libevent_driver.h"

#include <event2/event.h>

#include "tarn/base/logging.h"
#include "tarn/event/libevent_log.h"

namespace tarn {

LibeventDriver::LibeventDriver(bool busy_poll)
    : busy_poll_(busy_poll), events_(kMaxEvents, nullptr) {
  for (uint32_t i = 0; i < kMaxEvents; ++i) free_idx_.push_back(i);
}

LibeventDriver::~LibeventDriver() {
  for (Slot*& slot : events_) {
    if (slot == nullptr) continue;
    event_free(slot->ev);
    delete slot;
    slot = nullptr;
  }
  if (base_ != nullptr) event_base_free(base_);
}

int LibeventDriver::Init() {
  RouteLibeventLogs();
  base_ = event_base_new();
  if (base_ == nullptr) {
    LOG_ERROR << "event_base_new failed";
    return -1;
  }
  return 0;
}

LibeventDriver::Slot* LibeventDriver::GetSlot(int idx) const {
  if (idx < 0 || idx >= kMaxEvents) return nullptr;
  return events_[idx];
}

int LibeventDriver::CreateEvent(int fd, int what, Callback cb, void* arg) {
  if (free_idx_.empty()) {
    LOG_ERROR << "free event idx empty";
    return -1;
  }
  struct event* ev = event_new(base_, fd, static_cast<short>(what | EV_PERSIST), cb, arg);
  if (ev == nullptr) {
    LOG_ERROR << "event_new failed for fd: " << fd;
    return -1;
  }
  uint32_t idx = free_idx_.front();
  free_idx_.pop_front();
  events_[idx] = new Slot{ev, false};
  return static_cast<int>(idx);
}

int LibeventDriver::AddEvent(int idx) {
  Slot* slot = GetSlot(idx);
  if (slot == nullptr || slot->enabled) {
    LOG_ERROR << "event is null or has enabled for idx: " << idx;
    return -1;
  }
  if (event_add(slot->ev, nullptr) != 0) {
    LOG_ERROR << "event_add failed for idx: " << idx;
    return -1;
  }
  slot->enabled = true;
  return 0;
}

int LibeventDriver::DelEvent(int idx) {
  Slot* slot = GetSlot(idx);
  if (slot == nullptr) {
    LOG_ERROR << "event is null for idx: " << idx;
    return -1;
  }
  event_del(slot->ev);
  slot->enabled = false;
  return 0;
}

int LibeventDriver::FreeEvent(int idx) {
  Slot* slot = GetSlot(idx);
  if (slot == nullptr) {
    LOG_ERROR << "the event has free, idx: " << idx;
    return -1;
  }
  event_free(slot->ev);
  delete slot;
  events_[idx] = nullptr;
  free_idx_.push_back(static_cast<uint32_t>(idx));
  return 0;
}

bool LibeventDriver::EventIsEnable(int idx) const {
  Slot* slot = GetSlot(idx);
  return slot != nullptr && slot->enabled;
}

int LibeventDriver::Start() {
  // One pass at a time, so that the loop can finish each pass (sends
  // gathered during the pass go out together) before it blocks again.
  return event_base_loop(base_, busy_poll_ ? EVLOOP_NONBLOCK : EVLOOP_ONCE);
}

int LibeventDriver::Stop() { return event_base_loopbreak(base_); }

}  // namespace tarn
