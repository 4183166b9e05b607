// Running pyxbench and the cluster program as their users do, for the
// tests of tests/pyxbench: a program in a child process of its own process
// group, its standard output and error in files read while it runs.
#ifndef TESTS_PYXBENCH_BENCH_CHILD_H_
#define TESTS_PYXBENCH_BENCH_CHILD_H_

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace benchchild {

using Clock = std::chrono::steady_clock;

inline double Since(Clock::time_point t) {
  return std::chrono::duration<double>(Clock::now() - t).count();
}

inline std::string ReadAll(const std::string& path) {
  std::ifstream f(path);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

// A top-level field's value as written in pyxbench's flat JSON object.
inline std::string Field(const std::string& json, const std::string& key) {
  const std::string mark = "\"" + key + "\": ";
  const size_t at = json.find(mark);
  if (at == std::string::npos) return "";
  const size_t from = at + mark.size();
  if (json[from] == '"') return json.substr(from + 1, json.find('"', from + 1) - from - 1);
  return json.substr(from, json.find_first_of(",}", from) - from);
}

inline double Number(const std::string& json, const std::string& key) {
  return strtod(Field(json, key).c_str(), nullptr);
}

// Runs of --help collapse to single blanks, so that a limit wrapped over
// two lines still reads as the error states it.
inline std::string Squeeze(const std::string& text) {
  std::string out;
  for (char c : text) {
    const bool blank = c == ' ' || c == '\n';
    if (blank && (out.empty() || out.back() == ' ')) continue;
    out += blank ? ' ' : c;
  }
  return out;
}

// The program in a child process, its standard output and error in files
// of their own (read while it runs), in a process group of its own.
class Bench {
 public:
  Bench(const std::vector<std::string>& argv, const std::vector<std::string>& env = {}) {
    char dir[] = "/tmp/pyxbench_test_XXXXXX";
    dir_ = mkdtemp(dir) != nullptr ? dir : "/tmp";
    const int out = open((dir_ + "/out").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const int err = open((dir_ + "/err").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    start_ = Clock::now();
    pid_ = fork();
    if (pid_ == 0) {
      setpgid(0, 0);
      dup2(out, STDOUT_FILENO);
      dup2(err, STDERR_FILENO);
      for (const std::string& e : env) putenv(const_cast<char*>(e.c_str()));
      execvp(args[0], args.data());
      _exit(127);
    }
    close(out);
    close(err);
  }
  ~Bench() {
    if (pid_ > 0) {
      kill(-pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (dir_ != "/tmp" && system(("rm -rf " + dir_).c_str()) != 0) perror("rm");
  }

  pid_t pid() const { return pid_; }
  std::string out() const { return ReadAll(dir_ + "/out"); }
  std::string err() const { return ReadAll(dir_ + "/err"); }
  double seconds() const { return Since(start_); }

  // Until standard error holds `text` (true), or the program ended or
  // timeout_s passed (false).
  bool WaitForErr(const std::string& text, double timeout_s) {
    const auto start = Clock::now();
    while (Since(start) < timeout_s) {
      if (err().find(text) != std::string::npos) return true;
      if (exited_) return false;
      int status;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        Reap(status);
        return err().find(text) != std::string::npos;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }

  // The exit status, or -1 after timeout_s (then killed) or by a signal.
  int Wait(double timeout_s) {
    const auto start = Clock::now();
    while (!exited_ && Since(start) < timeout_s) {
      int status;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        Reap(status);
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return exited_ ? code_ : -1;
  }

 private:
  void Reap(int status) {
    exited_ = true;
    code_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    pid_ = -1;
  }

  std::string dir_;
  pid_t pid_ = -1;
  bool exited_ = false;
  int code_ = -1;
  Clock::time_point start_;
};

// The child processes of `parent` named `name`.
inline std::vector<pid_t> ChildrenNamed(pid_t parent, const std::string& name) {
  std::vector<pid_t> found;
  DIR* proc = opendir("/proc");
  while (dirent* e = proc != nullptr ? readdir(proc) : nullptr) {
    const pid_t pid = static_cast<pid_t>(atoi(e->d_name));
    if (pid <= 0) continue;
    const std::string stat = ReadAll("/proc/" + std::to_string(pid) + "/stat");
    const size_t open = stat.find('('), close = stat.rfind(')');
    if (open == std::string::npos || close == std::string::npos) continue;
    std::istringstream rest(stat.substr(close + 2));
    std::string state;
    pid_t ppid = 0;
    rest >> state >> ppid;
    if (ppid == parent && stat.substr(open + 1, close - open - 1) == name) found.push_back(pid);
  }
  if (proc != nullptr) closedir(proc);
  return found;
}

inline bool Gone(pid_t pid, double timeout_s) {
  const auto start = Clock::now();
  while (Since(start) < timeout_s) {
    const std::string stat = ReadAll("/proc/" + std::to_string(pid) + "/stat");
    if (stat.empty() || stat.find(") Z") != std::string::npos) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

// The folder a run says it left behind ("" when none), as its last
// "logs kept in" line names it.
inline std::string LogDirOf(const std::string& err) {
  const std::string mark = "logs kept in ";
  const size_t at = err.rfind(mark);
  if (at == std::string::npos) return "";
  return err.substr(at + mark.size(), err.find('\n', at) - at - mark.size());
}

// The folder a run says it left behind ("" when none), removed.
inline std::string TakeLogDir(const std::string& err) {
  const std::string dir = LogDirOf(err);
  if (dir.compare(0, 14, "/tmp/pyxbench.") == 0 && system(("rm -rf " + dir).c_str()) != 0) {
    perror("rm");
  }
  return dir;
}

// A path of this test process's own under the test folder: the suites of
// several builds may run at once on one machine.
inline std::string TempPath(const std::string& name) {
  return std::string(testing::TempDir()) + "/" + name + "." + std::to_string(getpid());
}

}  // namespace benchchild

#endif  // TESTS_PYXBENCH_BENCH_CHILD_H_
