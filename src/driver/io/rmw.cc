// Unaligned writes: hold the 4 KiB-aligned range that covers the write, read
// it, merge the new bytes in and write the whole range back. The holds are
// this driver's, and every write of a block meets them: every write of one
// stripe goes to the stripe's driver, an unaligned write never spans a
// stripe (send_pyx_io refuses it), and an aligned write that spans stripes
// reaches each stripe's driver as a part of its own (split_write.h).
//
// The write stage writes every block of the range, the bytes around the new
// ones as the read stage found them. Any other write of those blocks that
// lands between the two stages is undone, so a read-modify-write is
// serialised against every write that overlaps its range, in both orders:
// - a write that comes while the range is held waits for the hold to go
//   (unaligned writes before they hold anything, aligned writes before
//   admission);
// - aligned writes already sent when the hold is taken are counted, and the
//   read stage waits until each has been answered. The hold is taken at
//   once, so later writes queue behind it and cannot starve it.
// Aligned writes pay for this only while their disk has holds.
//
// A write keeps its hold from its lock step until it completes or fails,
// across every retry: a write stage that timed out may still be applied by
// the block server later, and a neighbour that read, merged and wrote the
// block meanwhile would be reverted by it. The retry's read stage runs under
// the same hold, so it sees whatever the late write left.
#include <cstring>
#include <iterator>
#include <map>

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

using HoldMap = std::pmr::map<uint64_t, pyx::BlockHold>;

// Blocks [first, end) of the aligned range that covers a write.
uint64_t FirstBlock(const bdev_pyx_io* io) { return io->offset / pyx::kBlockSize; }
uint64_t EndBlock(const bdev_pyx_io* io) {
  return pyx::AlignUp(io->offset + io->len) / pyx::kBlockSize;
}

// The first hold (by block) that overlaps [first, end), or holds.end().
// Holds never overlap each other, so their ends rise with their starts.
HoldMap::iterator FirstOverlap(HoldMap& holds, uint64_t first, uint64_t end) {
  if (first >= end) return holds.end();
  auto it = holds.upper_bound(first);
  if (it != holds.begin()) {
    auto prev = std::prev(it);
    if (prev->second.end > first) return prev;
  }
  return it != holds.end() && it->first < end ? it : holds.end();
}

}  // namespace

pyx::BlockHold* PyxDriver::Impl::HoldOf(DiskState* st, const bdev_pyx_io* io) const {
  auto it = st->holds.find(FirstBlock(io));
  return it != st->holds.end() && it->second.io == io ? &it->second : nullptr;
}

bool PyxDriver::Impl::WaitsForHold(DiskState* st, bdev_pyx_io* io) {
  if (FirstOverlap(st->holds, FirstBlock(io), EndBlock(io)) == st->holds.end()) return false;
  WaitForBlocks(io);
  return true;
}

void PyxDriver::Impl::AlignedWriteEnded(DiskState* st, const bdev_pyx_io* io) {
  const uint64_t end = EndBlock(io);
  bool ready = false;
  // No aligned write of a held range is sent while the hold stands, so a
  // hold that still waits for some has counted this one.
  for (auto it = FirstOverlap(st->holds, FirstBlock(io), end);
       it != st->holds.end() && it->first < end; ++it) {
    if (it->second.sent_before > 0 && --it->second.sent_before == 0) ready = true;
  }
  if (ready) ScheduleBlockWaiters();
}

uint32_t PyxDriver::Impl::SentWritesIn(const DiskState* st, uint64_t first, uint64_t end) const {
  // An aligned write keeps its admission until its answer is handled: with
  // none admitted, none is out.
  if (in_flight <= 0) return 0;
  uint32_t n = 0;
  for (const IoCall* c = outstanding.next; c != &outstanding; c = c->next) {
    if (c->kind != CallKind::kWrite || c->disk_serial != st->serial) continue;
    const bdev_pyx_io* w = c->io;
    // The write stages of unaligned writes belong to holds, which never
    // overlap one another.
    if (!pyx::IsAligned4k(w->offset, w->len)) continue;
    if (FirstBlock(w) < end && EndBlock(w) > first) ++n;
  }
  return n;
}

void PyxDriver::Impl::ScheduleBlockWaiters() {
  // One drain after the current task serves every release made meanwhile.
  if (retry_now_scheduled || !*alive) return;
  retry_now_scheduled = true;
  std::shared_ptr<bool> a = alive;
  worker->loop()->RunNextLoop([this, a] {
    if (!*a) return;
    retry_now_scheduled = false;
    DrainRetry(true);
  });
}

// Gives back the hold the lock step took for this write, and only that: a
// hold of another write stays with that write. Lets every write waiting for
// blocks try again right after the current task.
int PyxDriver::Impl::ReleaseLocks(DiskState* st, const bdev_pyx_io* io) {
  const uint64_t offset = io->offset;
  const uint64_t len = io->len;
  if (pyx::IsAligned4k(offset, len)) return 0;
  ScheduleBlockWaiters();
  auto it = st->holds.find(FirstBlock(io));
  if (it != st->holds.end() && it->second.io == io) {
    st->holds.erase(it);
    return 1;
  }
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
  if (st != nullptr && HoldOf(st, io) != nullptr) ReleaseLocks(st, io);
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
  // A retried write still holds its blocks and goes straight on once the
  // aligned writes sent before its hold have been answered. A write that
  // holds nothing waits while any block of its range is held; waiters hold
  // nothing, so no two unaligned writes wait for each other, and the
  // aligned writes a hold waits for are out already.
  pyx::BlockHold* hold = HoldOf(st, io);
  if (hold == nullptr) {
    const uint64_t first = FirstBlock(io);
    const uint64_t end = EndBlock(io);
    if (FirstOverlap(st->holds, first, end) != st->holds.end()) {
      WaitForBlocks(io);
      return;
    }
    hold = &st->holds.emplace(first, pyx::BlockHold{end, io, SentWritesIn(st, first, end)})
                .first->second;
  }
  if (hold->sent_before > 0) {
    WaitForBlocks(io);
    return;
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
  if (st != nullptr) st->holds.clear();
}

bool PyxDriver::block_locked(const std::string& name, uint64_t block) const {
  DiskState* st = impl_->FindByName(name);
  return st != nullptr && FirstOverlap(st->holds, block, block + 1) != st->holds.end();
}
