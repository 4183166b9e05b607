#include "support/child.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

namespace testsupport {

namespace {

// An unlinked temporary file: the child writes without ever blocking on a
// reader, and the parent reads it from the start once the child is done.
int MakeCaptureFile() {
  char path[] = "/tmp/tarn_child_XXXXXX";
  const int fd = ::mkostemp(path, O_CLOEXEC);
  if (fd >= 0) ::unlink(path);
  return fd;
}

std::string ReadCapture(int fd) {
  std::string out;
  char buf[65536];
  off_t off = 0;
  for (;;) {
    const ssize_t n = ::pread(fd, buf, sizeof(buf), off);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    out.append(buf, static_cast<size_t>(n));
    off += n;
  }
  return out;
}

// In the child: its own process group (so a timeout kills what it started),
// and fd as standard output and standard error.
void PrepareChild(int fd) {
  ::setpgid(0, 0);
  if (fd >= 0) {
    ::dup2(fd, STDOUT_FILENO);
    ::dup2(fd, STDERR_FILENO);
  }
}

ChildResult WaitChild(pid_t pid, int fd, double timeout_s) {
  using Clock = std::chrono::steady_clock;
  ChildResult result;
  result.pid = pid;
  const auto deadline = Clock::now() + std::chrono::duration<double>(timeout_s);
  auto pause = std::chrono::milliseconds(1);
  int status = 0;
  for (;;) {
    const pid_t done = ::waitpid(pid, &status, WNOHANG);
    if (done == pid) break;
    if (done < 0 && errno != EINTR) {
      result.output = "waitpid failed";
      return result;
    }
    if (Clock::now() >= deadline) {
      result.timed_out = true;
      ::kill(-pid, SIGKILL);
      ::kill(pid, SIGKILL);
      while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
      }
      break;
    }
    std::this_thread::sleep_for(pause);
    if (pause < std::chrono::milliseconds(10)) pause += std::chrono::milliseconds(1);
  }
  if (WIFEXITED(status)) {
    result.exit_code = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    result.signal = WTERMSIG(status);
  }
  if (fd >= 0) {
    result.output = ReadCapture(fd);
    ::close(fd);
  }
  return result;
}

}  // namespace

ChildResult RunInChild(const std::function<int()>& body, double timeout_s) {
  const int fd = MakeCaptureFile();
  fflush(nullptr);
  const pid_t pid = ::fork();
  if (pid < 0) {
    if (fd >= 0) ::close(fd);
    ChildResult failed;
    failed.output = "fork failed";
    return failed;
  }
  if (pid == 0) {
    PrepareChild(fd);
    const int rc = body();
    fflush(nullptr);
    _exit(rc);
  }
  ::setpgid(pid, pid);  // whichever of parent and child gets here first
  return WaitChild(pid, fd, timeout_s);
}

ChildResult RunCommand(const std::vector<std::string>& argv, double timeout_s) {
  if (argv.empty()) {
    ChildResult failed;
    failed.output = "no program to run";
    return failed;
  }
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  return RunInChild(
      [&args] {
        ::execvp(args[0], args.data());
        fprintf(stderr, "cannot run %s: errno %d\n", args[0], errno);
        return 127;
      },
      timeout_s);
}

std::string Describe(const ChildResult& result) {
  std::string text = "exit code " + std::to_string(result.exit_code);
  if (result.signal != 0) text += ", signal " + std::to_string(result.signal);
  if (result.timed_out) text += ", timed out";
  text += "; output:\n" + result.output;
  return text;
}

}  // namespace testsupport
