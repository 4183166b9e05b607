// What a driver takes from a route answer: the routes, the term it sends
// and checks answers against, and the geometry by which it finds an I/O's
// plane in those routes.
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "driver/io_fixture.h"

namespace {

using iotest::DriverTest;
using iotest::Pattern;
using iotest::TestIo;

constexpr uint64_t kMiB = 1 << 20;

class IoRoutesTest : public DriverTest {
 protected:
  // One die of 16 planes of 1 MiB, blocks of 1 MiB: plane p holds bytes
  // p MiB to p + 1 MiB. Only plane `routed` has a route, to the test's
  // block server.
  std::shared_ptr<vovorav::BlockMasterQueryPlaneRouteResponse> OneRoute(uint64_t term,
                                                                        uint64_t routed) {
    std::shared_ptr<vovorav::BlockMasterQueryPlaneRouteResponse> resp = Routes(kPlanes, 0);
    resp->mutable_route_term()->set_term(term);
    vovorav::DieUnitBasicParams* g = resp->mutable_basic();
    g->set_die_unit_capacity(64 * 1024 * kMiB);
    g->set_die_capacity(kPlanes * kMiB);
    g->set_plane_capacity(kMiB);
    g->set_block_capacity(kMiB);
    resp->mutable_routes(0)->mutable_route(static_cast<int>(routed))->mutable_endpoint()->set_port(
        port_);
    return resp;
  }
  void Take(std::shared_ptr<vovorav::BlockMasterQueryPlaneRouteResponse> resp) {
    driver()->UpdateRouteCache(name_, resp);
    OnLoop([] {});  // the copy has run
  }
};

// send_pyx_io placed the read by a geometry the record held for a moment
// (plane 0); this driver's routes are of the geometry that puts it on
// plane 5, and it is read from there.
TEST_F(IoRoutesTest, AnIoIsPlacedByTheGeometryOfTheDriversOwnRoutes) {
  StartDrivers();
  Take(OneRoute(7, 5));
  const std::string data = Pattern(4096, 3);
  bs_.Store(5 * kMiB + 8192, data);
  TestIo* t = NewRead(5 * kMiB + 8192, 4096);
  t->io()->plane = 0;
  Submit(t);
  ASSERT_TRUE(WaitDone(t));
  EXPECT_EQ(t->io()->status, 0);
  EXPECT_EQ(t->data(), data);
  EXPECT_EQ(t->io()->plane, 5u);
}

// The term the driver sends and checks answers against is the one of the
// routes it holds: both change in the one copy on its loop.
TEST_F(IoRoutesTest, TheDriversTermChangesWithItsRoutes) {
  StartDrivers();
  Take(OneRoute(9, 5));
  EXPECT_EQ(pyx::Load(disk_->route_term[0]), 9u);
  Take(OneRoute(10, 6));
  EXPECT_EQ(pyx::Load(disk_->route_term[0]), 10u);
  OnLoop([&] {
    EXPECT_EQ(driver()->route_of(name_, 5)->endpoint().port(), 0u);
    EXPECT_EQ(driver()->route_of(name_, 6)->endpoint().port(), port_);
  });
  // A read now carries term 10 to plane 6's server.
  bs_.set_term(10);
  TestIo* t = NewRead(6 * kMiB, 4096);
  Submit(t);
  ASSERT_TRUE(WaitDone(t));
  EXPECT_EQ(t->io()->status, 0);
  ASSERT_FALSE(bs_.requests().empty());
  EXPECT_EQ(bs_.requests().back().term, 10u);
}

}  // namespace
