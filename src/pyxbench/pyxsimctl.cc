// pyxsimctl: one control request to a running pyxsim program.
//
//   pyxsimctl --port P [--ip IP] ping
//   pyxsimctl --port P random-faults --seed N [--retcode P] [--delay P]
//             [--delay-ms N] [--close P] [--interval-ms N] [--route-moves]
//             [--restarts] [--failovers] [--down-ms N]
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
// 1 when the cluster refused or could not be reached, 2 on a bad command.
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

int Usage() {
  fprintf(stderr,
          "usage: pyxsimctl --port P [--ip IP] ping | random-faults [rates] | "
          "stop-random-faults | random-stats | disk NAME | stop|start|restart vm|bm|bs INDEX | "
          "primary-block-master INDEX | read-stored DISK OFFSET LEN FILE | "
          "write-stored DISK OFFSET FILE\n");
  return 2;
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

  // The answer is all this prints; the client's own lines only when wrong.
  plinth::Logger::setLogLevel("warning");
  pyxsim::ControlClient ctl(ip, static_cast<uint16_t>(port), ip.find(':') != std::string::npos);
  if (ctl.Connect() != 0) {
    fprintf(stderr, "pyxsimctl: cannot reach %s:%d\n", ip.c_str(), port);
    return 1;
  }
  const std::string& cmd = rest[0];
  if (cmd == "ping") {
    const int rc = ctl.Ping();
    printf("rc=%d\n", rc);
    return rc == 0 ? 0 : 1;
  }
  if (cmd == "random-faults") {
    pyxsim::RandomFaultRates rates;
    uint64_t seed = 1;
    for (size_t i = 1; i < rest.size(); ++i) {
      const std::string& a = rest[i];
      const char* v = i + 1 < rest.size() ? rest[i + 1].c_str() : nullptr;
      if (a == "--route-moves") {
        rates.route_moves = true;
      } else if (a == "--restarts") {
        rates.restarts = true;
      } else if (a == "--failovers") {
        rates.failovers = true;
      } else if (v == nullptr) {
        return Usage();
      } else if (a == "--seed") {
        seed = strtoull(v, nullptr, 0), ++i;
      } else if (a == "--retcode") {
        rates.retcode = atof(v), ++i;
      } else if (a == "--delay") {
        rates.delay = atof(v), ++i;
      } else if (a == "--delay-ms") {
        rates.delay_ms = atoi(v), ++i;
      } else if (a == "--close") {
        rates.close = atof(v), ++i;
      } else if (a == "--interval-ms") {
        rates.event_interval_ms = atoi(v), ++i;
      } else if (a == "--down-ms") {
        rates.down_ms = atoi(v), ++i;
      } else {
        return Usage();
      }
    }
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
