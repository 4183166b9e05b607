// The shadow-model scenarios over TCP (tests/driver/shadow_model.h); every
// scenario runs in a child of its own.
#include "driver/shadow_model.h"

#include <ostream>
#include <string>

#include <gtest/gtest.h>

#include "support/child.h"

namespace shadow {

void PrintTo(const Scenario& s, std::ostream* os) { *os << s.name; }

class ShadowModelTest : public ::testing::TestWithParam<Scenario> {};

TEST_P(ShadowModelTest, EveryReadMatchesTheModel) {
  const Scenario s = GetParam();
  testsupport::ChildResult r = testsupport::RunInChild([&] { return RunScenario(s); }, 240);
  ASSERT_TRUE(r.ok()) << testsupport::Describe(r);
  // The closing line names what ran, so a pass that checked nothing shows.
  const size_t at = r.output.find("scenario " + std::string(s.name) + ":");
  ASSERT_NE(at, std::string::npos) << r.output;
  printf("%s\n", r.output.substr(at, r.output.find('\n', at) - at).c_str());
}

INSTANTIATE_TEST_SUITE_P(
    Scenarios, ShadowModelTest,
    ::testing::Values(
        // name, drivers, host threads, crc, faults, iodepth, seconds
        Scenario{"plain", 2, 2, false, false, 8, 3},
        Scenario{"crc", 4, 3, true, false, 8, 3},
        Scenario{"one_driver_deep", 1, 2, false, false, 32, 2},
        Scenario{"faults", 4, 3, false, true, 8, 4},
        Scenario{"faults_crc", 3, 2, true, true, 8, 4}),
    [](const ::testing::TestParamInfo<Scenario>& info) { return std::string(info.param.name); });

}  // namespace shadow
