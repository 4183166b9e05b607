// Unaligned writes: lock the partial 4 KiB blocks at head and tail, read the
// aligned range that covers the write, merge the new bytes in and write the
// whole range back. Two unaligned writes of one block meet the same lock set
// because every I/O of one stripe goes to the same driver.
//
// A write keeps its blocks from its lock step until it completes or fails,
// across every retry: a write stage that timed out may still be applied by
// the block server later, and a neighbour that read, merged and wrote the
// block meanwhile would be reverted by it. The retry's read stage runs under
// the same locks, so it sees whatever the late write left.
#include <cstring>

#include "butil/logging.h"
#include "control/config.h"
#include "io/driver_impl.h"
#include "io/iovec_copy.h"
#include "record_access.h"
#include "spdk/bdev_module.h"
#include "tarn/base/logging.h"
#include "tarn/loop.h"
#include "tarn/rpc/rpc_client.h"
#include "tarn/rpc/rpc_controller.h"
#include "tarn/worker.h"

using pyx::CallKind;
using pyx::DiskState;
using pyx::IoCall;

namespace {

const pyx::LadderTexts kRmwTexts = {
    CallKind::kRmwRead,
    "|rmw read pyx io:",
    "Fail to send BlockServerRMWRequest,need to refetch route.",
    "RMW response error, need to update route ",
    "RMW Plane Or Vdisk Not Exist, ",
    "RMW Blockserver Malloc Memory Failed, Read IO",
    "RMW Blockserver plane is net ready, Read IO",
    "RMW ERROR Read IO ",
    "RMW async read failed. Retcode: ",
};

constexpr pyx::RouteUse kRmwReadUse = {false, true};
constexpr pyx::RouteUse kRmwWriteUse = {false, false};

uint64_t HeadBlock(uint64_t offset) { return offset / pyx::kBlockSize; }
uint64_t TailBlock(uint64_t offset, uint64_t len) { return (offset + len - 1) / pyx::kBlockSize; }
bool HeadPartial(uint64_t offset) { return (offset & pyx::kBlockMask) != 0; }
// The tail block is locked on its own when the write ends inside it and it
// is not the head block locked already.
bool TailLockedApart(uint64_t offset, uint64_t len) {
  if (((offset + len) & pyx::kBlockMask) == 0) return false;
  return !(HeadPartial(offset) && TailBlock(offset, len) == HeadBlock(offset));
}

}  // namespace

bool PyxDriver::Impl::HoldsBlocks(const DiskState* st, const bdev_pyx_io* io) const {
  const uint64_t block =
      HeadPartial(io->offset) ? HeadBlock(io->offset) : TailBlock(io->offset, io->len);
  auto it = st->locks.find(block);
  return it != st->locks.end() && it->second == io;
}

bool PyxDriver::Impl::LockBlocks(DiskState* st, const bdev_pyx_io* io) {
  const uint64_t offset = io->offset;
  const uint64_t len = io->len;
  bool added = false;
  if (HeadPartial(offset)) added = st->locks.emplace(HeadBlock(offset), io).second;
  if (TailLockedApart(offset, len)) {
    added = st->locks.emplace(TailBlock(offset, len), io).second || added;
  }
  return added;
}

// Releases the blocks LockBlocks took for this write, and only those it
// still holds: a block held by another write stays with that write. Lets
// every I/O waiting for a lock try again right after the current task.
int PyxDriver::Impl::ReleaseLocks(DiskState* st, const bdev_pyx_io* io) {
  const uint64_t offset = io->offset;
  const uint64_t len = io->len;
  if (pyx::IsAligned4k(offset, len)) return 0;
  // One drain after the current task serves every release made meanwhile.
  if (!retry_now_scheduled && *alive) {
    retry_now_scheduled = true;
    std::shared_ptr<bool> a = alive;
    worker->loop()->RunNextLoop([this, a] {
      if (!*a) return;
      retry_now_scheduled = false;
      DrainRetry(true);
    });
  }
  auto release = [st, io](uint64_t block) {
    auto it = st->locks.find(block);
    if (it == st->locks.end() || it->second != io) return false;
    st->locks.erase(it);
    return true;
  };
  bool removed = false;
  if (HeadPartial(offset)) removed = release(HeadBlock(offset));
  if (TailLockedApart(offset, len)) removed = release(TailBlock(offset, len)) || removed;
  if (removed) return 1;
  LOG_ERROR << st->name << " offset " << offset << " len " << len << " does not unlock";
  LOG(FATAL) << "Check failed: 0. ";
  return 0;
}

void PyxDriver::Impl::DropBlocksOf(const bdev_pyx_io* io) {
  if (spdk_bdev_io_from_ctx(const_cast<bdev_pyx_io*>(io))->type != SPDK_BDEV_IO_TYPE_WRITE ||
      pyx::IsAligned4k(io->offset, io->len) || io->len == 0) {
    return;
  }
  // The record pointer is only a key here: the disk may be gone.
  DiskState* st = Find(io->ch->disk);
  if (st != nullptr && HoldsBlocks(st, io)) ReleaseLocks(st, io);
}

void PyxDriver::Impl::Rmw(bdev_pyx_io* io) {
  DiskState* st = LiveDisk(io);
  if (st == nullptr) {
    Fail(io, false);
    return;
  }
  const uint64_t offset = io->offset;
  const uint64_t len = io->len;
  if (len == 0) {
    LOG_ERROR << st->name << " unaligned write of no bytes|offset:" << offset;
    Fail(io, false);
    return;
  }
  // A retried write still holds its blocks and goes straight on; a write
  // that holds nothing waits while any block it touches at head or tail is
  // held. Waiters hold nothing, so no two writes wait for each other.
  if (!HoldsBlocks(st, io)) {
    if (st->locks.count(HeadBlock(offset)) != 0 || st->locks.count(TailBlock(offset, len)) != 0) {
      io->lock_wait = 1;
      RetryEnqueue(io);
      return;
    }
    if (!LockBlocks(st, io)) {
      LOG_ERROR << st->name << " offset " << offset << " len " << len << " does not lock";
      LOG(FATAL) << "Check failed: 0. ";
    }
  }
  io->lock_wait = 0;
  pyx::Target t;
  if (!Route(st, io, kRmwReadUse, &t)) return;
  IoCall* c = NewCall(CallKind::kRmwRead, io, st, t);
  pyx::FillReadRequest(st, io, id, &c->read_req);
  vovorav::BlockServerService_Stub stub(t.client);
  stub.Read(c->cntl, &c->read_req, &c->read_resp, c);
}

void PyxDriver::Impl::OnRmwAnswer(IoCall* c) {
  DiskState* st = CallDisk(c);
  if (st == nullptr) {
    FailGone(c, true);
    ReleaseCall(c);
    return;
  }
  bdev_pyx_io* io = c->io;
  const vovorav::BlockServerReadResponse& resp = c->read_resp;
  switch (Ladder(kRmwTexts, st, c, resp.rc(), resp.latest_route_term().term())) {
    case pyx::Verdict::kSuccess:
      RmwWriteStage(st, c);  // keeps the locks for the write stage
      break;
    case pyx::Verdict::kRetry:
      RetryEnqueue(io);  // keeps the locks for the retry
      break;
    case pyx::Verdict::kFail:
      ReleaseLocks(st, io);
      metrics.read_fail_count << 1;
      Complete(io);
      break;
  }
  ReleaseCall(c);
}

void PyxDriver::Impl::RmwWriteStage(DiskState* st, IoCall* c) {
  bdev_pyx_io* io = c->io;
  const uint64_t offset = io->offset;
  const uint64_t len = io->len;
  const uint64_t lba = pyx::AlignDown(offset);
  const uint64_t size = pyx::AlignUp(offset + len) - lba;
  const bool zerod = c->read_resp.zerod();
  const auto& atts = c->cntl->response_attachments();
  const uint64_t have = atts.empty() ? 0 : atts[0].len;
  if (!zerod && have < size) {
    io->status = -1;
    LOG_ERROR << st->name << " RMW obtained data error," << "|vdi uuid:" << st->uuid
              << "|reqlba: " << offset << "|len: " << len << "|need: " << size
              << "|data: " << have << "|plane_num:" << static_cast<uint16_t>(io->plane)
              << "|remote_side:" << c->cntl->uuid();
    ReleaseLocks(st, io);
    metrics.read_fail_count << 1;
    Complete(io);
    return;
  }
  // The route may have moved while the old data was read.
  pyx::Target t;
  if (!Route(st, io, kRmwWriteUse, &t)) return;
  IoCall* w = NewCall(CallKind::kWrite, io, st, t);
  char* buf;
  if (!zerod) {
    // Merge into the old data and send it from there; the read stage's
    // controller owns that memory and lives as long as the write.
    buf = static_cast<char*>(atts[0].data);
    pyx::CopyFromIovecs(io, buf + (offset - lba), len);
    w->cntl->AppendRequestAttachment(buf, static_cast<uint32_t>(size), false);
    w->keep = c->cntl;
    c->cntl = nullptr;
  } else {
    buf = static_cast<char*>(w->cntl->Malloc(static_cast<uint32_t>(size)));
    if (buf == nullptr) {
      LOG_ERROR << st->name << " no worker memory for a write of " << size
                << " bytes, tried again later|offset:" << offset;
      ReleaseCall(w);
      RetryEnqueue(io);
      return;
    }
    memset(buf, 0, size);
    pyx::CopyFromIovecs(io, buf + (offset - lba), len);
    w->cntl->AppendRequestAttachment(buf, static_cast<uint32_t>(size), true);
  }
  pyx::FillWriteRequest(st, dgs, id, lba, size, &w->write_req);
  vovorav::BlockServerService_Stub stub(t.client);
  stub.Write(w->cntl, &w->write_req, &w->write_resp, w);
}

int PyxDriver::BitMapReset(const std::string& name, const bdev_pyx_io* io) {
  DiskState* st = impl_->FindByName(name);
  return st == nullptr ? 0 : impl_->ReleaseLocks(st, io);
}

// The lock set came with the disk's attachment (pyx_init), before the disk
// admitted any I/O. This task is posted by the manager's thread and may run
// after I/O posted by a host thread, so a set it finds is left as it is: its
// blocks belong to writes under way.
void PyxDriver::BitMapCreate(bdev_pyx* disk, uint64_t /*size*/) {
  impl_->Attach(disk);
  LOG_INFO << "create vdisk bitmap vector sucess";
}

void PyxDriver::BitMapFree(bdev_pyx* disk) {
  DiskState* st = impl_->Find(disk);
  if (st != nullptr) st->locks.clear();
}

bool PyxDriver::block_locked(const std::string& name, uint64_t block) const {
  const DiskState* st = impl_->FindByName(name);
  return st != nullptr && st->locks.count(block) != 0;
}
