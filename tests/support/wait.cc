#include "support/wait.h"

#include <chrono>
#include <thread>

namespace testsupport {

bool WaitFor(const std::function<bool()>& pred, double timeout_s) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::duration<double>(timeout_s);
  auto pause = std::chrono::milliseconds(1);
  while (Clock::now() < deadline) {
    if (pred()) return true;
    std::this_thread::sleep_for(pause);
    if (pause < std::chrono::milliseconds(10)) pause += std::chrono::milliseconds(1);
  }
  return pred();
}

long WaitForCount(const std::function<long()>& count, long want, double timeout_s) {
  long last = count();
  WaitFor(
      [&] {
        last = count();
        return last == want;
      },
      timeout_s);
  return last;
}

}  // namespace testsupport
