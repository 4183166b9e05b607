#include "processes.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>

namespace pyxbench {

namespace {

double NowS() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec + ts.tv_nsec * 1e-9;
}

std::vector<char*> Argv(const std::string& path, const std::vector<std::string>& args) {
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(path.c_str()));
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  return argv;
}

// Waits for `pid` at most timeout_s; true when it ended (status filled).
bool WaitChild(pid_t pid, double timeout_s, int* status) {
  const double deadline = NowS() + timeout_s;
  for (;;) {
    const pid_t r = waitpid(pid, status, WNOHANG);
    if (r == pid) return true;
    if (r < 0) return true;
    if (NowS() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

std::string Trim(const std::string& s) {
  size_t b = s.find_first_not_of(" \t\r");
  size_t e = s.find_last_not_of(" \t\r");
  return b == std::string::npos ? "" : s.substr(b, e - b + 1);
}

// The port after "control" in a ready line: "control=4005", "control 4005",
// "control: 4005" or "control 127.0.0.1:4005". 0 when none.
uint16_t ControlPortOf(const std::string& line) {
  size_t at = line.find("control");
  if (at == std::string::npos) return 0;
  at += strlen("control");
  while (at < line.size() && !isdigit(static_cast<unsigned char>(line[at]))) ++at;
  size_t end = at;
  while (end < line.size() && (isdigit(static_cast<unsigned char>(line[end])) ||
                               line[end] == '.' || line[end] == ':')) {
    ++end;
  }
  std::string token = line.substr(at, end - at);
  const size_t colon = token.rfind(':');
  if (colon != std::string::npos) token = token.substr(colon + 1);
  if (token.empty() || token.find('.') != std::string::npos) return 0;
  const long port = strtol(token.c_str(), nullptr, 10);
  return port > 0 && port < 65536 ? static_cast<uint16_t>(port) : 0;
}

// "exited with status 1", "killed by signal 9 (Killed)".
std::string HowEnded(int status) {
  if (WIFSIGNALED(status)) {
    return "killed by signal " + std::to_string(WTERMSIG(status)) + " (" +
           strsignal(WTERMSIG(status)) + ")";
  }
  return "exited with status " + std::to_string(WEXITSTATUS(status));
}

}  // namespace

std::string SelfDir() {
  char buf[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", buf, sizeof(buf) - 1);
  if (n <= 0) return "";
  buf[n] = '\0';
  std::string path(buf);
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? "" : path.substr(0, slash);
}

std::string FindProgram(const std::string& name, const std::string& explicit_path) {
  if (!explicit_path.empty()) return explicit_path;
  const std::string dir = SelfDir();
  // The build tree keeps each program in its own folder; an install keeps
  // them side by side.
  for (const std::string& candidate :
       {dir + "/" + name, dir + "/../../sim/" + name, dir + "/../sim/" + name,
        dir + "/../pyxbench/" + name}) {
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return name;  // left to PATH
}

SimProcess::~SimProcess() { Stop(); }

bool SimProcess::Start(const std::string& path, const std::vector<std::string>& args,
                       const std::string& log_path, double timeout_s, std::string* error,
                       const std::function<bool()>& cancelled) {
  const int log_fd = open(log_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (log_fd < 0) {
    *error = "cannot write " + log_path + ": " + strerror(errno);
    return false;
  }
  std::vector<char*> argv = Argv(path, args);
  pid_ = fork();
  if (pid_ < 0) {
    *error = std::string("fork: ") + strerror(errno);
    close(log_fd);
    return false;
  }
  if (pid_ == 0) {
    // Its own process group, so that a terminal's ^C reaches pyxbench,
    // which then stops the cluster in order.
    setpgid(0, 0);
    // And it goes when pyxbench goes, however that happens.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    dup2(log_fd, STDOUT_FILENO);
    dup2(log_fd, STDERR_FILENO);
    const int null_fd = open("/dev/null", O_RDONLY);
    if (null_fd >= 0) dup2(null_fd, STDIN_FILENO);
    execv(path.c_str(), argv.data());
    execvp(path.c_str(), argv.data());
    fprintf(stderr, "cannot run %s: %s\n", path.c_str(), strerror(errno));
    _exit(127);
  }
  close(log_fd);

  // The ready line goes to the log like everything else it prints.
  const double deadline = NowS() + timeout_s;
  while (NowS() < deadline) {
    if (cancelled()) {
      error->clear();
      Stop();
      return false;
    }
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      std::string log;
      ReadFile(log_path, &log);
      log = Trim(log.substr(0, 2000));
      *error = "the cluster program " + path + " ended before it was ready (" + HowEnded(status) +
               "): " + (log.empty() ? "it printed nothing" : log);
      return false;
    }
    std::string log;
    if (ReadFile(log_path, &log)) {
      std::istringstream lines(log);
      std::string line;
      while (std::getline(lines, line)) {
        if (line.find("ready") == std::string::npos) continue;
        control_port_ = ControlPortOf(line);
        if (control_port_ != 0) return true;
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  *error = "the cluster program did not say it was ready within " +
           std::to_string(static_cast<int>(timeout_s)) + " s (log: " + log_path + ")";
  Stop();
  return false;
}

// Whether `pid` is stopped (SIGSTOP, a terminal's ^Z) or traced: its state
// in /proc/PID/stat, the field after the name (which ends at the last ')').
bool IsStopped(pid_t pid) {
  std::string stat;
  if (!ReadFile("/proc/" + std::to_string(pid) + "/stat", &stat)) return false;
  const size_t paren = stat.rfind(')');
  return paren != std::string::npos && paren + 2 < stat.size() &&
         (stat[paren + 2] == 'T' || stat[paren + 2] == 't');
}

void SimProcess::Stop(const std::function<void(const std::string&)>& note) {
  if (pid_ <= 0) return;
  constexpr double kMomentS = 2;
  auto say = [&](const std::string& text) {
    if (note) note(text);
  };
  int status = 0;
  bool ended = false;
  if (IsStopped(pid_)) {
    say("the cluster process (pyxsim) is stopped and would take no SIGTERM: killing it");
  } else {
    kill(pid_, SIGTERM);
    const double start = NowS();
    bool waiting_said = false;
    while (!(ended = WaitChild(pid_, 0.05, &status)) && NowS() - start < kStopWaitS) {
      if (IsStopped(pid_)) {
        say("the cluster process (pyxsim) was stopped while it ended: killing it");
        break;
      }
      if (!waiting_said && NowS() - start >= kMomentS) {
        waiting_said = true;
        char text[128];
        snprintf(text, sizeof(text),
                 "waiting for the cluster process (pyxsim) to end: up to %.0f s more, then it "
                 "is killed", kStopWaitS - kMomentS);
        say(text);
      }
    }
    if (!ended && NowS() - start >= kStopWaitS) {
      say("the cluster process (pyxsim) did not end on SIGTERM: killing it");
    }
  }
  if (!ended) {
    kill(pid_, SIGKILL);
    WaitChild(pid_, 10, &status);
  }
  pid_ = -1;
}

bool SimProcess::Ended(std::string* how) {
  if (pid_ <= 0) return false;
  int status = 0;
  rusage ru;
  if (wait4(pid_, &status, WNOHANG, &ru) != pid_) return false;
  pid_ = -1;
  // Its /proc entry is gone: what it used in all comes with its end.
  last_cpu_s_ = ru.ru_utime.tv_sec + ru.ru_utime.tv_usec * 1e-6 + ru.ru_stime.tv_sec +
                ru.ru_stime.tv_usec * 1e-6;
  *how = HowEnded(status);
  return true;
}

double SimProcess::CpuSeconds() const {
  if (pid_ <= 0) return last_cpu_s_;
  std::string stat;
  if (!ReadFile("/proc/" + std::to_string(pid_) + "/stat", &stat)) return last_cpu_s_;
  // Fields after the command name, which may hold blanks: it ends at the
  // last ')'. utime and stime are fields 14 and 15.
  const size_t paren = stat.rfind(')');
  if (paren == std::string::npos) return 0;
  std::istringstream in(stat.substr(paren + 2));
  std::string field;
  unsigned long long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && (in >> field); ++i) {
    if (i == 14) utime = strtoull(field.c_str(), nullptr, 10);
    if (i == 15) stime = strtoull(field.c_str(), nullptr, 10);
  }
  last_cpu_s_ = static_cast<double>(utime + stime) / sysconf(_SC_CLK_TCK);
  return last_cpu_s_;
}

int RunTool(const std::string& path, const std::vector<std::string>& args, std::string* out,
            double timeout_s) {
  int pipe_fd[2];
  if (pipe2(pipe_fd, O_CLOEXEC) != 0) return -1;
  std::vector<char*> argv = Argv(path, args);
  const pid_t pid = fork();
  if (pid < 0) {
    close(pipe_fd[0]);
    close(pipe_fd[1]);
    return -1;
  }
  if (pid == 0) {
    dup2(pipe_fd[1], STDOUT_FILENO);
    execv(path.c_str(), argv.data());
    execvp(path.c_str(), argv.data());
    _exit(127);
  }
  close(pipe_fd[1]);
  out->clear();
  const double deadline = NowS() + timeout_s;
  char buf[4096];
  for (;;) {
    pollfd p{pipe_fd[0], POLLIN, 0};
    const int left_ms = static_cast<int>((deadline - NowS()) * 1000);
    if (left_ms <= 0) break;
    if (poll(&p, 1, left_ms) <= 0) continue;
    const ssize_t n = read(pipe_fd[0], buf, sizeof(buf));
    if (n <= 0) break;
    out->append(buf, static_cast<size_t>(n));
  }
  close(pipe_fd[0]);
  int status = 0;
  if (!WaitChild(pid, std::max(0.0, deadline - NowS()) + 1, &status)) {
    kill(pid, SIGKILL);
    WaitChild(pid, 10, &status);
    return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string EditIni(const std::string& text, const std::map<std::string, std::string>& keys) {
  std::istringstream in(text);
  std::string line;
  std::vector<std::string> out;
  bool in_orla = false;
  std::map<std::string, bool> seen;
  auto close_section = [&] {
    if (!in_orla) return;
    // Added keys go after the last non-blank line of the section.
    size_t at = out.size();
    while (at > 0 && Trim(out[at - 1]).empty()) --at;
    for (const auto& kv : keys) {
      if (!seen[kv.first]) {
        out.insert(out.begin() + static_cast<long>(at), kv.first + " " + kv.second);
        ++at;
      }
    }
  };
  while (std::getline(in, line)) {
    const std::string t = Trim(line);
    if (!t.empty() && t[0] == '[') {
      close_section();
      in_orla = t.compare(0, 5, "[ORLA") == 0;
      seen.clear();
      out.push_back(line);
      continue;
    }
    if (in_orla && !t.empty() && t[0] != '#') {
      const std::string key = t.substr(0, t.find_first_of(" \t"));
      auto it = keys.find(key);
      if (it != keys.end()) {
        seen[key] = true;
        out.push_back(key + " " + it->second);
        continue;
      }
    }
    out.push_back(line);
  }
  close_section();
  std::string result;
  for (const std::string& l : out) result += l + "\n";
  return result;
}

bool ReadFile(const std::string& path, std::string* out) {
  std::ifstream f(path, std::ios::binary);
  if (!f) return false;
  std::ostringstream s;
  s << f.rdbuf();
  *out = s.str();
  return true;
}

bool WriteFile(const std::string& path, const std::string& text) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  if (!f) return false;
  f << text;
  return static_cast<bool>(f);
}

double SelfCpuSeconds() {
  rusage ru;
  getrusage(RUSAGE_SELF, &ru);
  return ru.ru_utime.tv_sec + ru.ru_utime.tv_usec * 1e-6 + ru.ru_stime.tv_sec +
         ru.ru_stime.tv_usec * 1e-6;
}

double ThreadsCpuSeconds(const std::string& prefix) {
  static const double kTicksPerSecond = static_cast<double>(sysconf(_SC_CLK_TCK));
  DIR* dir = opendir("/proc/self/task");
  if (dir == nullptr) return 0;
  unsigned long long ticks = 0;
  while (dirent* entry = readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    std::string stat;
    if (!ReadFile(std::string("/proc/self/task/") + entry->d_name + "/stat", &stat)) continue;
    // "tid (name) state ppid ...": the name may hold spaces and parentheses,
    // so it ends at the last ')'; utime and stime are the 12th and 13th
    // fields after it.
    const size_t open = stat.find('(');
    const size_t close = stat.rfind(')');
    if (open == std::string::npos || close == std::string::npos || close < open) continue;
    if (stat.compare(open + 1, prefix.size(), prefix) != 0 || close - open - 1 < prefix.size()) {
      continue;
    }
    std::istringstream fields(stat.substr(close + 1));
    std::string skip;
    for (int i = 0; i < 11; ++i) fields >> skip;
    unsigned long long utime = 0, stime = 0;
    if (fields >> utime >> stime) ticks += utime + stime;
  }
  closedir(dir);
  return ticks / kTicksPerSecond;
}

}  // namespace pyxbench
