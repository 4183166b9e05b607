// Waiting for something another thread or process brings about.
//
// Tests never assert on how long something takes: they poll with a generous
// deadline, which a healthy run never comes near, so a loaded machine slows
// them down without failing them.
#ifndef TESTS_SUPPORT_WAIT_H_
#define TESTS_SUPPORT_WAIT_H_

#include <functional>

namespace testsupport {

// Polls pred (first at once, then every 1 ms growing to 10 ms) until it holds
// or timeout_s has passed; returns its last answer.
bool WaitFor(const std::function<bool()>& pred, double timeout_s = 30.0);

// For counts that settle after the call that causes them returns: threads a
// join has ended stay listed by the kernel a moment longer, descriptors and
// queue pairs a close hands to a loop go when that loop gets to them. Polls
// count() as WaitFor does until it equals want (or timeout_s has passed)
// and returns the value last seen, so that a failed
// EXPECT_EQ(WaitForCount(...), want) shows what was counted.
long WaitForCount(const std::function<long()>& count, long want, double timeout_s = 30.0);

}  // namespace testsupport

#endif  // TESTS_SUPPORT_WAIT_H_
