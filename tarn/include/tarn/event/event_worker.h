// The TCP transport's worker: one per thread, owning one EventLoop, its
// memory pools and the sockets it listens on or connects.
//
// Init() and Start() run on the worker's own thread; Stop() may be called
// from any thread and hands the stop to the loop.
#ifndef TARN_EVENT_EVENT_WORKER_H_
#define TARN_EVENT_EVENT_WORKER_H_

#include <memory>
#include <string>

#include "tarn/event/event_loop.h"
#include "tarn/worker.h"

namespace tarn {

class SockAddress;
class ServerSocket;
class ConnectedSocket;

class EventWorker : public Worker {
 public:
  EventWorker(uint32_t index, const WorkerOption& option,
              const Loop::UserHandleFactory& create);
  ~EventWorker() override;

  // Pins the thread (core mask bit `index`, else the NUMA node's CPUs),
  // binds the worker to the thread, builds the first memory pool and the
  // EventLoop, the user handle and the periodic shrink and reports. A second
  // Init, a thread that already has a worker, or a pool or loop failure ends
  // the process.
  int Init() override;
  // Names the thread and runs the loop until Stop(). A second Start only
  // logs a warning.
  void Start(const std::string& name) override;
  // Any thread: the loop enters stopping and ends.
  void Stop() override;
  // TCP registers no memory: keys 0, result 0.
  int GetMrKey(void* addr, uint32_t* lkey, uint32_t* rkey) override;
  int RegisterMr(void* addr, size_t len) override;
  int UnregisterMr(void* addr, size_t len) override;

  // On the worker's loop: a non-blocking listening socket bound to `addr`
  // (backlog 2048). 0, or -1 / the failing call's result.
  int Listen(const SockAddress& addr, std::shared_ptr<ServerSocket>* out);
  // A non-blocking connect to `peer`; 0 when started (the connect event
  // reports the outcome), -1 on an immediate failure.
  int Connect(const SockAddress& peer, std::shared_ptr<ConnectedSocket>* out);

  EventLoop* event_loop() const;
};

}  // namespace tarn

#endif  // TARN_EVENT_EVENT_WORKER_H_
