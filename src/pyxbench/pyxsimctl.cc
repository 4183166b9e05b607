// pyxsimctl: one control request to a running pyxsim program.
//
//   pyxsimctl --port P [--ip IP] ping
//   pyxsimctl --port P random-faults [--seed N] [--retcode P] [--delay P
//             --delay-ms MS] [--close P] [--interval-ms MS [--route-moves]
//             [--restarts] [--failovers] [--down-ms MS]]
//   pyxsimctl --port P stop-random-faults
//   pyxsimctl --port P random-stats
//   pyxsimctl --port P disk NAME
//   pyxsimctl --port P stop|start|restart vm|bm|bs INDEX
//   pyxsimctl --port P primary-block-master INDEX
//   pyxsimctl --port P read-stored DISK OFFSET LEN FILE
//   pyxsimctl --port P write-stored DISK OFFSET FILE
//
// stop takes a server down (its port refuses connections), start brings a
// stopped one up again on its port, restart does both (what the cluster
// stores stays); primary-block-master fails the block masters over to INDEX;
// read-stored and write-stored copy a disk's stored bytes to and from FILE
// behind the clients' backs (write-stored: offset and size 4 KiB aligned,
// at most 16 MiB).
//
// Prints its answer as "key=value" words on one line; exits 0 on success,
// 1 when the cluster refused or could not be reached, 2 on a bad command
// (random-faults that would fault nothing among them).
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "pyxsim/control_client.h"
#include "tarn/base/logging.h"

namespace {

using ull = unsigned long long;

const char kUsage[] =
    "usage: pyxsimctl --port P [--ip IP] COMMAND, COMMAND one of\n"
    "  ping\n"
    "  random-faults [--seed N] [--retcode P] [--delay P --delay-ms MS] [--close P]\n"
    "                [--interval-ms MS [--route-moves] [--restarts] [--failovers]\n"
    "                [--down-ms MS]]\n"
    "      P: the chance of that fault on each block-server read or write, 0 to 1;\n"
    "      one cluster event every --interval-ms among those named (--down-ms: how\n"
    "      long a server stays down, 200); at least one fault kind\n"
    "  stop-random-faults\n"
    "  random-stats\n"
    "  disk NAME\n"
    "  stop|start|restart vm|bm|bs INDEX\n"
    "  primary-block-master INDEX\n"
    "  read-stored DISK OFFSET LEN FILE\n"
    "  write-stored DISK OFFSET FILE\n";

int Usage() {
  fputs(kUsage, stderr);
  return 2;
}

int Refuse(const std::string& why) {
  fprintf(stderr, "pyxsimctl: random-faults: %s\n", why.c_str());
  return Usage();
}

bool ParseRate(const char* text, double* out) {
  char* end = nullptr;
  const double v = strtod(text, &end);
  if (end == text || *end != '\0' || !(v >= 0 && v <= 1)) return false;
  *out = v;
  return true;
}

bool ParseMs(const char* text, int* out) {
  char* end = nullptr;
  const long v = strtol(text, &end, 10);
  if (end == text || *end != '\0' || v < 1 || v > 3600000) return false;
  *out = static_cast<int>(v);
  return true;
}

// The random-faults arguments into `rates`; "" when they fault something,
// else why not.
std::string ParseRandomFaults(const std::vector<std::string>& args, uint64_t* seed,
                              pyxsim::RandomFaultRates* rates) {
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--route-moves") {
      rates->route_moves = true;
      continue;
    }
    if (a == "--restarts") {
      rates->restarts = true;
      continue;
    }
    if (a == "--failovers") {
      rates->failovers = true;
      continue;
    }
    if (i + 1 >= args.size()) return a + " needs a value";
    const char* v = args[++i].c_str();
    bool ok = true;
    if (a == "--seed") {
      // strtoull takes "-1" (as 2^64-1) and saturates past the top.
      char* end = nullptr;
      errno = 0;
      *seed = strtoull(v, &end, 0);
      ok = end != v && *end == '\0' && errno == 0 && strchr(v, '-') == nullptr;
    } else if (a == "--retcode") {
      ok = ParseRate(v, &rates->retcode);
    } else if (a == "--delay") {
      ok = ParseRate(v, &rates->delay);
    } else if (a == "--close") {
      ok = ParseRate(v, &rates->close);
    } else if (a == "--delay-ms") {
      ok = ParseMs(v, &rates->delay_ms);
    } else if (a == "--interval-ms") {
      ok = ParseMs(v, &rates->event_interval_ms);
    } else if (a == "--down-ms") {
      ok = ParseMs(v, &rates->down_ms);
    } else {
      return "unknown option " + a;
    }
    if (!ok) {
      const bool rate = a == "--retcode" || a == "--delay" || a == "--close";
      return "bad value '" + std::string(v) + "' for " + a + ": allowed " +
             (rate ? "0 to 1" : a == "--seed" ? "0 to 2^64-1" : "1 to 3600000 ms");
    }
  }
  const bool events = rates->route_moves || rates->restarts || rates->failovers;
  if (events && rates->event_interval_ms == 0) {
    return "--route-moves, --restarts and --failovers happen one every --interval-ms MS: give it";
  }
  if (rates->event_interval_ms != 0 && !events) {
    return "--interval-ms paces cluster events: name them (--route-moves, --restarts, "
           "--failovers)";
  }
  if (rates->delay > 0 && rates->delay_ms == 0) return "--delay holds answers --delay-ms MS: give it";
  if (rates->retcode == 0 && rates->delay == 0 && rates->close == 0 && !events) {
    return "no fault given, nothing would change: give at least one of --retcode P, --delay P "
           "--delay-ms MS, --close P, or --interval-ms MS with --route-moves, --restarts or "
           "--failovers";
  }
  return "";
}

void PrintStats(const pyxsim::RandomFaultStats& s) {
  printf("retcodes=%llu delays=%llu closes=%llu route_moves=%llu restarts=%llu failovers=%llu\n",
         static_cast<ull>(s.retcodes), static_cast<ull>(s.delays), static_cast<ull>(s.closes),
         static_cast<ull>(s.route_moves), static_cast<ull>(s.restarts),
         static_cast<ull>(s.failovers));
}

bool ParseRole(const std::string& text, pyxsim::Role* role) {
  if (text == "vm") {
    *role = pyxsim::Role::kVolumeManager;
  } else if (text == "bm") {
    *role = pyxsim::Role::kBlockMaster;
  } else if (text == "bs") {
    *role = pyxsim::Role::kBlockServer;
  } else {
    return false;
  }
  return true;
}

// A whole decimal number, nothing after it, at most `max`: a number out of
// range is refused, never cut down to another (server 4294967296 is not 0).
bool ParseNumber(const std::string& text, uint64_t* out, uint64_t max = UINT64_MAX) {
  if (text.empty() || text[0] < '0' || text[0] > '9') return false;
  char* end = nullptr;
  errno = 0;
  *out = strtoull(text.c_str(), &end, 10);
  return *end == '\0' && errno == 0 && *out <= max;
}

int Answer(int rc) {
  printf("rc=%d\n", rc);
  return rc == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  std::string ip = "127.0.0.1";
  int port = 0;
  std::vector<std::string> rest;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--port" && i + 1 < argc) {
      port = atoi(argv[++i]);
    } else if (a == "--ip" && i + 1 < argc) {
      ip = argv[++i];
    } else {
      rest.push_back(a);
    }
  }
  if (port <= 0 || port > 65535 || rest.empty()) return Usage();
  const std::string& cmd = rest[0];
  // Checked before the cluster is asked anything.
  uint64_t seed = 1;
  pyxsim::RandomFaultRates rates;
  if (cmd == "random-faults") {
    const std::string why = ParseRandomFaults({rest.begin() + 1, rest.end()}, &seed, &rates);
    if (!why.empty()) return Refuse(why);
  }

  // The answer is all this prints; the client's own lines only when wrong.
  plinth::Logger::setLogLevel("warning");
  pyxsim::ControlClient ctl(ip, static_cast<uint16_t>(port), ip.find(':') != std::string::npos);
  if (ctl.Connect() != 0) {
    fprintf(stderr, "pyxsimctl: cannot reach %s:%d\n", ip.c_str(), port);
    return 1;
  }
  if (cmd == "ping") {
    const int rc = ctl.Ping();
    printf("rc=%d\n", rc);
    return rc == 0 ? 0 : 1;
  }
  if (cmd == "random-faults") {
    const int rc = ctl.SetRandomFaults(seed, rates);
    printf("rc=%d\n", rc);
    return rc == 0 ? 0 : 1;
  }
  if (cmd == "stop-random-faults" || cmd == "random-stats") {
    pyxsim::RandomFaultStats stats;
    const int rc = cmd == "random-stats" ? ctl.GetRandomStats(&stats)
                                         : ctl.StopRandomFaults(&stats);
    if (rc != 0) {
      printf("rc=%d\n", rc);
      return 1;
    }
    PrintStats(stats);
    return 0;
  }
  if (cmd == "disk" && rest.size() == 2) {
    pyxsim::DiskInfo info;
    const int rc = ctl.GetDisk(rest[1], &info);
    if (rc != 0) {
      printf("rc=%d\n", rc);
      return 1;
    }
    printf("name=%s uuid=%s size=%llu dgs=%llu route_term=%llu planes=%llu\n", info.name.c_str(),
           info.uuid.c_str(), static_cast<ull>(info.size), static_cast<ull>(info.dgs),
           static_cast<ull>(info.route_term), static_cast<ull>(info.planes));
    return 0;
  }
  uint64_t index = 0;
  pyxsim::Role role;
  if ((cmd == "stop" || cmd == "start" || cmd == "restart") && rest.size() == 3 &&
      ParseRole(rest[1], &role) && ParseNumber(rest[2], &index, INT_MAX)) {
    const int i = static_cast<int>(index);
    if (cmd == "stop") return Answer(ctl.StopServer(role, i));
    // A server already stopped is only started.
    if (cmd == "restart") ctl.StopServer(role, i);
    return Answer(ctl.RestartServer(role, i));
  }
  if (cmd == "primary-block-master" && rest.size() == 2 && ParseNumber(rest[1], &index, INT_MAX)) {
    return Answer(ctl.SetPrimaryBlockMaster(static_cast<int>(index)));
  }
  uint64_t offset = 0, len = 0;
  if (cmd == "read-stored" && rest.size() == 5 && ParseNumber(rest[2], &offset) &&
      ParseNumber(rest[3], &len)) {
    std::string data;
    const int rc = ctl.ReadStored(rest[1], offset, len, &data);
    if (rc == 0) {
      std::ofstream f(rest[4], std::ios::binary | std::ios::trunc);
      f.write(data.data(), static_cast<std::streamsize>(data.size()));
      if (!f.flush()) {
        fprintf(stderr, "pyxsimctl: cannot write %s\n", rest[4].c_str());
        return 1;
      }
    }
    return Answer(rc);
  }
  if (cmd == "write-stored" && rest.size() == 4 && ParseNumber(rest[2], &offset)) {
    std::ifstream f(rest[3], std::ios::binary);
    std::stringstream data;
    data << f.rdbuf();
    if (!f) {
      fprintf(stderr, "pyxsimctl: cannot read %s\n", rest[3].c_str());
      return 1;
    }
    return Answer(ctl.WriteStored(rest[1], offset, data.str()));
  }
  return Usage();
}
