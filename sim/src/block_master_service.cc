// Block masters: the primary answers a disk's plane routes, die by die and
// plane by plane inside a die, so that the position of a route in the answer
// is the plane number of Geometry::PlaneOf.
#include <cstring>

#include "service_call.h"
#include "services.h"

namespace pyxsim {

namespace {

void FillEndpoint(const ClusterState& state, uint32_t port, vovorav::BlockServerEndpoint* ep) {
  if (state.options.ipv6) {
    Ipv6Addr* ip6 = ep->mutable_ipv6();
    for (int i = 0; i < 4; ++i) ip6->add_ip(state.ip6()[i]);
  } else {
    ep->set_ip(state.ip4());
  }
  ep->set_port(port);
}

void FillRoutes(const ClusterState& state, Disk* disk,
                vovorav::BlockMasterQueryPlaneRouteResponse* response) {
  const Geometry& geo = state.options.geometry;
  // The term first: routes read after it are at least as new, and a request
  // that carries it to a moved plane is refused and refreshed.
  response->mutable_route_term()->set_term(disk->term.load());
  vovorav::DieUnitBasicParams* basic = response->mutable_basic();
  basic->set_die_unit_capacity(geo.die_unit_capacity);
  basic->set_die_capacity(geo.die_capacity);
  basic->set_plane_capacity(geo.plane_capacity);
  basic->set_block_capacity(geo.block_capacity);
  const uint64_t per_die = geo.planes_per_die();
  std::vector<uint32_t> ports;
  for (int i = 0; i < state.count(Role::kBlockServer); ++i) {
    ports.push_back(state.slot(Role::kBlockServer, i)->port());
  }
  for (uint64_t die = 0; die * per_die < disk->planes; ++die) {
    vovorav::PlaneRouteInDie* in_die = response->add_routes();
    in_die->mutable_die_id()->set_start_lba(die * geo.die_capacity);
    in_die->set_die_start_lba(die * geo.die_capacity);
    for (uint64_t j = 0; j < per_die; ++j) {
      const uint64_t plane = die * per_die + j;
      vovorav::PlaneRouteDetail* detail = in_die->add_route();
      detail->mutable_plane_id()->set_start_lba(geo.PlaneStart(plane));
      detail->set_hash_idx(static_cast<uint32_t>(plane));
      const bool routed = !disk->unrouted[plane].load();
      FillEndpoint(state, routed ? ports[disk->owner[plane].load()] : 0,
                   detail->mutable_endpoint());
    }
  }
}

}  // namespace

void BlockMasterServiceImpl::QueryPlaneRoute(
    google::protobuf::RpcController* cntl, const vovorav::BlockMasterQueryPlaneRouteRequest* request,
    vovorav::BlockMasterQueryPlaneRouteResponse* response, google::protobuf::Closure* done) {
  static const int kMethod = MethodIndex<vovorav::BlockMasterService>("QueryPlaneRoute");
  ServeCall(slot_, kMethod, cntl, done, [&](tarn::RpcController*, const Verdict& verdict) {
    ResultCode* rc = response->mutable_rc();
    if (verdict.kind == Verdict::kRetcode) {
      rc->set_retcode(verdict.retcode);
    } else if (slot_->index() != state_->primary_block_master.load()) {
      rc->set_retcode(kRcNotLeader);
      rc->set_errmsg("not leader");
    } else if (Disk* disk = ServableDisk(state_->disks.ByUuid(request->vdi().id()), rc)) {
      rc->set_retcode(kRcOk);
      FillRoutes(*state_, disk, response);
    }
  });
}

}  // namespace pyxsim
