// Facts about the running process, mostly read from /proc/self.
#ifndef TARN_BASE_PROCESS_INFO_H_
#define TARN_BASE_PROCESS_INFO_H_

#include <sys/types.h>

#include <string>
#include <string_view>
#include <vector>

#include "tarn/base/timestamp.h"

namespace plinth {
namespace ProcessInfo {

pid_t pid();
std::string pidString();
uid_t uid();
std::string username();  // "unknownuser" when the uid has no entry
uid_t euid();
Timestamp startTime();  // taken at load time
int clockTicksPerSecond();
int pageSize();
bool isDebugBuild();  // always false

std::string hostname();  // "unknownhost" on failure
std::string procname();  // the command name of /proc/self/stat
std::string_view procname(const std::string& stat);

// Contents of /proc/self/status, /proc/self/stat and this thread's stat.
std::string procStatus();
std::string procStat();
std::string threadStat();
std::string exePath();

int openedFiles();
int maxOpenFiles();

struct CpuTime {
  double userSeconds;
  double systemSeconds;
  CpuTime() : userSeconds(0.0), systemSeconds(0.0) {}
  double total() const { return userSeconds + systemSeconds; }
};
CpuTime cpuTime();

int numThreads();
std::vector<pid_t> threads();

}  // namespace ProcessInfo
}  // namespace plinth

#endif  // TARN_BASE_PROCESS_INFO_H_
