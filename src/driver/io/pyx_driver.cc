// PyxDriver core: construction and teardown, disk attachment, admission and
// the pending queue, the retry ring and its drains, completion with the
// overflow list, and the call records.
#include "io/pyx_driver.h"

#include <algorithm>
#include <mutex>
#include <string>
#include <unordered_set>

#include "control/client_manager.h"
#include "control/config.h"
#include "control/globals.h"
#include "io/driver_impl.h"
#include "io/split_write.h"
#include "record_access.h"
#include "spdk/bdev_module.h"
#include "spdk/env.h"
#include "tarn/base/logging.h"
#include "tarn/base/time_cycle.h"
#include "tarn/loop.h"
#include "tarn/rpc/rpc_client.h"
#include "tarn/rpc/rpc_controller.h"
#include "tarn/worker.h"

using pyx::DiskState;
using pyx::IoCall;

namespace pyx {

DriverMetrics::DriverMetrics(int id)
    : read_iops(&reads, 1), read_bw(&read_bytes, 1), write_iops(&writes, 1),
      write_bw(&write_bytes, 1) {
  const std::string p = "pyxdriver worker" + std::to_string(id);
  read_iops.expose_as(p, "_read_iops");
  read_bw.expose_as(p, "_read_bw");
  read_lat.expose_as(p, "_read_lat");
  write_iops.expose_as(p, "_write_iops");
  write_bw.expose_as(p, "_write_bw");
  write_lat.expose_as(p, "_write_lat");
  write_fail_count.expose_as(p, "_write_fail_count");
  read_fail_count.expose_as(p, "_read_fail_count");
  in_flighting.expose_as(p, "_in_flighting");
  retry_num.expose_as(p, "_retry_num");
  pending_sum.expose_as(p, "_pending_sum");
  pending_total.expose_as(p, "_pending_total");
  write_512_sum.expose_as(p, "_512_write_sum");
  read_512_sum.expose_as(p, "_512_read_sum");
  write_4k_sum.expose_as(p, "_4K_write_sum");
  read_4k_sum.expose_as(p, "_4K_read_sum");
  query_route_count.expose_as(p, "_query_route_count");
}

namespace {

// Calls of a driver torn down while they were out. A failed call's closure
// may still be on its way (the RPC layer runs failures on a later pass), so
// such a record stays alive, known here, until it runs or the process ends.
std::mutex g_orphans_mu;
std::unordered_set<IoCall*>* g_orphans = new std::unordered_set<IoCall*>;

}  // namespace

void IoCall::Run() {
  if (impl != nullptr) {
    impl->OnAnswer(this);
    return;
  }
  {
    std::lock_guard<std::mutex> lock(g_orphans_mu);
    g_orphans->erase(this);
  }
  delete this;
}

namespace {

constexpr uint64_t kMinus1 = ~uint64_t{0};  // adds -1 to an unsigned gauge
constexpr size_t kFreeCallsKept = 1024;

bool IsRead(const bdev_pyx_io* io) {
  return spdk_bdev_io_from_ctx(const_cast<bdev_pyx_io*>(io))->type == SPDK_BDEV_IO_TYPE_READ;
}

// A write that waits on the retry ring for blocks a read-modify-write
// holds. The type is looked at too: a record's stale flag never makes a
// read a waiter.
bool WaitsForLock(const bdev_pyx_io* io) {
  return io->lock_wait != 0 &&
         spdk_bdev_io_from_ctx(const_cast<bdev_pyx_io*>(io))->type == SPDK_BDEV_IO_TYPE_WRITE;
}

// The pending queue is a tail queue linked through the record's own links.
void PendingUnlink(bdev_pyx_io* io, bdev_pyx_io*** tail) {
  if (io->link.tqe_next != nullptr) {
    io->link.tqe_next->link.tqe_prev = io->link.tqe_prev;
  } else {
    *tail = io->link.tqe_prev;
  }
  *io->link.tqe_prev = io->link.tqe_next;
}

}  // namespace
}  // namespace pyx

// ---------------------------------------------------------------- Impl life

PyxDriver::Impl::Impl(tarn::Transport tp, tarn::Worker* w, int driver_id)
    : transport(tp), worker(w), id(driver_id), metrics(driver_id),
      alive(std::make_shared<bool>(true)) {
  // The id indexes route_term[16] and the host's rings.
  if (id < 0 || id >= 16) LOG_FATAL << "I/O driver id " << id << " out of range 0..15";
  retry_ring = spdk_ring_create(SPDK_RING_TYPE_MP_SC, pyx::kRetryRingEntries,
                                SPDK_ENV_SOCKET_ID_ANY);
  if (retry_ring == nullptr) LOG_FATAL << "worker " << id << " cannot create its retry ring";
  // Left uninitialised: pages are only backed once a drain reaches them.
  batch.reset(new void*[pyx::kRetryRingEntries]);
  outstanding.prev = outstanding.next = &outstanding;

  const double retry_s = std::max(retry_sleep_ms, 1) * 0.001;
  poll_ms = std::max<int64_t>(polling_interval_ms, 1);
  const double poll_s = static_cast<double>(poll_ms) * 0.001;
  std::shared_ptr<bool> a = alive;
  retry_timer = worker->loop()->RunEvery(retry_s, [this, a] {
    if (*a) DrainRetry(false);
  });
  pending_timer = worker->loop()->RunEvery(poll_s, [this, a] {
    if (*a) PollPending();
  });
}

PyxDriver::Impl::~Impl() {
  *alive = false;
  worker->loop()->CancelTimer(retry_timer);
  worker->loop()->CancelTimer(pending_timer);
  FailEverything();
  spdk_ring_free(retry_ring);
  for (IoCall* c : free_calls) delete c;
}

bool PyxDriver::Impl::FailEverything() {
  if (finished) return false;
  finished = true;
  size_t failed = 0;
  // Deleting the clients abandons their calls; a failed call's closure may
  // still come. Either way the I/O behind a call fails here, and its record
  // is left to the closure (see g_orphans).
  for (auto& g : groups_v4) delete g.second;
  for (auto& g : groups_v6) delete g.second;
  groups_v4.clear();
  groups_v6.clear();
  while (outstanding.next != &outstanding) {
    IoCall* c = outstanding.next;
    bdev_pyx_io* io = c->io;
    const bool is_read = c->kind != pyx::CallKind::kWrite;
    // Reads and aligned writes hold an admission; unaligned writes never do.
    const bool admitted = c->kind == pyx::CallKind::kRead ||
                          (c->kind == pyx::CallKind::kWrite && pyx::IsAligned4k(io->offset, io->len));
    c->prev->next = c->next;
    c->next->prev = c->prev;
    c->prev = c->next = nullptr;
    delete c->cntl;
    delete c->keep;
    c->cntl = c->keep = nullptr;
    c->io = nullptr;
    c->impl = nullptr;
    {
      std::lock_guard<std::mutex> lock(pyx::g_orphans_mu);
      pyx::g_orphans->insert(c);
    }
    if (admitted) GiveBack();
    Fail(io, is_read);
    ++failed;
  }
  outstanding_count = 0;
  outstanding_peak = 0;
  while (pending_head != nullptr) {
    bdev_pyx_io* io = pending_head;
    pyx::PendingUnlink(io, &pending_tail);
    --pending;
    metrics.pending_sum << pyx::kMinus1;
    Fail(io, pyx::IsRead(io));
    ++failed;
  }
  const size_t n = spdk_ring_dequeue(retry_ring, batch.get(), pyx::kRetryRingEntries);
  for (size_t i = 0; i < n; ++i) {
    auto* io = static_cast<bdev_pyx_io*>(batch[i]);
    --retry_entries;
    metrics.retry_num << pyx::kMinus1;
    Fail(io, pyx::IsRead(io));
    ++failed;
  }
  if (overflow_head != nullptr) FlushOverflow();
  if (overflow_head != nullptr) {
    LOG_WARN << "worker " << id << ": " << overflow
             << " finished I/O wait until the host makes room on its rings";
  }
  if (failed > 0) LOG_WARN << "worker " << id << " shut down: " << failed << " I/O failed";
  return true;
}

// ------------------------------------------------------------------- disks

DiskState* PyxDriver::Impl::Attach(bdev_pyx* disk) {
  std::unique_ptr<DiskState>& slot = disks[disk];
  if (!slot) {
    slot.reset(new DiskState(&lock_nodes));
    slot->disk = disk;
    slot->serial = next_serial++;
    slot->name = disk->name != nullptr ? disk->name : "";
    disks_by_name[slot->name] = slot.get();
  }
  return slot.get();
}

DiskState* PyxDriver::Impl::Find(bdev_pyx* disk) const {
  auto it = disks.find(disk);
  return it == disks.end() ? nullptr : it->second.get();
}

DiskState* PyxDriver::Impl::FindByName(const std::string& name) const {
  auto it = disks_by_name.find(name);
  return it == disks_by_name.end() ? nullptr : it->second;
}

DiskState* PyxDriver::Impl::LiveDisk(const bdev_pyx_io* io) {
  bdev_pyx* disk = io->ch->disk;
  DiskState* st;
  if (disk == last_disk && last_state != nullptr) {
    st = last_state;
  } else {
    st = Find(disk);
    if (st == nullptr) return nullptr;
    last_disk = disk;
    last_state = st;
  }
  return pyx::Load(disk->deleting) ? nullptr : st;
}

DiskState* PyxDriver::Impl::CallDisk(const IoCall* call) {
  bdev_pyx* disk = call->io->ch->disk;
  DiskState* st = disk == last_disk && last_state != nullptr ? last_state : Find(disk);
  return st != nullptr && st->serial == call->disk_serial ? st : nullptr;
}

void PyxDriver::Impl::Detach(bdev_pyx* disk) {
  auto it = disks.find(disk);
  if (it == disks.end()) return;
  // I/O of the disk still queued here fails now; the host may free the
  // record as soon as pyx_free returns.
  size_t queued = pending;
  for (bdev_pyx_io* io = pending_head; io != nullptr && queued > 0; --queued) {
    bdev_pyx_io* next = io->link.tqe_next;
    if (io->ch->disk == disk) {
      pyx::PendingUnlink(io, &pending_tail);
      --pending;
      metrics.pending_sum << pyx::kMinus1;
      Fail(io, pyx::IsRead(io));
    }
    io = next;
  }
  const size_t n = spdk_ring_dequeue(retry_ring, batch.get(), pyx::kRetryRingEntries);
  for (size_t i = 0; i < n; ++i) {
    auto* io = static_cast<bdev_pyx_io*>(batch[i]);
    if (io->ch->disk != disk) {
      void* p = io;
      if (spdk_ring_enqueue(retry_ring, &p, 1, nullptr) == 1) continue;
    }
    --retry_entries;
    metrics.retry_num << pyx::kMinus1;
    Fail(io, pyx::IsRead(io));
  }
  DiskState* st = it->second.get();
  auto by_name = disks_by_name.find(st->name);
  if (by_name != disks_by_name.end() && by_name->second == st) disks_by_name.erase(by_name);
  if (last_state == st) {
    last_disk = nullptr;
    last_state = nullptr;
  }
  disks.erase(it);
}

// ----------------------------------------------------------------- I/O flow

void PyxDriver::Impl::Issue(bdev_pyx_io* io) {
  if (finished) {
    Fail(io, pyx::IsRead(io));
    return;
  }
  switch (spdk_bdev_io_from_ctx(io)->type) {
    case SPDK_BDEV_IO_TYPE_READ:
      Read(io);
      return;
    case SPDK_BDEV_IO_TYPE_WRITE:
      if (pyx::IsAligned4k(io->offset, io->len)) {
        Write(io);
      } else {
        Rmw(io);
      }
      return;
    default:
      LOG_ERROR << "worker " << id << " I/O of type " << spdk_bdev_io_from_ctx(io)->type
                << " is neither read nor write|offset:" << io->offset << "|len:" << io->len;
      Fail(io, false);
      return;
  }
}

bool PyxDriver::Impl::Admit(bdev_pyx_io* io) {
  if (static_cast<uint64_t>(in_flight) < static_cast<uint64_t>(max_flighting)) {
    ++in_flight;
    metrics.in_flighting << 1;
    return true;
  }
  io->pending_ms = (io->stats != nullptr && io->stats->retried) ? retry_pending_ms : 0;
  io->link.tqe_next = nullptr;
  io->link.tqe_prev = pending_tail;
  *pending_tail = io;
  pending_tail = &io->link.tqe_next;
  ++pending;
  metrics.pending_sum << 1;
  metrics.pending_total << 1;
  return false;
}

void PyxDriver::Impl::GiveBack() {
  --in_flight;
  metrics.in_flighting << pyx::kMinus1;
}

void PyxDriver::Impl::PollPending() {
  int64_t budget = static_cast<int64_t>(max_flighting) - in_flight;
  if (pending_head == nullptr || budget < 1) return;
  // Only the entries queued now: an issued one may come back to the tail.
  size_t left = pending;
  for (bdev_pyx_io* io = pending_head; io != nullptr && left > 0 && budget > 0; --left) {
    bdev_pyx_io* next = io->link.tqe_next;
    if (io->pending_ms > 0) {
      io->pending_ms -= poll_ms;
    } else {
      pyx::PendingUnlink(io, &pending_tail);
      --pending;
      metrics.pending_sum << pyx::kMinus1;
      Issue(io);
      --budget;
    }
    io = next;
  }
}

void PyxDriver::Impl::RetryEnqueue(bdev_pyx_io* io) {
  if (io->stats != nullptr) io->stats->retried = 1;
  io->lock_wait = 0;
  RingPut(io);
}

// Not marked retried: a write that only waited for blocks meets admission
// as a first-time I/O.
void PyxDriver::Impl::WaitForBlocks(bdev_pyx_io* io) {
  io->lock_wait = 1;
  RingPut(io);
}

void PyxDriver::Impl::RingPut(bdev_pyx_io* io) {
  if (finished) {
    Fail(io, pyx::IsRead(io));
    return;
  }
  void* p = io;
  if (spdk_ring_enqueue(retry_ring, &p, 1, nullptr) == 1) {
    ++retry_entries;
    metrics.retry_num << 1;
    return;
  }
  LOG_WARN << "retry ring is full" << "|index:" << io->offset;
  Fail(io, pyx::IsRead(io));
}

void PyxDriver::Impl::DrainRetry(bool lock_waiters_only) {
  const size_t n = spdk_ring_dequeue(retry_ring, batch.get(), pyx::kRetryRingEntries);
  for (size_t i = 0; i < n; ++i) {
    auto* io = static_cast<bdev_pyx_io*>(batch[i]);
    --retry_entries;
    metrics.retry_num << pyx::kMinus1;
    if (!lock_waiters_only) {
      Issue(io);
    } else if (pyx::WaitsForLock(io)) {
      Issue(io);
    } else {
      RetryEnqueue(io);
    }
  }
}

void PyxDriver::Impl::Fail(bdev_pyx_io* io, bool is_read) {
  DropBlocksOf(io);
  io->lock_wait = 0;
  io->status = -1;
  if (is_read) {
    metrics.read_fail_count << 1;
  } else {
    metrics.write_fail_count << 1;
  }
  Complete(io);
}

// ---------------------------------------------------------------- completion

void PyxDriver::Impl::Complete(bdev_pyx_io* io) {
  stats_pool.Give(io->stats);
  io->stats = nullptr;
  // A part of a write across stripes: the host's I/O ends with its last.
  if (pyx::IsPart(io)) {
    io = pyx::EndPart(io);
    if (io == nullptr) return;
  }
  spdk_ring* ring = io->ch->rings[id];
  if (overflow_head == nullptr) {
    void* p = io;
    // From here on the host owns the I/O.
    if (spdk_ring_enqueue(ring, &p, 1, nullptr) == 1) return;
  }
  AppendOverflow(io);
  if (!overflow_episode) {
    overflow_episode = true;
    LOG_WARN << "worker " << id
             << " completion ring is full, finished I/O wait until the host makes room";
  }
  ScheduleFlush(true);
}

void PyxDriver::Impl::AppendOverflow(bdev_pyx_io* io) {
  io->link.tqe_next = nullptr;
  if (overflow_tail != nullptr) {
    overflow_tail->link.tqe_next = io;
  } else {
    overflow_head = io;
  }
  overflow_tail = io;
  ++overflow;
}

void PyxDriver::Impl::FlushOverflow() {
  flush_scheduled = false;
  bdev_pyx_io* io = overflow_head;
  const size_t before = overflow;
  overflow_head = overflow_tail = nullptr;
  overflow = 0;
  while (io != nullptr) {
    bdev_pyx_io* next = io->link.tqe_next;  // read before the host owns it
    void* p = io;
    if (spdk_ring_enqueue(io->ch->rings[id], &p, 1, nullptr) == 1) {
      ++overflow_late;
    } else {
      AppendOverflow(io);
    }
    io = next;
  }
  if (overflow > 0) {
    ScheduleFlush(overflow < before);
    return;
  }
  LOG_INFO << "worker " << id << " completion ring has room again, " << overflow_late
           << " finished I/O handed over late";
  overflow_episode = false;
  overflow_late = 0;
}

void PyxDriver::Impl::ScheduleFlush(bool progress) {
  if (flush_scheduled || !*alive) return;
  flush_scheduled = true;
  std::shared_ptr<bool> a = alive;
  auto flush = [this, a] {
    if (*a) FlushOverflow();
  };
  // While the host takes entries, every loop pass tries again; a host that
  // has stopped polling is looked at once a millisecond.
  if (progress) {
    worker->loop()->RunNextLoop(flush);
  } else {
    worker->loop()->RunAfter(0.001, flush);
  }
}

int64_t PyxDriver::Impl::LatencyUs(const bdev_pyx_io* io) const {
  if (io->stats == nullptr) return 0;
  const uint64_t now = plinth::rdtsc();
  const uint64_t start = io->stats->start;
  if (now <= start || plinth::TimeCycle::tsc_rate_mhz_ == 0) return 0;
  return static_cast<int64_t>((now - start) / plinth::TimeCycle::tsc_rate_mhz_);
}

void PyxDriver::Impl::RecordRead(const bdev_pyx_io* io) {
  metrics.reads << 1;
  metrics.read_bytes << io->len;
  metrics.read_lat << LatencyUs(io);
}

void PyxDriver::Impl::RecordWrite(const bdev_pyx_io* io) {
  metrics.writes << 1;
  metrics.write_bytes << io->len;
  metrics.write_lat << LatencyUs(io);
}

void PyxDriver::Impl::RouteQuery(DiskState* st) {
  pyx::RequestRouteRefresh(st->disk, 0, pyx::Load(st->disk->size), id);
  metrics.query_route_count << 1;
}

// One event in five (the 1st, 6th, 11th ...) fires; the counter is shared
// by every driver and the manager, so the count is only approximate.
bool PyxDriver::Impl::Throttle(DiskState* st) {
  uint64_t* shared = pyx::Load(st->disk->counter);
  uint64_t& counter = shared != nullptr ? *shared : st->own_counter;
  const uint64_t old = pyx::FetchAdd(counter, 1);
  if (old + 1 > 99999) {
    pyx::Store(counter, 1);
    return true;
  }
  return old % 5 == 0;
}

// -------------------------------------------------------------------- calls

IoCall* PyxDriver::Impl::NewCall(pyx::CallKind kind, bdev_pyx_io* io, DiskState* st,
                                 const pyx::Target& target) {
  IoCall* c;
  if (!free_calls.empty()) {
    c = free_calls.back();
    free_calls.pop_back();
  } else {
    c = new IoCall;
    c->impl = this;
  }
  c->kind = kind;
  if (kind == pyx::CallKind::kWrite) {
    c->write_req.Clear();
    c->write_resp.Clear();
  } else {
    c->read_req.Clear();
    c->read_resp.Clear();
  }
  c->io = io;
  c->ip = target.ip;
  c->port = target.port;
  c->disk_serial = st->serial;
  c->cntl = tarn::RpcController::Acquire(target.client->conn());
  c->keep = nullptr;
  c->next = &outstanding;
  c->prev = outstanding.prev;
  outstanding.prev->next = c;
  outstanding.prev = c;
  ++outstanding_count;
  outstanding_peak = std::max(outstanding_peak, outstanding_count);
  return c;
}

void PyxDriver::Impl::ReleaseCall(IoCall* c) {
  if (c->prev != nullptr) {
    c->prev->next = c->next;
    c->next->prev = c->prev;
    c->prev = c->next = nullptr;
    --outstanding_count;
  }
  tarn::RpcController::Recycle(c->cntl);
  tarn::RpcController::Recycle(c->keep);
  c->cntl = c->keep = nullptr;
  c->io = nullptr;
  if (free_calls.size() < pyx::kFreeCallsKept) {
    free_calls.push_back(c);
  } else {
    delete c;
  }
}

void PyxDriver::Impl::OnAnswer(IoCall* c) {
  c->prev->next = c->next;
  c->next->prev = c->prev;
  c->prev = c->next = nullptr;
  --outstanding_count;
  switch (c->kind) {
    case pyx::CallKind::kRead:
      OnReadAnswer(c);
      break;
    case pyx::CallKind::kWrite:
      OnWriteAnswer(c);
      break;
    case pyx::CallKind::kRmwRead:
      OnRmwAnswer(c);
      break;
  }
  // The driver's one call out has come back: a host at queue depth 1 posts
  // its next I/O as soon as it sees this one complete. Watching the queue
  // for it briefly costs less than a sleep and a wake-up from the host's
  // CPU. After more calls at once the host runs deeper, and its posts are
  // better taken in batches after a wake-up.
  if (outstanding_count == 0) {
    if (outstanding_peak == 1) worker->loop()->ExpectTaskWithin(pyx::kNextPostWaitUs);
    outstanding_peak = 0;
  }
}

// ---------------------------------------------------------------- PyxDriver

PyxDriver::PyxDriver(tarn::Transport tp, tarn::Worker* worker, int id)
    : transport_(tp), worker_(worker), id_(id), impl_(new Impl(tp, worker, id)) {}

PyxDriver::~PyxDriver() {
  tarn::Loop* loop = worker_->loop();
  if (loop->IsInLoopThread() || loop->RunInLoop([this] { impl_.reset(); }, false) != 0) {
    impl_.reset();
  }
}

// After Shutdown nothing is sent any more: the worker is about to stop, and
// an answer would never be read.
void PyxDriver::pyx_aio_read(bdev_pyx_io* io) {
  if (impl_->finished) {
    impl_->Fail(io, true);
  } else {
    impl_->Read(io);
  }
}
void PyxDriver::pyx_aio_write_4k_align(bdev_pyx_io* io) {
  if (impl_->finished) {
    impl_->Fail(io, false);
  } else {
    impl_->Write(io);
  }
}
void PyxDriver::rmw_4k_align_read(bdev_pyx_io* io) {
  if (impl_->finished) {
    impl_->Fail(io, false);
  } else {
    impl_->Rmw(io);
  }
}
void PyxDriver::Shutdown() { impl_->FailEverything(); }
void PyxDriver::FailIo(bdev_pyx_io* io) { impl_->Fail(io, pyx::IsRead(io)); }

void PyxDriver::retry_io_enqueue(bdev_pyx_io* io) { impl_->RetryEnqueue(io); }
void PyxDriver::pyx_retry_io() { impl_->DrainRetry(false); }
void PyxDriver::pyx_retry_io_now() { impl_->DrainRetry(true); }
void PyxDriver::PollingPendingIo() { impl_->PollPending(); }

void PyxDriver::DetachDisk(bdev_pyx* disk) { impl_->Detach(disk); }

bdev_pyx_io_stats* PyxDriver::TakeStats() { return impl_->stats_pool.Take(); }
void PyxDriver::GiveStats(bdev_pyx_io_stats* stats) { impl_->stats_pool.Give(stats); }
size_t PyxDriver::free_stats() const { return impl_->stats_pool.free_count(); }

int64_t PyxDriver::in_flight() const { return impl_->in_flight; }
size_t PyxDriver::pending_count() const { return impl_->pending; }
size_t PyxDriver::retry_count() const { return impl_->retry_entries; }
size_t PyxDriver::overflow_count() const { return impl_->overflow; }
size_t PyxDriver::outstanding_calls() const { return impl_->outstanding_count; }

size_t PyxDriver::orphaned_calls() {
  std::lock_guard<std::mutex> lock(pyx::g_orphans_mu);
  return pyx::g_orphans->size();
}
