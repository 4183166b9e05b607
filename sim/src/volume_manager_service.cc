// Volume managers: every one of them knows every disk (by name) and answers
// for it; the cluster's block masters and block servers are all named in a
// disk's location.
#include <arpa/inet.h>

#include "service_call.h"
#include "services.h"

namespace pyxsim {

namespace {

ClusterState::Registration ClientOf(const ClusterState& state, const ClientInfo& info) {
  ClusterState::Registration reg;
  if (info.has_endpoint_v6()) {
    reg.ip = info.endpoint_v6().ipv6();
    reg.port = info.endpoint_v6().port();
    reg.ipv6 = true;
  } else {
    in_addr addr;
    addr.s_addr = info.endpoint().ip();
    reg.ip = inet_ntoa(addr);
    reg.port = info.endpoint().port();
  }
  reg.text = state.EndpointText(reg.ip, reg.port);
  return reg;
}

// Where a disk is: the cluster's block masters (the primary marked) and
// block servers.
void FillLocation(const ClusterState& state, const Disk& disk,
                  volume::VolumeManagerLocateVdiResponse* response) {
  response->set_cluster_id(1);
  response->set_cluster_uuid("pyxsim");
  response->set_vdi_uuid(disk.uuid);
  response->set_dgs(disk.dgs.load());
  const ClusterOptions& opt = state.options;
  const int primary = state.primary_block_master.load();
  for (int i = 0; i < state.count(Role::kBlockMaster); ++i) {
    const uint32_t port = state.slot(Role::kBlockMaster, i)->port();
    const bool is_primary = i == primary;
    if (opt.ipv6) {
      MemberIPv6Info* member = response->add_blockmasters_v6();
      member->set_ipv6(opt.ip);
      member->set_port(port);
      member->set_role(is_primary ? MemberIPv6Info::PRIMARY : MemberIPv6Info::SLAVERY);
    } else {
      MemberInfo* member = response->add_blockmasters();
      member->set_ip(state.ip4());
      member->set_port(port);
      member->set_role(is_primary ? MemberInfo::PRIMARY : MemberInfo::SLAVERY);
    }
  }
  for (int i = 0; i < state.count(Role::kBlockServer); ++i) {
    const uint32_t port = state.slot(Role::kBlockServer, i)->port();
    if (opt.ipv6) {
      MemberIPv6Endpoint* member = response->add_blocksvrs_v6();
      member->set_ipv6(opt.ip);
      member->set_port(port);
    } else {
      MemberEndpoint* member = response->add_blocksvrs();
      member->set_ip(state.ip4());
      member->set_port(port);
    }
  }
}

}  // namespace

template <typename Request, typename Response, typename Answer>
void VolumeManagerServiceImpl::ServeDiskCall(int method, google::protobuf::RpcController* cntl,
                                             const Request* request, Response* response,
                                             google::protobuf::Closure* done, Answer answer) {
  ServeCall(slot_, method, cntl, done, [&](tarn::RpcController*, const Verdict& verdict) {
    ResultCode* rc = response->mutable_rc();
    if (verdict.kind == Verdict::kRetcode) {
      rc->set_retcode(verdict.retcode);
    } else if (Disk* disk = ServableDisk(state_->disks.ByName(request->vdi().id()), rc)) {
      rc->set_retcode(kRcOk);
      answer(disk);
    }
  });
}

void VolumeManagerServiceImpl::GetVdiSize(google::protobuf::RpcController* cntl,
                                          const volume::VolumeManagerGetVdiSizeRequest* request,
                                          volume::VolumeManagerGetVdiSizeResponse* response,
                                          google::protobuf::Closure* done) {
  static const int kMethod = MethodIndex<volume::VolumeManagerService>("GetVdiSize");
  ServeDiskCall(kMethod, cntl, request, response, done,
                [response](Disk* disk) { response->set_size(disk->size); });
}

void VolumeManagerServiceImpl::LocateVdi(google::protobuf::RpcController* cntl,
                                         const volume::VolumeManagerLocateVdiRequest* request,
                                         volume::VolumeManagerLocateVdiResponse* response,
                                         google::protobuf::Closure* done) {
  static const int kMethod = MethodIndex<volume::VolumeManagerService>("LocateVdi");
  ServeDiskCall(kMethod, cntl, request, response, done,
                [this, response](Disk* disk) { FillLocation(*state_, *disk, response); });
}

void VolumeManagerServiceImpl::RegisterVdi(google::protobuf::RpcController* cntl,
                                           const volume::VolumeManagerRegisterVdiRequest* request,
                                           volume::VolumeManagerRegisterVdiResponse* response,
                                           google::protobuf::Closure* done) {
  static const int kMethod = MethodIndex<volume::VolumeManagerService>("RegisterVdi");
  ServeDiskCall(kMethod, cntl, request, response, done, [this, request](Disk* disk) {
    std::lock_guard<std::mutex> lock(state_->registrations_mutex);
    state_->registrations[disk->name] = ClientOf(*state_, request->info());
  });
}

void VolumeManagerServiceImpl::UnregisterVdi(
    google::protobuf::RpcController* cntl, const volume::VolumeManagerUnregisterVdiRequest* request,
    volume::VolumeManagerUnregisterVdiResponse* response, google::protobuf::Closure* done) {
  static const int kMethod = MethodIndex<volume::VolumeManagerService>("UnregisterVdi");
  ServeDiskCall(kMethod, cntl, request, response, done, [this](Disk* disk) {
    std::lock_guard<std::mutex> lock(state_->registrations_mutex);
    state_->registrations.erase(disk->name);
  });
}

}  // namespace pyxsim
