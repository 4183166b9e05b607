// The closures of the manager's calls (manager's loop only).
//
// A call's closure runs its handler with the closure record and then frees
// the record (controller, response and all). Calls are tracked by the
// manager until they run; when the manager goes first, the records are
// freed at once and the closures are orphaned: they may still be run by a
// failure already queued on the loop, so they stay reachable and delete
// themselves when they run.
#ifndef PYXDRIVER_CONTROL_MANAGER_CALL_H_
#define PYXDRIVER_CONTROL_MANAGER_CALL_H_

#include <google/protobuf/stubs/callback.h>

#include <functional>
#include <memory>

#include "control/pyx_manager.h"

class PyxManager::Call : public google::protobuf::Closure {
 public:
  Call(PyxManager* manager, manager_call_param* record, std::function<void()> handler)
      : manager_(manager), record_(record), handler_(std::move(handler)) {}

  void Run() override;
  // The manager is going away: free the record, keep the closure runnable.
  void Orphan();

 private:
  PyxManager* manager_;
  std::unique_ptr<manager_call_param> record_;
  std::function<void()> handler_;
};

template <typename Record>
google::protobuf::Closure* PyxManager::NewCall(Record* record,
                                               void (PyxManager::*handler)(Record*)) {
  Call* call = new Call(this, record, [this, record, handler] { (this->*handler)(record); });
  calls_.insert(call);
  return call;
}

#endif  // PYXDRIVER_CONTROL_MANAGER_CALL_H_
