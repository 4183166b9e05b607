// Something a polling worker calls on every pass of its loop: the RDMA
// completion poller, the NVMe queue-pair poller.
//
// The function returns the amount of work it did (0 when idle). `index` is
// the poller's position in its worker's list, -1 while not registered; the
// worker keeps it up to date.
#ifndef TARN_POLLING_POLLER_H_
#define TARN_POLLING_POLLER_H_

#include <cstdint>
#include <functional>
#include <string>
#include <utility>

namespace tarn {

struct Poller {
  Poller(std::string n, std::function<int()> f) : name(std::move(n)), fn(std::move(f)) {}

  std::string name;
  std::function<int()> fn;
  int32_t index = -1;
};

}  // namespace tarn

#endif  // TARN_POLLING_POLLER_H_
