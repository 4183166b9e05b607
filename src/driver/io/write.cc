// Aligned writes: the whole data as one attachment of one block-server
// Write, CRCs recorded before sending and block locations on success. The
// answer handler also finishes the write stage of unaligned writes.
#include "butil/crc32c.h"
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

const pyx::LadderTexts kWriteTexts = {
    CallKind::kWrite,
    "|write pyx io:",
    "Fail to send BlockServerWriteRequest,need to refetch route.",
    "response error, need to update route....",
    "Plane Or Vdisk Not Exist, ",
    "Blockserver Malloc Memory Failed, Write IO",
    "Blockserver plane is not ready, Write IO",
    "ERROR Write IO ",
    "async write failed. Retcode: ",
};

constexpr pyx::RouteUse kWriteUse = {true, false};

}  // namespace

namespace pyx {

void FillWriteRequest(const DiskState* st, const std::map<std::string, uint64_t>& dgs, int id,
                      uint64_t lba, uint64_t size, vovorav::BlockServerWriteRequest* req) {
  auto it = dgs.find(st->name);
  req->mutable_vdi()->set_id(st->uuid);
  req->set_lba(lba);
  req->set_size(size);
  req->set_dgs(it == dgs.end() ? 0 : it->second);
  req->mutable_route_term()->set_term(Load(st->disk->route_term[id]));
}

}  // namespace pyx

void PyxDriver::Impl::Write(bdev_pyx_io* io) {
  DiskState* st = LiveDisk(io);
  if (st == nullptr) {
    Fail(io, false);
    return;
  }
  // A read-modify-write holding any of these blocks goes first.
  if (!st->holds.empty() && WaitsForHold(st, io)) return;
  if (!Admit(io)) return;
  pyx::Target t;
  if (!Route(st, io, kWriteUse, &t)) return;
  IoCall* c = NewCall(CallKind::kWrite, io, st, t);
  const uint64_t len = io->len;
  char* buf = nullptr;
  if (len > 0) {
    buf = static_cast<char*>(c->cntl->Malloc(static_cast<uint32_t>(len)));
    if (buf == nullptr) {
      LOG_ERROR << st->name << " no worker memory for a write of " << len
                << " bytes, tried again later|offset:" << io->offset;
      ReleaseCall(c);
      GiveBack();
      RetryEnqueue(io);
      return;
    }
    pyx::CopyFromIovecs(io, buf, len);
  }
  if (is_crc) {
    const uint64_t first = io->offset / pyx::kBlockSize;
    const uint64_t n = VectorsCover(st, first, len / pyx::kBlockSize, st->crc.size());
    for (uint64_t k = 0; k < n; ++k) {
      st->crc[first + k] = butil::crc32c::Extend(0, buf + k * pyx::kBlockSize, pyx::kBlockSize);
    }
  }
  if (len > 0) c->cntl->AppendRequestAttachment(buf, static_cast<uint32_t>(len), true);
  pyx::FillWriteRequest(st, dgs, id, io->offset, len, &c->write_req);
  vovorav::BlockServerService_Stub stub(t.client);
  stub.Write(c->cntl, &c->write_req, &c->write_resp, c);
}

void PyxDriver::Impl::OnWriteAnswer(IoCall* c) {
  bdev_pyx_io* io = c->io;
  const uint64_t offset = io->offset;
  const uint64_t len = io->len;
  // Unaligned writes (read-modify-write) were never admitted.
  if (pyx::IsAligned4k(offset, len)) GiveBack();
  DiskState* st = CallDisk(c);
  if (st == nullptr) {
    FailGone(c, false);
    ReleaseCall(c);
    return;
  }
  // Answered or given up on, whatever the verdict: a read-modify-write
  // waiting for it may read now (a retry waits behind that one's hold).
  if (!st->holds.empty() && pyx::IsAligned4k(offset, len)) AlignedWriteEnded(st, io);
  const vovorav::BlockServerWriteResponse& resp = c->write_resp;
  switch (Ladder(kWriteTexts, st, c, resp.rc(), resp.latest_route_term().term())) {
    case pyx::Verdict::kSuccess:
      WriteDone(st, c);
      break;
    case pyx::Verdict::kRetry:
      // An unaligned write keeps its blocks: this write may still land.
      RetryEnqueue(io);
      break;
    case pyx::Verdict::kFail:
      ReleaseLocks(st, io);
      metrics.write_fail_count << 1;
      Complete(io);
      break;
  }
  ReleaseCall(c);
}

void PyxDriver::Impl::WriteDone(DiskState* st, IoCall* c) {
  bdev_pyx_io* io = c->io;
  const uint64_t offset = io->offset;
  const uint64_t len = io->len;
  if (pyx::IsAligned4k(offset, len)) {
    if (is_crc) RecordLocations(st, io, c->write_resp);
    metrics.write_4k_sum << 1;
  } else {
    metrics.write_512_sum << 1;
  }
  RecordWrite(io);
  ReleaseLocks(st, io);
  Complete(io);
}
