#include "support/threads.h"

#include <dirent.h>

#include <fstream>

#include "support/wait.h"

namespace testsupport {

namespace {

constexpr char kTasks[] = "/proc/self/task";

}  // namespace

int ThreadCount() {
  int n = 0;
  DIR* dir = opendir(kTasks);
  if (dir == nullptr) return n;
  while (dirent* e = readdir(dir)) n += e->d_name[0] != '.';
  closedir(dir);
  return n;
}

namespace {

// Calls f(name) for each thread of this process.
template <typename F>
void ForEachThreadName(F&& f) {
  DIR* dir = opendir(kTasks);
  if (dir == nullptr) return;
  while (dirent* e = readdir(dir)) {
    if (e->d_name[0] == '.') continue;
    std::ifstream comm(std::string(kTasks) + "/" + e->d_name + "/comm");
    std::string name;
    // A thread reaped since the listing has no name left to read.
    if (std::getline(comm, name)) f(name);
  }
  closedir(dir);
}

}  // namespace

std::set<std::string> ThreadNames() {
  std::set<std::string> names;
  ForEachThreadName([&names](const std::string& name) { names.insert(name); });
  return names;
}

int CountThreadsNamed(const std::string& prefix) {
  int n = 0;
  ForEachThreadName([&](const std::string& name) { n += name.rfind(prefix, 0) == 0; });
  return n;
}

int CountPrefix(const std::set<std::string>& names, const std::string& prefix) {
  int n = 0;
  for (const std::string& name : names) n += name.rfind(prefix, 0) == 0;
  return n;
}

int SettledThreadCount(int want, double timeout_s) {
  return static_cast<int>(WaitForCount([] { return ThreadCount(); }, want, timeout_s));
}

int SettledThreadsNamed(const std::string& prefix, int want, double timeout_s) {
  return static_cast<int>(WaitForCount(
      [&prefix] { return CountThreadsNamed(prefix); }, want, timeout_s));
}

}  // namespace testsupport
