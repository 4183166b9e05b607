// The shadow-model scenarios over RDMA (tests/driver/shadow_model.h): the
// driver with is_tcp off, its I/O on "pyx-polling-" workers, against block
// servers that serve over the emulated verbs device, with and without the
// shared receive queue, with recv_buff_size absent and set. Every scenario
// runs in a child of its own.
#include <algorithm>
#include <ostream>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "driver/shadow_model.h"
#include "support/child.h"

namespace shadow {

void PrintTo(const Scenario& s, std::ostream* os) { *os << s.name; }

// Polling workers spin: the drivers' and the two block servers' together
// stay within the machine (one driver on a two-core one).
int Drivers() {
  const int cores = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  return std::max(1, std::min(4, cores - 2));
}

class RdmaShadowModelTest : public ::testing::TestWithParam<Scenario> {};

TEST_P(RdmaShadowModelTest, EveryReadMatchesTheModel) {
  Scenario s = GetParam();
  s.drivers = Drivers();
  testsupport::ChildResult r = testsupport::RunInChild([&] { return RunScenario(s); }, 240);
  ASSERT_TRUE(r.ok()) << testsupport::Describe(r);
  const size_t at = r.output.find("scenario " + std::string(s.name) + ":");
  ASSERT_NE(at, std::string::npos) << r.output;
  printf("%s (%d drivers)\n", r.output.substr(at, r.output.find('\n', at) - at).c_str(),
         s.drivers);
}

INSTANTIATE_TEST_SUITE_P(
    Scenarios, RdmaShadowModelTest,
    ::testing::Values(
        // name, drivers (see Drivers), host threads, crc, faults, iodepth, seconds,
        // rdma, is_soc, recv_buff_size
        Scenario{"rdma_srq", 0, 2, true, false, 8, 3, true, false, 0},
        Scenario{"rdma_soc", 0, 2, false, false, 8, 3, true, true, 272},
        Scenario{"rdma_faults", 0, 2, false, true, 8, 3, true, false, 0}),
    [](const ::testing::TestParamInfo<Scenario>& info) { return std::string(info.param.name); });

}  // namespace shadow
