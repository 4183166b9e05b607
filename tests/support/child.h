// Running code or programs in a child process.
//
// Process start-up, resource limits and anything else that acts once per
// process runs in a forked child, so each case starts from a fresh state and
// the test program itself is left untouched. The child's standard output and
// standard error are captured together and handed back.
#ifndef TESTS_SUPPORT_CHILD_H_
#define TESTS_SUPPORT_CHILD_H_

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

// In a RunInChild body: a failed check prints itself and ends the body
// with 1.
#define CHILD_EXPECT(cond)                                \
  do {                                                    \
    if (!(cond)) {                                        \
      fprintf(stdout, "child check failed: %s\n", #cond); \
      fflush(stdout);                                     \
      return 1;                                           \
    }                                                     \
  } while (0)

namespace testsupport {

struct ChildResult {
  int exit_code = -1;  // the child's exit status; -1 when a signal ended it
  int signal = 0;      // the signal that ended the child, 0 when it exited
  std::string output;  // standard output and standard error, interleaved
  bool timed_out = false;  // the child was killed after timeout_s
  int pid = 0;             // the child's process id

  bool ok() const { return exit_code == 0 && signal == 0 && !timed_out; }
};

// Forks; the child sends its standard output and error to a capture file,
// runs body and exits with its return value (without running atexit
// handlers or static destructors). The parent waits for the child and kills
// it (and anything it started in its process group) after timeout_s.
//
// The child has only the calling thread: body must not rely on threads of
// the parent, nor on locks they might have held at the fork. GoogleTest
// assertions in body are not reported; body reports by its return value and
// its output.
ChildResult RunInChild(const std::function<int()>& body, double timeout_s = 120.0);

// Runs argv[0] (looked up on PATH) with argv in a child as RunInChild does.
// A program that cannot be started exits with 127.
ChildResult RunCommand(const std::vector<std::string>& argv, double timeout_s = 120.0);

// Describes a result for assertion messages: exit status, signal, timeout
// and the output.
std::string Describe(const ChildResult& result);

}  // namespace testsupport

#endif  // TESTS_SUPPORT_CHILD_H_
