#include "preflight.h"

#include <dirent.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <vector>

#include "job.h"
#include "processes.h"

namespace pyxbench {

namespace {

std::string Trim(const std::string& s) {
  const size_t b = s.find_first_not_of(" \t\r");
  const size_t e = s.find_last_not_of(" \t\r");
  return b == std::string::npos ? "" : s.substr(b, e - b + 1);
}

std::vector<std::string> Split(const std::string& text, char sep) {
  std::vector<std::string> parts;
  std::istringstream in(text);
  std::string part;
  while (std::getline(in, part, sep)) parts.push_back(Trim(part));
  return parts;
}

std::string Mib(uint64_t bytes) { return std::to_string(bytes >> 20) + " MiB"; }

// A TCP connection to ip:port within timeout_s: "" when taken, else why not.
std::string TryConnect(const std::string& ip, const std::string& port, double timeout_s) {
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo* found = nullptr;
  const int rc = getaddrinfo(ip.c_str(), port.c_str(), &hints, &found);
  if (rc != 0) return gai_strerror(rc);
  std::string why = "no address";
  for (addrinfo* a = found; a != nullptr; a = a->ai_next) {
    const int fd = socket(a->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
      why = strerror(errno);
      continue;
    }
    int err = connect(fd, a->ai_addr, a->ai_addrlen) == 0 ? 0 : errno;
    if (err == EINPROGRESS) {
      pollfd p{fd, POLLOUT, 0};
      if (poll(&p, 1, static_cast<int>(timeout_s * 1000)) == 1) {
        socklen_t len = sizeof(err);
        getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len);
      } else {
        err = ETIMEDOUT;
      }
    }
    close(fd);
    if (err == 0) {
      why.clear();
      break;
    }
    why = strerror(err);
  }
  freeaddrinfo(found);
  return why;
}

}  // namespace

uint64_t AvailableMemory() {
  std::string text;
  // Unknown (no bound) when the kernel does not say, or says nothing
  // readable: a figure of 0 would refuse every run.
  uint64_t avail = ~0ull;
  if (ReadFile("/proc/meminfo", &text)) {
    const size_t at = text.find("MemAvailable:");
    if (at != std::string::npos) {
      const uint64_t kib = strtoull(text.c_str() + at + 13, nullptr, 10);
      if (kib != 0 && kib < (~0ull >> 10)) avail = kib << 10;
    }
  }
  // The cgroup this process is in ("0::/path"; "/" in a container of its
  // own), and what its limit leaves. Its usage counts the page cache,
  // which the kernel gives back on demand (after a build, gigabytes): only
  // the rest is taken.
  std::string dir = "/sys/fs/cgroup";
  std::string self;
  if (ReadFile("/proc/self/cgroup", &self)) {
    const size_t at = self.find("0::/");
    if (at != std::string::npos && (at == 0 || self[at - 1] == '\n')) {
      std::string path = Trim(self.substr(at + 3, self.find('\n', at) - at - 3));
      if (path != "/") dir += path;
    }
  }
  std::string max, current, stat;
  if (ReadFile(dir + "/memory.max", &max) && ReadFile(dir + "/memory.current", &current) &&
      !max.empty() && isdigit(static_cast<unsigned char>(max[0]))) {
    const uint64_t limit = strtoull(max.c_str(), nullptr, 10);
    uint64_t used = strtoull(current.c_str(), nullptr, 10);
    if (ReadFile(dir + "/memory.stat", &stat)) {
      for (const char* key : {"\nactive_file ", "\ninactive_file "}) {
        const size_t at = ("\n" + stat).find(key);
        if (at == std::string::npos) continue;
        const uint64_t cache = strtoull(stat.c_str() + at + strlen(key) - 1, nullptr, 10);
        used -= std::min(used, cache);
      }
    }
    avail = std::min(avail, limit > used ? limit - used : 0);
  }
  return avail;
}

// What the cluster pyxbench starts holds, as measured (peak resident set
// and page tables against blocks written, with 1 to 16 block servers of 2
// to 8 threads): every 4 KiB block written costs its 4 KiB and its page's
// table entry (8 bytes), 1/512 more, plus its chunk's bookkeeping, far less;
// 1/256 covers both. The program itself takes about 14 MiB and 1.6 MiB per
// thread serving the cluster (20 MiB leaves room for a machine whose libraries
// take more), and holds a copy of the I/O in flight.
constexpr uint64_t kClusterBlockShare = 256;  // 1/256 more than the blocks
constexpr uint64_t kClusterProgramBase = 20ull << 20;
constexpr uint64_t kClusterPerThread = 2ull << 20;

MemoryNeed MemoryNeeded(const Options& o, uint64_t per_job) {
  MemoryNeed need;
  const uint64_t stride = (std::max<uint64_t>(o.bs_max, 65536) + 4095) / 4096 * 4096;
  need.buffers = stride * o.iodepth * o.numjobs;
  need.verify_state = o.verify ? VerifyStateBytes(o, per_job) * o.numjobs : 0;
  if (!o.config.empty()) return need;
  const uint64_t threads = static_cast<uint64_t>(o.block_servers) * o.sim_threads +
                           o.volume_managers + o.block_masters;
  need.cluster_program = kClusterProgramBase + kClusterPerThread * threads + need.buffers;
  // It keeps every block written in memory: a prefill writes the whole
  // range, a workload with writes may write all of it.
  if (o.prefill || HasWrites(o.rw)) {
    const uint64_t written = per_job * o.numjobs;
    need.cluster = written + written / kClusterBlockShare;
  }
  return need;
}

uint64_t ClusterBlockBudget(uint64_t bytes) {
  return bytes / (kClusterBlockShare + 1) * kClusterBlockShare;
}

std::string MemoryRefusal(const Options& o, const MemoryNeed& need, uint64_t available) {
  std::string text = "the run needs " + Mib(need.total()) + " of memory (";
  std::string sep;
  if (need.cluster != 0) {
    text += "the cluster's copy of what the run writes " + Mib(need.cluster) + ": " +
            (o.prefill ? "--prefill writes" : "the writes of --rw " + std::string(RwName(o.rw)) +
                                                  " may cover") +
            " all of --size " + SizeText(o.size);
    sep = "; ";
  }
  if (need.verify_state != 0) {
    text += sep + "--verify state " + Mib(need.verify_state) + ": 4 bytes per " +
            std::to_string(VerifyUnit(o)) + "-byte unit of --size " + SizeText(o.size) +
            " and a byte per 4 KiB";
    sep = "; ";
  }
  text += sep + "I/O buffers " + Mib(need.buffers) + " for --iodepth " +
          std::to_string(o.iodepth) + " x --numjobs " + std::to_string(o.numjobs);
  if (need.cluster_program != 0) {
    text += "; the cluster program " + Mib(need.cluster_program) + " for " +
            std::to_string(o.block_servers) + " block servers of " +
            std::to_string(o.sim_threads) + " threads and the I/O in flight";
  }
  text += ") and only " + Mib(available) + " are available";
  return text;
}

std::string IniValue(const std::string& ini, const std::string& key) {
  std::istringstream in(ini);
  std::string line, value;
  bool in_orla = false;
  while (std::getline(in, line)) {
    const std::string t = Trim(line);
    if (!t.empty() && t[0] == '[') {
      in_orla = t.compare(0, 5, "[ORLA") == 0;
      continue;
    }
    if (!in_orla || t.compare(0, key.size(), key) != 0 || t.size() == key.size()) continue;
    const char after = t[key.size()];
    if (after != ' ' && after != '\t' && after != '=') continue;
    std::string v = Trim(t.substr(key.size() + 1));
    if (!v.empty() && v[0] == '=') v = Trim(v.substr(1));
    value = v;
  }
  return value;
}

std::string ConfigProblem(const std::string& path, const std::string& text) {
  bool has_section = false;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (Trim(line).compare(0, 5, "[ORLA") == 0) has_section = true;
  }
  if (!has_section) {
    return path + " is not a driver configuration: it has no [ORLA] section";
  }
  if (IniValue(text, "volume_manager_ips").empty() ||
      IniValue(text, "volume_manager_ports").empty()) {
    return path + " names no volume manager: its [ORLA] section lacks volume_manager_ips or "
                  "volume_manager_ports";
  }
  // The driver pairs them by position.
  const size_t ips = Split(IniValue(text, "volume_manager_ips"), ',').size();
  const size_t ports = Split(IniValue(text, "volume_manager_ports"), ',').size();
  if (ips != ports) {
    return path + " names " + std::to_string(ips) + " volume manager addresses but " +
           std::to_string(ports) + " ports: volume_manager_ports needs one per address";
  }
  return "";
}

std::string UnreachableVolumeManagers(const std::string& ini, double timeout_s) {
  const std::vector<std::string> ips = Split(IniValue(ini, "volume_manager_ips"), ',');
  const std::vector<std::string> ports = Split(IniValue(ini, "volume_manager_ports"), ',');
  std::string why;
  // What cannot be probed is left to the driver to say.
  if (ips.empty() || ports.empty()) return "";
  for (size_t i = 0; i < ips.size(); ++i) {
    // One port for all, or one per address.
    const std::string& port = ports.size() == ips.size() ? ports[i] : ports.at(0);
    const std::string err = TryConnect(ips[i], port, timeout_s);
    if (err.empty()) return "";
    why += std::string(why.empty() ? "" : "; ") + "cannot reach the volume manager at " + ips[i] +
           ":" + port + " (" + err + ")";
  }
  return why;
}

std::vector<std::string> VolumeManagers(const std::string& ini) {
  const std::vector<std::string> ips = Split(IniValue(ini, "volume_manager_ips"), ',');
  const std::vector<std::string> ports = Split(IniValue(ini, "volume_manager_ports"), ',');
  std::vector<std::string> out;
  if (ports.empty()) return out;
  for (size_t i = 0; i < ips.size(); ++i) {
    out.push_back(ips[i] + ":" + (ports.size() == ips.size() ? ports[i] : ports[0]));
  }
  return out;
}

std::string VolumeManagersText(const std::string& ini) {
  std::string text;
  for (const std::string& vm : VolumeManagers(ini)) text += (text.empty() ? "" : ", ") + vm;
  const std::string timeout = IniValue(ini, "rpc_timeout");
  return "the volume managers at " + text + ", rpc_timeout " +
         (timeout.empty() ? "10000" : timeout) + " ms";
}

namespace {

// The rest of the driver's log line that starts with `mark` (without the
// source place the logger adds), or "" when no line has it.
std::string AfterMark(const std::string& log, const std::string& mark) {
  const size_t at = log.find(mark);
  if (at == std::string::npos) return "";
  const size_t from = at + mark.size();
  std::string rest = log.substr(from, log.find('\n', from) - from);
  const size_t place = rest.rfind(" - ");
  if (place != std::string::npos) rest.erase(place);
  return Trim(rest);
}

}  // namespace

std::string DriverLogReason(const std::string& log_dir, const std::string& disk,
                            const std::string& ini) {
  std::string log;
  if (DIR* dir = opendir(log_dir.c_str())) {
    while (dirent* e = readdir(dir)) {
      const std::string name = e->d_name;
      if (name.compare(0, 9, "pyxdriver") != 0 && name != "stdio.log") continue;
      std::string text;
      if (ReadFile(log_dir + "/" + name, &text)) log += text;
    }
    closedir(dir);
  }
  // A step whose call failed as a call (no answer within the RPC timeout,
  // a connection gone) names the call's error; an answer that refused it
  // names its code.
  const std::string cluster = VolumeManagersText(ini);
  for (const auto& step : {std::make_pair("get size of vdi " + disk + " failed: ", "size query"),
                           std::make_pair("Failed to register vdi " + disk + " err: ",
                                          "registration")}) {
    const std::string said = AfterMark(log, step.first);
    if (said.empty()) continue;
    if (said.find("timeout") != std::string::npos) {
      return "the cluster did not answer within its time: no answer to the " +
             std::string(step.second) + " of disk " + disk + " (" + cluster + ")";
    }
    return "the cluster did not answer the " + std::string(step.second) + " of disk " + disk +
           ": " + said + " (" + cluster + ")";
  }
  const std::string locate = AfterMark(log, "can not get blockmaster ip;");
  if (locate.find("cntl error text:rpc timeout") != std::string::npos) {
    return "the cluster did not answer within its time: no answer to where disk " + disk +
           "'s block master is (" + cluster + ")";
  }
  // The bring-up asks a volume manager for the disk's size, then where its
  // block master is, registers the disk and asks for its routes.
  if (log.find("vdisk size:") == std::string::npos) {
    if (log.find("-10006") != std::string::npos || log.find("vdisk not found") != std::string::npos) {
      return "no such disk: the cluster's volume managers know no disk named " + disk;
    }
    if (log.find("get disk size failed") != std::string::npos || !log.empty()) {
      return "the volume managers gave no size for disk " + disk + " (no such disk?)";
    }
  }
  if (log.find("can not get blockmaster ip") != std::string::npos) {
    return "the volume managers could not say where disk " + disk + "'s block master is";
  }
  if (log.find("Failed to register vdi") != std::string::npos) {
    return "the volume managers did not register disk " + disk;
  }
  if (log.find("HandleQueryRouteResponse failed") != std::string::npos) {
    return "no block master gave disk " + disk + "'s routes";
  }
  return "";
}

std::vector<std::string> DriverLogFiles(const std::string& log_dir, const std::string& ini) {
  std::string base = IniValue(ini, "log_file");
  if (base.empty()) base = log_dir + "/pyxdriver";
  const size_t slash = base.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : base.substr(0, slash);
  const std::string prefix = slash == std::string::npos ? base : base.substr(slash + 1);
  // The library names each file LOG_FILE.<time>.<host>.<pid>.log: the
  // folder may hold other processes' (earlier runs, other hosts sharing a
  // log_file), whose lines say nothing of this one.
  const std::string own = "." + std::to_string(getpid()) + ".log";
  std::vector<std::string> files = {log_dir + "/stdio.log"};
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d)) {
      const std::string name = e->d_name;
      if (!prefix.empty() && name.compare(0, prefix.size(), prefix) == 0 &&
          name.size() >= prefix.size() + own.size() &&
          name.compare(name.size() - own.size(), own.size(), own) == 0) {
        files.push_back(dir + "/" + name);
      }
    }
    closedir(d);
  }
  std::sort(files.begin() + 1, files.end());
  return files;
}

namespace {

// The lines of the driver's logs at `level` ("ERROR", "WARN"), each once,
// without the time stamp and thread before it.
std::vector<std::string> LoggedLines(const std::vector<std::string>& files, const char* level) {
  const std::string mark = std::string(" ") + level + " ";
  std::vector<std::string> lines;
  for (const std::string& path : files) {
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
      const size_t at = line.find(mark);
      if (at == std::string::npos) continue;
      const std::string said = Trim(line.substr(at + mark.size()));
      if (std::find(lines.begin(), lines.end(), said) == lines.end()) lines.push_back(said);
    }
  }
  return lines;
}

// Of many lines the first (the cause) and the last (the outcome), each on
// a line of its own.
std::string Listed(std::vector<std::string> lines) {
  constexpr size_t kFirstLines = 4;
  constexpr size_t kLastLines = 3;
  if (lines.size() > kFirstLines + kLastLines) {
    lines.erase(lines.begin() + kFirstLines, lines.end() - kLastLines);
    lines.insert(lines.begin() + kFirstLines, "...");
  }
  std::string out;
  for (const std::string& line : lines) out += "\n  " + line;
  return out;
}

}  // namespace

std::string LibraryStartErrors(const std::string& log_dir, const std::string& ini,
                               double wait_s) {
  // The library flushes its log before it returns, within a bound of its
  // own: on a busy machine the lines may land a moment later.
  std::vector<std::string> files;
  std::vector<std::string> errors;
  for (double waited = 0;; waited += 0.05) {
    files = DriverLogFiles(log_dir, ini);
    errors = LoggedLines(files, "ERROR");
    if (!errors.empty() || waited >= wait_s) break;
    usleep(50 * 1000);
  }
  if (!errors.empty()) return Listed(errors);
  const std::vector<std::string> warnings = LoggedLines(files, "WARN");
  std::string base = IniValue(ini, "log_file");
  if (base.empty()) base = log_dir + "/pyxdriver";
  std::string text = "\n  it logged no ERROR line within " +
                     std::to_string(static_cast<int>(wait_s)) + " s (in " + files[0] + " and " +
                     base + "*)";
  if (!warnings.empty()) text += "; its warnings:" + Listed(warnings);
  return text;
}

std::string RefusedWritesReason(const std::string& log_dir, const std::string& ini,
                                bool started_cluster) {
  std::string sim_log;
  if (started_cluster && ReadFile(log_dir + "/pyxsim.out", &sim_log)) {
    const size_t at = sim_log.find("pyxsim: memory budget");
    if (at != std::string::npos) {
      return sim_log.substr(at + 8, sim_log.find('\n', at) - at - 8);
    }
  }
  const std::string mark = "async write failed. Retcode: ";
  for (const std::string& path : DriverLogFiles(log_dir, ini)) {
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
      const size_t at = line.find(mark);
      if (at == std::string::npos) continue;
      // "-1028|Errmsg: memory budget of the cluster spent|vdi name:..."
      const std::string rest = line.substr(at + mark.size());
      const std::string code = rest.substr(0, rest.find('|'));
      const size_t msg = rest.find("|Errmsg: ");
      const std::string text =
          msg == std::string::npos ? "" : rest.substr(msg + 9, rest.find('|', msg + 9) - msg - 9);
      return (text.empty() ? "a write failed" : text) + " (retcode " + code +
             ", as the driver's log says)";
    }
  }
  return "";
}

}  // namespace pyxbench
