// What every method of the simulated services does around its own work: the
// server's slot admits the call (counts it, checks the down mark, asks the
// fault table) and answers it, now or after the verdict's delay.
#ifndef PYXSIM_SERVICE_CALL_H_
#define PYXSIM_SERVICE_CALL_H_

#include "cluster_state.h"
#include "common.pb.h"
#include "server_slot.h"
#include "tarn/rpc/rpc_controller.h"

namespace pyxsim {

// The number of method `name` of the protobuf service `Service`.
template <typename Service>
int MethodIndex(const char* name) {
  return Service::descriptor()->FindMethodByName(name)->index();
}

// One call of method number `method` on `slot`: `serve(ctrl, verdict)` runs
// only for a call the slot admits, and the answer follows it.  A call the
// slot consumed is not touched again.
template <typename Serve>
void ServeCall(ServerSlot* slot, int method, google::protobuf::RpcController* cntl,
               google::protobuf::Closure* done, Serve serve) {
  auto* ctrl = static_cast<tarn::RpcController*>(cntl);
  Verdict verdict;
  if (!slot->Admit(method, ctrl, done, &verdict)) return;
  serve(ctrl, verdict);
  slot->Answer(ctrl, done, verdict.delay_ms);
}

// `disk` when a volume manager or block master may answer for it; null, with
// rc saying so, when there is no such disk or it has gone missing.
inline Disk* ServableDisk(Disk* disk, ResultCode* rc) {
  if (disk == nullptr || disk->missing.load()) {
    rc->set_retcode(kRcVdiNotFound);
    rc->set_errmsg("vdisk not found");
    return nullptr;
  }
  return disk;
}

}  // namespace pyxsim

#endif  // PYXSIM_SERVICE_CALL_H_
