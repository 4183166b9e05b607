#include "tarn/base/process_info.h"

#include <dirent.h>
#include <pwd.h>
#include <sys/resource.h>
#include <sys/times.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tarn/base/current_thread.h"
#include "tarn/base/file_util.h"

namespace plinth {
namespace ProcessInfo {
namespace {

const Timestamp g_startTime = Timestamp::now();
// Captured at load so later calls cost nothing.
const int g_clockTicks = static_cast<int>(::sysconf(_SC_CLK_TCK));
const int g_pageSize = static_cast<int>(::sysconf(_SC_PAGESIZE));

const int kProcFileMax = 65536;

std::string readProcFile(const char* path) {
  std::string content;
  FileUtil::readFile(path, kProcFileMax, &content);
  return content;
}

// Entries of a directory whose names pass `accept`.
template <typename Pred>
std::vector<std::string> listDir(const char* dirpath, Pred accept) {
  std::vector<std::string> names;
  DIR* dir = ::opendir(dirpath);
  if (!dir) return names;
  while (struct dirent* d = ::readdir(dir)) {
    if (accept(d->d_name)) names.emplace_back(d->d_name);
  }
  ::closedir(dir);
  return names;
}

bool startsWithDigit(const char* name) { return isdigit(static_cast<unsigned char>(name[0])); }

}  // namespace

pid_t pid() { return ::getpid(); }

std::string pidString() {
  char buf[32];
  snprintf(buf, sizeof buf, "%d", pid());
  return buf;
}

uid_t uid() { return ::getuid(); }

std::string username() {
  struct passwd pwd;
  struct passwd* result = nullptr;
  char buf[8192];
  const char* name = "unknownuser";
  getpwuid_r(uid(), &pwd, buf, sizeof buf, &result);
  if (result) name = pwd.pw_name;
  return name;
}

uid_t euid() { return ::geteuid(); }

Timestamp startTime() { return g_startTime; }

int clockTicksPerSecond() { return g_clockTicks; }

int pageSize() { return g_pageSize; }

bool isDebugBuild() { return false; }

std::string hostname() {
  char buf[256];
  if (::gethostname(buf, sizeof buf) == 0) {
    buf[sizeof(buf) - 1] = '\0';
    return buf;
  }
  return "unknownhost";
}

std::string procname() { return std::string(procname(procStat())); }

std::string_view procname(const std::string& stat) {
  std::string_view name;
  size_t lp = stat.find('(');
  size_t rp = stat.rfind(')');
  if (lp != std::string::npos && rp != std::string::npos && lp < rp) {
    name = std::string_view(stat.data() + lp + 1, rp - lp - 1);
  }
  return name;
}

std::string procStatus() { return readProcFile("/proc/self/status"); }

std::string procStat() { return readProcFile("/proc/self/stat"); }

std::string threadStat() {
  char path[64];
  snprintf(path, sizeof path, "/proc/self/task/%d/stat", CurrentThread::tid());
  return readProcFile(path);
}

std::string exePath() {
  char buf[1024];
  ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf);
  return n > 0 ? std::string(buf, n) : std::string();
}

int openedFiles() {
  // The directory stream's own descriptor is among the entries.
  return static_cast<int>(listDir("/proc/self/fd", startsWithDigit).size());
}

int maxOpenFiles() {
  struct rlimit rl;
  if (::getrlimit(RLIMIT_NOFILE, &rl)) return openedFiles();
  return static_cast<int>(rl.rlim_cur);
}

CpuTime cpuTime() {
  CpuTime t;
  struct tms tms;
  if (::times(&tms) >= 0) {
    const double hz = static_cast<double>(clockTicksPerSecond());
    t.userSeconds = static_cast<double>(tms.tms_utime) / hz;
    t.systemSeconds = static_cast<double>(tms.tms_stime) / hz;
  }
  return t;
}

int numThreads() {
  int result = 0;
  std::string status = procStatus();
  size_t pos = status.find("Threads:");
  if (pos != std::string::npos) result = ::atoi(status.c_str() + pos + 8);
  return result;
}

std::vector<pid_t> threads() {
  std::vector<pid_t> result;
  for (const std::string& name : listDir("/proc/self/task", startsWithDigit)) {
    result.push_back(static_cast<pid_t>(atoi(name.c_str())));
  }
  std::sort(result.begin(), result.end());
  return result;
}

}  // namespace ProcessInfo
}  // namespace plinth
