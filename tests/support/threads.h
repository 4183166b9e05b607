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

}  // namespace testsupport

#endif  // TESTS_SUPPORT_THREADS_H_
