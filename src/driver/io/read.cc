// Reads: one block-server Read of the 4 KiB-aligned range that covers the
// I/O, and the copy of its answer into the host's buffers.
#include <algorithm>
#include <cstring>

#include "control/config.h"
#include "io/driver_impl.h"
#include "io/iovec_copy.h"
#include "record_access.h"
#include "tarn/base/logging.h"
#include "tarn/rpc/rpc_client.h"
#include "tarn/rpc/rpc_controller.h"

using pyx::CallKind;
using pyx::DiskState;
using pyx::IoCall;

namespace {

const pyx::LadderTexts kReadTexts = {
    CallKind::kRead,
    "|read pyx io:",
    "Fail to send BlockServerReadRequest,need to refetch route.",
    "response error, need to update route ",
    "Plane Or Vdisk Not Exist, ",
    "Blockserver Malloc Memory Failed, Read IO",
    "Blockserver plane is net ready, Read IO",
    "ERROR Read IO ",
    "async read failed. Retcode: ",
};

constexpr pyx::RouteUse kReadUse = {true, true};

}  // namespace

namespace pyx {

// Fills a Read request for the aligned range covering [offset, offset + len).
void FillReadRequest(const DiskState* st, const bdev_pyx_io* io, int id,
                     vovorav::BlockServerReadRequest* req) {
  const uint64_t lba = AlignDown(io->offset);
  req->mutable_vdi()->set_id(st->uuid);
  req->set_lba(lba);
  req->set_size(AlignUp(io->offset + io->len) - lba);
  req->mutable_route_term()->set_term(Load(st->disk->route_term[id]));
}

}  // namespace pyx

void PyxDriver::Impl::Read(bdev_pyx_io* io) {
  DiskState* st = LiveDisk(io);
  if (st == nullptr) {
    Fail(io, true);
    return;
  }
  if (!Admit(io)) return;
  pyx::Target t;
  if (!Route(st, io, kReadUse, &t)) return;
  IoCall* c = NewCall(CallKind::kRead, io, st, t);
  pyx::FillReadRequest(st, io, id, &c->read_req);
  vovorav::BlockServerService_Stub stub(t.client);
  stub.Read(c->cntl, &c->read_req, &c->read_resp, c);
}

void PyxDriver::Impl::OnReadAnswer(IoCall* c) {
  GiveBack();
  DiskState* st = CallDisk(c);
  if (st == nullptr) {
    FailGone(c, true);
    ReleaseCall(c);
    return;
  }
  const vovorav::BlockServerReadResponse& resp = c->read_resp;
  switch (Ladder(kReadTexts, st, c, resp.rc(), resp.latest_route_term().term())) {
    case pyx::Verdict::kSuccess:
      ReadDone(st, c);
      break;
    case pyx::Verdict::kRetry:
      RetryEnqueue(c->io);
      break;
    case pyx::Verdict::kFail:
      metrics.read_fail_count << 1;
      Complete(c->io);
      break;
  }
  ReleaseCall(c);
}

void PyxDriver::Impl::ReadDone(DiskState* st, IoCall* c) {
  bdev_pyx_io* io = c->io;
  const vovorav::BlockServerReadResponse& resp = c->read_resp;
  tarn::RpcController* cntl = c->cntl;
  const auto& atts = cntl->response_attachments();
  const char* data = atts.empty() ? nullptr : static_cast<const char*>(atts[0].data);
  const uint64_t have = atts.empty() ? 0 : atts[0].len;
  const uint64_t offset = io->offset;
  const uint64_t len = io->len;
  const uint64_t lba = pyx::AlignDown(offset);
  const uint64_t size = pyx::AlignUp(offset + len) - lba;
  const bool aligned = pyx::IsAligned4k(offset, len);
  const uint64_t need = aligned ? len : size;

  if (aligned && resp.size() != len) {
    io->status = -1;
    LOG_ERROR << st->name << " obtained length error," << "|vdi uuid:" << st->uuid
              << "|reqlba: " << offset << "|len: " << len << "|remain: " << resp.size()
              << "|plane_num:" << static_cast<uint16_t>(io->plane)
              << "|remote_side:" << cntl->uuid();
    metrics.read_fail_count << 1;
  } else if (!resp.zerod() && have < need) {
    // Never copy past the data that came.
    io->status = -1;
    LOG_ERROR << st->name << " obtained data error," << "|vdi uuid:" << st->uuid
              << "|reqlba: " << offset << "|len: " << len << "|need: " << need
              << "|data: " << have << "|plane_num:" << static_cast<uint16_t>(io->plane)
              << "|remote_side:" << cntl->uuid();
    metrics.read_fail_count << 1;
  } else if (!aligned) {
    if (resp.zerod()) {
      pyx::ZeroIovecs(io);
    } else {
      pyx::CopyToIovecs(io, data + (offset - lba), len);
    }
    metrics.read_512_sum << 1;
  } else {
    if (is_crc) CheckReadCrc(st, c, data, resp.zerod());
    if (resp.zerod()) {
      pyx::ZeroIovecs(io);
    } else {
      pyx::CopyToIovecs(io, data, len);
    }
    metrics.read_4k_sum << 1;
  }
  RecordRead(io);
  Complete(io);
}
