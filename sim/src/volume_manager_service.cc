// Volume managers: every one of them knows every disk (by name) and answers
// for it; the cluster's block masters and block servers are all named in a
// disk's location.
#include <arpa/inet.h>

#include "cluster_state.h"
#include "services.h"
#include "tarn/rpc/rpc_controller.h"

namespace pyxsim {

namespace {

int MethodIndex(const char* name) {
  return volume::VolumeManagerService::descriptor()->FindMethodByName(name)->index();
}

// The disk a request names, or null with rc set when it cannot be served.
Disk* FindDisk(ClusterState* state, const std::string& name, ResultCode* rc) {
  Disk* disk = state->disks.ByName(name);
  if (disk == nullptr || disk->missing.load()) {
    rc->set_retcode(kRcVdiNotFound);
    rc->set_errmsg("vdisk not found");
    return nullptr;
  }
  return disk;
}

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

}  // namespace

void VolumeManagerServiceImpl::GetVdiSize(google::protobuf::RpcController* cntl,
                                          const volume::VolumeManagerGetVdiSizeRequest* request,
                                          volume::VolumeManagerGetVdiSizeResponse* response,
                                          google::protobuf::Closure* done) {
  static const int kMethod = MethodIndex("GetVdiSize");
  auto* ctrl = static_cast<tarn::RpcController*>(cntl);
  Verdict verdict;
  if (!slot_->Admit(kMethod, ctrl, done, &verdict)) return;
  ResultCode* rc = response->mutable_rc();
  if (verdict.kind == Verdict::kRetcode) {
    rc->set_retcode(verdict.retcode);
  } else if (Disk* disk = FindDisk(state_, request->vdi().id(), rc)) {
    rc->set_retcode(kRcOk);
    response->set_size(disk->size);
  }
  slot_->Answer(ctrl, done, verdict.delay_ms);
}

void VolumeManagerServiceImpl::LocateVdi(google::protobuf::RpcController* cntl,
                                         const volume::VolumeManagerLocateVdiRequest* request,
                                         volume::VolumeManagerLocateVdiResponse* response,
                                         google::protobuf::Closure* done) {
  static const int kMethod = MethodIndex("LocateVdi");
  auto* ctrl = static_cast<tarn::RpcController*>(cntl);
  Verdict verdict;
  if (!slot_->Admit(kMethod, ctrl, done, &verdict)) return;
  ResultCode* rc = response->mutable_rc();
  if (verdict.kind == Verdict::kRetcode) {
    rc->set_retcode(verdict.retcode);
  } else if (Disk* disk = FindDisk(state_, request->vdi().id(), rc)) {
    rc->set_retcode(kRcOk);
    response->set_cluster_id(1);
    response->set_cluster_uuid("pyxsim");
    response->set_vdi_uuid(disk->uuid);
    response->set_dgs(disk->dgs.load());
    const ClusterOptions& opt = state_->options;
    const int primary = state_->primary_block_master.load();
    for (int i = 0; i < state_->count(Role::kBlockMaster); ++i) {
      const uint32_t port = state_->slot(Role::kBlockMaster, i)->port();
      const bool is_primary = i == primary;
      if (opt.ipv6) {
        MemberIPv6Info* member = response->add_blockmasters_v6();
        member->set_ipv6(opt.ip);
        member->set_port(port);
        member->set_role(is_primary ? MemberIPv6Info::PRIMARY : MemberIPv6Info::SLAVERY);
      } else {
        MemberInfo* member = response->add_blockmasters();
        member->set_ip(state_->ip4());
        member->set_port(port);
        member->set_role(is_primary ? MemberInfo::PRIMARY : MemberInfo::SLAVERY);
      }
    }
    for (int i = 0; i < state_->count(Role::kBlockServer); ++i) {
      const uint32_t port = state_->slot(Role::kBlockServer, i)->port();
      if (opt.ipv6) {
        MemberIPv6Endpoint* member = response->add_blocksvrs_v6();
        member->set_ipv6(opt.ip);
        member->set_port(port);
      } else {
        MemberEndpoint* member = response->add_blocksvrs();
        member->set_ip(state_->ip4());
        member->set_port(port);
      }
    }
  }
  slot_->Answer(ctrl, done, verdict.delay_ms);
}

void VolumeManagerServiceImpl::RegisterVdi(google::protobuf::RpcController* cntl,
                                           const volume::VolumeManagerRegisterVdiRequest* request,
                                           volume::VolumeManagerRegisterVdiResponse* response,
                                           google::protobuf::Closure* done) {
  static const int kMethod = MethodIndex("RegisterVdi");
  auto* ctrl = static_cast<tarn::RpcController*>(cntl);
  Verdict verdict;
  if (!slot_->Admit(kMethod, ctrl, done, &verdict)) return;
  ResultCode* rc = response->mutable_rc();
  if (verdict.kind == Verdict::kRetcode) {
    rc->set_retcode(verdict.retcode);
  } else if (Disk* disk = FindDisk(state_, request->vdi().id(), rc)) {
    rc->set_retcode(kRcOk);
    std::lock_guard<std::mutex> lock(state_->registrations_mutex);
    state_->registrations[disk->name] = ClientOf(*state_, request->info());
  }
  slot_->Answer(ctrl, done, verdict.delay_ms);
}

void VolumeManagerServiceImpl::UnregisterVdi(
    google::protobuf::RpcController* cntl, const volume::VolumeManagerUnregisterVdiRequest* request,
    volume::VolumeManagerUnregisterVdiResponse* response, google::protobuf::Closure* done) {
  static const int kMethod = MethodIndex("UnregisterVdi");
  auto* ctrl = static_cast<tarn::RpcController*>(cntl);
  Verdict verdict;
  if (!slot_->Admit(kMethod, ctrl, done, &verdict)) return;
  ResultCode* rc = response->mutable_rc();
  if (verdict.kind == Verdict::kRetcode) {
    rc->set_retcode(verdict.retcode);
  } else if (Disk* disk = FindDisk(state_, request->vdi().id(), rc)) {
    rc->set_retcode(kRcOk);
    std::lock_guard<std::mutex> lock(state_->registrations_mutex);
    state_->registrations.erase(disk->name);
  }
  slot_->Answer(ctrl, done, verdict.delay_ms);
}

}  // namespace pyxsim
