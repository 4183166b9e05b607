// The operations every emulated context puts in its ibv_context_ops, which
// verbs.h's inline ibv_post_send, ibv_post_recv, ibv_post_srq_recv,
// ibv_poll_cq and ibv_req_notify_cq call.
#ifndef VERBS_EMU_VERBS_OPS_H_
#define VERBS_EMU_VERBS_OPS_H_

#include <infiniband/verbs.h>

namespace verbs_emu {
namespace internal {

int EmuPollCq(ibv_cq* cq, int num_entries, ibv_wc* wc);
int EmuReqNotifyCq(ibv_cq* cq, int solicited_only);
int EmuPostSend(ibv_qp* qp, ibv_send_wr* wr, ibv_send_wr** bad_wr);
int EmuPostRecv(ibv_qp* qp, ibv_recv_wr* wr, ibv_recv_wr** bad_wr);
int EmuPostSrqRecv(ibv_srq* srq, ibv_recv_wr* wr, ibv_recv_wr** bad_wr);

}  // namespace internal
}  // namespace verbs_emu

#endif  // VERBS_EMU_VERBS_OPS_H_
