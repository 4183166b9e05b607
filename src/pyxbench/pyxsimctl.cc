// pyxsimctl: one control request to a running pyxsim program.
//
//   pyxsimctl --port P [--ip IP] ping
//   pyxsimctl --port P random-faults --seed N [--retcode P] [--delay P]
//             [--delay-ms N] [--close P] [--interval-ms N] [--route-moves]
//             [--restarts] [--failovers] [--down-ms N]
//   pyxsimctl --port P stop-random-faults
//   pyxsimctl --port P random-stats
//   pyxsimctl --port P disk NAME
//
// Prints its answer as "key=value" words on one line; exits 0 on success,
// 1 when the cluster refused or could not be reached, 2 on a bad command.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "pyxsim/control_client.h"
#include "tarn/base/logging.h"

namespace {

using ull = unsigned long long;

int Usage() {
  fprintf(stderr,
          "usage: pyxsimctl --port P [--ip IP] ping | random-faults [rates] | "
          "stop-random-faults | random-stats | disk NAME\n");
  return 2;
}

void PrintStats(const pyxsim::RandomFaultStats& s) {
  printf("retcodes=%llu delays=%llu closes=%llu route_moves=%llu restarts=%llu failovers=%llu\n",
         static_cast<ull>(s.retcodes), static_cast<ull>(s.delays), static_cast<ull>(s.closes),
         static_cast<ull>(s.route_moves), static_cast<ull>(s.restarts),
         static_cast<ull>(s.failovers));
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
  return Usage();
}
