// This process's threads as /proc/self/task lists them: how many there are
// and their names, for tests of what a start-up starts and a shut-down
// stops.
#ifndef TESTS_SUPPORT_THREADS_H_
#define TESTS_SUPPORT_THREADS_H_

#include <set>
#include <string>

namespace testsupport {

// The number of threads of this process (a sanitizer may run one of its
// own).
int ThreadCount();

// The names of this process's threads.
std::set<std::string> ThreadNames();

// How many of names start with prefix.
int CountPrefix(const std::set<std::string>& names, const std::string& prefix);

// How many of this process's threads have a name starting with prefix
// (each thread counted, even where two share a name).
int CountThreadsNamed(const std::string& prefix);

// Counts taken after a join, a stop or a close. A joined thread is taken off
// /proc/self/task a moment after its join has returned (it wakes its joiner
// before the kernel reaps it), so these wait, within a generous bound, for
// the count to come to `want`, and return the count last seen.
int SettledThreadCount(int want, double timeout_s = 30.0);
int SettledThreadsNamed(const std::string& prefix, int want, double timeout_s = 30.0);

}  // namespace testsupport

#endif  // TESTS_SUPPORT_THREADS_H_
