#include "support/threads.h"

#include <dirent.h>

#include <fstream>

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

std::set<std::string> ThreadNames() {
  std::set<std::string> names;
  DIR* dir = opendir(kTasks);
  if (dir == nullptr) return names;
  while (dirent* e = readdir(dir)) {
    if (e->d_name[0] == '.') continue;
    std::ifstream comm(std::string(kTasks) + "/" + e->d_name + "/comm");
    std::string name;
    std::getline(comm, name);
    names.insert(name);
  }
  closedir(dir);
  return names;
}

int CountPrefix(const std::set<std::string>& names, const std::string& prefix) {
  int n = 0;
  for (const std::string& name : names) n += name.rfind(prefix, 0) == 0;
  return n;
}

}  // namespace testsupport
