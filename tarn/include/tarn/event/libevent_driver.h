// The libevent event base of one event loop, with a fixed table of events
// addressed by small integer indexes.
//
// Everything on an event worker that waits on a descriptor (wake-up eventfd,
// timerfd, listening and connection sockets) registers here. Every event is
// persistent. Indexes are handed back first-in, first-out, so a freed index
// is reused only after every other free index; an index is valid from
// CreateEvent to FreeEvent. Loop thread only.
#ifndef TARN_EVENT_LIBEVENT_DRIVER_H_
#define TARN_EVENT_LIBEVENT_DRIVER_H_

#include <cstdint>
#include <deque>
#include <vector>

struct event;
struct event_base;

namespace tarn {

class LibeventDriver {
 public:
  static constexpr int kMaxEvents = 10000;
  using Callback = void (*)(int fd, short what, void* arg);

  explicit LibeventDriver(bool busy_poll);
  // Frees every event still in the table, then the event base.
  virtual ~LibeventDriver();
  LibeventDriver(const LibeventDriver&) = delete;
  LibeventDriver& operator=(const LibeventDriver&) = delete;

  // Creates the event base; 0 on success, -1 when libevent fails.
  int Init();

  // A persistent event for `fd` (`what` | EV_PERSIST), not yet enabled.
  // Returns its index, or -1 when the table is full or libevent fails: the
  // caller fails that one operation (a peer opening many connections must
  // not end the process).
  int CreateEvent(int fd, int what, Callback cb, void* arg);
  // Enables a created event; -1 when it does not exist or is enabled.
  int AddEvent(int idx);
  // Disables an event; -1 when it does not exist.
  int DelEvent(int idx);
  // Frees an event (enabled or not) and returns its index; -1 when none.
  int FreeEvent(int idx);
  bool EventIsEnable(int idx) const;
  // Number of events in the table.
  int event_count() const { return kMaxEvents - static_cast<int>(free_idx_.size()); }

  // One pass of the event base: blocking until some event is active and its
  // callbacks have run, or non-blocking with busy poll. Returns
  // event_base_loop's result.
  int Start();
  // Breaks the current run (event_base_loopbreak).
  int Stop();

 private:
  struct Slot {
    struct event* ev;
    bool enabled;
  };
  Slot* GetSlot(int idx) const;

  bool busy_poll_;
  struct event_base* base_ = nullptr;
  std::vector<Slot*> events_;
  std::deque<uint32_t> free_idx_;
};

}  // namespace tarn

#endif  // TARN_EVENT_LIBEVENT_DRIVER_H_
