#include "output.h"

#include <fcntl.h>
#include <unistd.h>

namespace pyxbench {

namespace {
FILE* g_out = nullptr;
FILE* g_err = nullptr;
bool g_err_tty = false;
}  // namespace

void SaveStandardStreams() {
  fflush(stdout);
  fflush(stderr);
  const int out = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
  const int err = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
  g_out = out >= 0 ? fdopen(out, "w") : nullptr;
  g_err = err >= 0 ? fdopen(err, "w") : nullptr;
  if (g_err != nullptr) setvbuf(g_err, nullptr, _IOLBF, 0);
  g_err_tty = err >= 0 && isatty(err);
}

void RedirectStandardStreams(const std::string& path) {
  fflush(stdout);
  fflush(stderr);
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return;
  dup2(fd, STDOUT_FILENO);
  dup2(fd, STDERR_FILENO);
  close(fd);
}

FILE* Out() { return g_out != nullptr ? g_out : stdout; }
FILE* Err() { return g_err != nullptr ? g_err : stderr; }
bool ErrIsTerminal() { return g_err_tty; }

}  // namespace pyxbench
