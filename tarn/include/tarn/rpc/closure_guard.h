// Runs a protocol-buffer closure when the last holder lets go.
//
// Shared through std::shared_ptr<ClosureGuard>: every party that must finish
// before the answer goes out keeps a copy, and the destructor of the last
// copy runs the closure (when it is not null). The driver answers a request
// this way only after several workers have all done their part.
#ifndef TARN_RPC_CLOSURE_GUARD_H_
#define TARN_RPC_CLOSURE_GUARD_H_

#include <google/protobuf/stubs/callback.h>

namespace tarn {

class ClosureGuard {
 public:
  explicit ClosureGuard(google::protobuf::Closure* done) : done_(done) {}
  ~ClosureGuard() {
    if (done_ != nullptr) done_->Run();
  }

  ClosureGuard(const ClosureGuard&) = delete;
  ClosureGuard& operator=(const ClosureGuard&) = delete;

  // Gives the closure back without running it.
  google::protobuf::Closure* release() {
    google::protobuf::Closure* done = done_;
    done_ = nullptr;
    return done;
  }

 private:
  google::protobuf::Closure* done_;
};

}  // namespace tarn

#endif  // TARN_RPC_CLOSURE_GUARD_H_
