// Emulated NVMe controllers behind the stand-in's NVMe driver calls.
//
// Registered controllers live in one table under g_mu. Attaching one makes
// a fresh controller handle (with its namespace handles); detaching deletes
// it, so a handle used after detach is a use after free, as with the real
// driver. A queue pair keeps its commands in submission order and runs them
// (moves their data with pread/pwrite on the namespace files) only when its
// owner thread asks for completions.
#include <errno.h>
#include <fcntl.h>
#include <linux/falloc.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "spdk/env.h"
#include "spdk/env_standin.h"
#include "spdk/nvme.h"
#include "spdk/nvme_standin.h"

struct spdk_pci_device {
  spdk_pci_addr addr;
};

namespace {

constexpr uint32_t kDefaultIoQueueSize = 256;
constexpr uint32_t kDefaultIoQueueRequests = 512;
constexpr uint32_t kDefaultNumIoQueues = 1024;
constexpr uint32_t kMaxWriteZeroesBlocks = 65536;

struct EmuNamespace {
  uint32_t nsid = 0;
  bool active = true;
  uint32_t sector_size = 512;
  uint32_t md_size = 0;
  uint64_t num_sectors = 0;
  int data_fd = -1;
  int md_fd = -1;
};

struct Injection {
  bool is_status;
  uint16_t sct;
  uint16_t sc;
  int rc;
};

struct EmuController {
  spdk_standin::ControllerShape shape;
  spdk_pci_device pci;
  std::string key;  // normalised address
  spdk_nvme_ctrlr_data cdata;
  std::vector<EmuNamespace> ns;
  // Under g_mu.
  spdk_nvme_ctrlr* handle = nullptr;
  spdk_standin::ControllerStats stats;
  std::atomic<bool> failed{false};
  std::atomic<uint64_t> commands{0};
  std::atomic<uint64_t> pieces{0};
  // For the health log page.
  std::atomic<uint64_t> reads{0};
  std::atomic<uint64_t> writes{0};
  std::atomic<uint64_t> read_bytes{0};
  std::atomic<uint64_t> written_bytes{0};
  // Injected outcomes, oldest first; `pending` lets the submit path skip
  // the lock when there is none.
  std::mutex inj_mu;
  std::deque<Injection> injections;
  std::atomic<int> pending{0};

  ~EmuController() {
    for (EmuNamespace& n : ns) {
      if (n.data_fd >= 0) close(n.data_fd);
      if (n.md_fd >= 0) close(n.md_fd);
    }
  }
};

std::mutex g_mu;
std::map<std::string, std::shared_ptr<EmuController>>& controllers() {
  static auto* table = new std::map<std::string, std::shared_ptr<EmuController>>;
  return *table;
}

std::string normalise(const std::string& traddr, spdk_pci_addr* addr) {
  spdk_pci_addr a;
  if (spdk_pci_addr_parse(&a, traddr.c_str()) != 0) return std::string();
  char buf[32];
  spdk_pci_addr_fmt(buf, sizeof(buf), &a);
  if (addr != nullptr) *addr = a;
  return buf;
}

std::shared_ptr<EmuController> find(const std::string& traddr) {
  const std::string key = normalise(traddr, nullptr);
  std::lock_guard<std::mutex> lock(g_mu);
  auto it = controllers().find(key);
  return it == controllers().end() ? nullptr : it->second;
}

void pad_copy(int8_t* field, size_t cap, const std::string& text) {
  memset(field, ' ', cap);
  memcpy(field, text.data(), std::min(cap, text.size()));
}

}  // namespace

namespace {

// An armed error injection of one queue (see
// spdk_nvme_qpair_add_cmd_error_injection).
struct CmdInjection {
  uint8_t opc;
  bool do_not_submit;
  uint32_t left;
  uint16_t sct;
  uint16_t sc;
};

// Takes the injection matching `opc`, if any.
bool take_cmd_injection(std::vector<CmdInjection>* list, uint8_t opc, CmdInjection* out) {
  for (auto it = list->begin(); it != list->end(); ++it) {
    if (it->opc != opc) continue;
    *out = *it;
    if (--it->left == 0) list->erase(it);
    return true;
  }
  return false;
}

struct AdminCmd {
  uint8_t opc;
  uint8_t id;  // feature or log page
  uint32_t cdw11;
  char* payload;
  uint32_t size;
  uint64_t offset;
  spdk_nvme_cmd_cb cb;
  void* arg;
  bool injected;
  CmdInjection inj;
};

}  // namespace

struct spdk_nvme_ns {
  spdk_nvme_ctrlr* ctrlr;
  EmuNamespace* emu;
  uint32_t max_xfer;
};

struct spdk_nvme_ctrlr {
  std::shared_ptr<EmuController> emu;
  spdk_nvme_ctrlr_opts opts;
  std::vector<std::unique_ptr<spdk_nvme_ns>> ns;
  std::mutex mu;  // the queue-pair set and the admin queue
  std::set<spdk_nvme_qpair*> qpairs;
  std::deque<AdminCmd> admin;
  std::vector<CmdInjection> admin_injections;
};

namespace {

struct Segment {
  char* addr;
  uint32_t len;
};

enum class Op { kRead, kWrite, kWriteZeroes, kDeallocate };

struct Request {
  Request* next = nullptr;
  Op op = Op::kRead;
  EmuNamespace* ns = nullptr;
  uint64_t lba = 0;
  uint32_t lba_count = 0;
  uint32_t max_xfer = 0;    // the largest piece the driver sends at once
  char* payload = nullptr;  // flat forms
  std::vector<Segment> segs;  // scatter forms (capacity kept across uses)
  char* md = nullptr;
  std::vector<spdk_nvme_dsm_range> ranges;
  uint32_t dsm_type = 0;
  uint32_t slots = 0;  // request objects taken (one per piece of a split)
  spdk_nvme_cmd_cb cb = nullptr;
  void* cb_arg = nullptr;
  bool injected = false;   // completes with sct/sc without running
  bool overwrite = false;  // runs, then completes with sct/sc
  uint16_t sct = 0;
  uint16_t sc = 0;
};

}  // namespace

struct spdk_nvme_qpair {
  spdk_nvme_ctrlr* ctrlr;
  uint32_t queue_size;
  uint32_t requests;
  std::atomic<std::thread::id> owner{std::thread::id()};
  uint32_t slots_used = 0;
  Request* head = nullptr;
  Request* tail = nullptr;
  uint32_t outstanding = 0;
  std::vector<std::unique_ptr<Request>> all;
  std::vector<Request*> free_list;
  bool in_process = false;
  bool deleting = false;
  std::mutex inj_mu;
  std::atomic<int> inj_armed{0};
  std::vector<CmdInjection> injections;
};

namespace {

// A queue pair serves one thread; another thread's use would corrupt it.
void check_owner(spdk_nvme_qpair* qp) {
  const std::thread::id self = std::this_thread::get_id();
  std::thread::id expected;
  if (qp->owner.compare_exchange_strong(expected, self)) return;
  if (expected == self) return;
  fprintf(stderr, "spdk nvme stand-in: queue pair %p used from a second thread\n",
          static_cast<void*>(qp));
  abort();
}

Request* take_request(spdk_nvme_qpair* qp) {
  if (!qp->free_list.empty()) {
    Request* r = qp->free_list.back();
    qp->free_list.pop_back();
    return r;
  }
  qp->all.push_back(std::make_unique<Request>());
  return qp->all.back().get();
}

void release_request(spdk_nvme_qpair* qp, Request* r) {
  qp->slots_used -= r->slots;
  r->segs.clear();
  r->ranges.clear();
  r->next = nullptr;
  qp->free_list.push_back(r);
}

void enqueue(spdk_nvme_qpair* qp, Request* r) {
  if (qp->tail == nullptr) {
    qp->head = qp->tail = r;
  } else {
    qp->tail->next = r;
    qp->tail = r;
  }
  ++qp->outstanding;
}

Request* dequeue(spdk_nvme_qpair* qp) {
  Request* r = qp->head;
  if (r == nullptr) return nullptr;
  qp->head = r->next;
  if (qp->head == nullptr) qp->tail = nullptr;
  --qp->outstanding;
  return r;
}

// Full transfer at `off` or false.
bool xfer(int fd, bool write, char* buf, size_t len, uint64_t off) {
  while (len > 0) {
    const ssize_t n = write ? pwrite(fd, buf, len, static_cast<off_t>(off))
                            : pread(fd, buf, len, static_cast<off_t>(off));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) {
      // Past the end of a file: the namespace reads as zeroes there.
      if (write) return false;
      memset(buf, 0, len);
      return true;
    }
    buf += n;
    len -= static_cast<size_t>(n);
    off += static_cast<uint64_t>(n);
  }
  return true;
}

bool zero_range(int fd, uint64_t off, uint64_t len, bool punch) {
  if (len == 0) return true;
  const int mode = punch ? (FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE) : FALLOC_FL_ZERO_RANGE;
  if (fallocate(fd, mode, static_cast<off_t>(off), static_cast<off_t>(len)) == 0) return true;
  // File systems without the mode: write the zeroes.
  static const std::vector<char> zeroes(1 << 20, 0);
  while (len > 0) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(len, zeroes.size()));
    if (!xfer(fd, true, const_cast<char*>(zeroes.data()), n, off)) return false;
    off += n;
    len -= n;
  }
  return true;
}

void set_status(spdk_nvme_cpl* cpl, uint16_t sct, uint16_t sc) {
  cpl->status.sct = sct & 0x7;
  cpl->status.sc = sc & 0xff;
}

// Fails the command with an LBA-out-of-range status unless the blocks are
// all on the namespace.
bool in_range(const EmuNamespace* ns, uint64_t lba, uint64_t count, spdk_nvme_cpl* cpl) {
  if (lba <= ns->num_sectors && count <= ns->num_sectors - lba) return true;
  set_status(cpl, SPDK_NVME_SCT_GENERIC, SPDK_NVME_SC_LBA_OUT_OF_RANGE);
  return false;
}

// Zeroes blocks and their metadata; `punch` deallocates them as well.
bool zero_blocks(const EmuNamespace* ns, uint64_t lba, uint64_t count, bool punch) {
  bool ok = zero_range(ns->data_fd, lba * ns->sector_size, count * ns->sector_size, punch);
  if (ok && ns->md_size != 0) {
    ok = zero_range(ns->md_fd, lba * ns->md_size, count * ns->md_size, punch);
  }
  return ok;
}

// Moves the data and metadata of a read or write piece by piece, as the
// driver sends a command longer than the largest transfer: one child
// command per piece, each with its own stretch of data (the scatter list
// was cut at the pieces' edges when it was walked) and of metadata.
bool move_pieces(Request* r, EmuController* emu) {
  EmuNamespace* ns = r->ns;
  const uint64_t ss = ns->sector_size;
  const bool write = r->op == Op::kWrite;
  const uint64_t total = uint64_t{r->lba_count} * ss;
  size_t seg = 0;
  for (uint64_t done = 0; done < total;) {
    const uint64_t piece = std::min<uint64_t>(r->max_xfer, total - done);
    const uint64_t off = r->lba * ss + done;
    if (r->payload != nullptr) {
      if (!xfer(ns->data_fd, write, r->payload + done, piece, off)) return false;
    } else {
      for (uint64_t moved = 0; moved < piece; ++seg) {
        if (seg >= r->segs.size()) return false;
        const Segment& s = r->segs[seg];
        if (!xfer(ns->data_fd, write, s.addr, s.len, off + moved)) return false;
        moved += s.len;
      }
    }
    if (ns->md_size != 0) {
      const uint64_t first = done / ss;
      if (!xfer(ns->md_fd, write, r->md + first * ns->md_size, piece / ss * ns->md_size,
                (r->lba + first) * ns->md_size)) {
        return false;
      }
    }
    emu->pieces.fetch_add(1, std::memory_order_relaxed);
    done += piece;
  }
  return true;
}

// Runs one command against the namespace files and fills its status.
void execute(Request* r, EmuController* emu, spdk_nvme_cpl* cpl) {
  if (r->injected) {
    set_status(cpl, r->sct, r->sc);
    return;
  }
  EmuNamespace* ns = r->ns;
  switch (r->op) {
    case Op::kRead:
    case Op::kWrite: {
      if (!in_range(ns, r->lba, r->lba_count, cpl)) return;
      const bool write = r->op == Op::kWrite;
      if (!move_pieces(r, emu)) {
        set_status(cpl, SPDK_NVME_SCT_MEDIA_ERROR,
                   write ? SPDK_NVME_SC_WRITE_FAULTS : SPDK_NVME_SC_UNRECOVERED_READ_ERROR);
      }
      return;
    }
    case Op::kWriteZeroes: {
      if (!in_range(ns, r->lba, r->lba_count, cpl)) return;
      if (!zero_blocks(ns, r->lba, r->lba_count, false)) {
        set_status(cpl, SPDK_NVME_SCT_MEDIA_ERROR, SPDK_NVME_SC_WRITE_FAULTS);
      }
      return;
    }
    case Op::kDeallocate: {
      for (const spdk_nvme_dsm_range& range : r->ranges) {
        if (!in_range(ns, range.starting_lba, range.length, cpl)) return;
      }
      if ((r->dsm_type & SPDK_NVME_DSM_ATTR_DEALLOCATE) == 0) return;  // hints only
      for (const spdk_nvme_dsm_range& range : r->ranges) {
        if (!zero_blocks(ns, range.starting_lba, range.length, true)) {
          set_status(cpl, SPDK_NVME_SCT_MEDIA_ERROR, SPDK_NVME_SC_WRITE_FAULTS);
          return;
        }
      }
      return;
    }
  }
}

// Completes the queue pair's next command: runs it (or aborts it) and
// calls its callback once its request is free again.
void complete_one(spdk_nvme_qpair* qp, bool abort_it) {
  Request* r = dequeue(qp);
  spdk_nvme_cpl cpl;
  memset(&cpl, 0, sizeof(cpl));
  if (abort_it) {
    set_status(&cpl, SPDK_NVME_SCT_GENERIC, SPDK_NVME_SC_ABORTED_SQ_DELETION);
  } else {
    execute(r, qp->ctrlr->emu.get(), &cpl);
    if (r->overwrite) set_status(&cpl, r->sct, r->sc);
  }
  const spdk_nvme_cmd_cb cb = r->cb;
  void* arg = r->cb_arg;
  release_request(qp, r);
  if (cb != nullptr) cb(arg, &cpl);
}

// Common refusals of every submission; 0 to go on.
int admit(spdk_nvme_ns* ns, spdk_nvme_qpair* qp, uint32_t slots) {
  if (ns == nullptr || qp == nullptr) return -EINVAL;
  if (qp->deleting) return -ENXIO;  // from an abort callback while freeing
  check_owner(qp);
  EmuController* emu = qp->ctrlr->emu.get();
  if (emu->failed.load(std::memory_order_acquire)) return -ENXIO;
  if (ns->ctrlr != qp->ctrlr || !ns->emu->active) return -EINVAL;
  if (emu->pending.load(std::memory_order_acquire) > 0) {
    std::lock_guard<std::mutex> lock(emu->inj_mu);
    if (!emu->injections.empty() && !emu->injections.front().is_status) {
      const int rc = emu->injections.front().rc;
      emu->injections.pop_front();
      emu->pending.fetch_sub(1);
      return rc;
    }
  }
  if (slots > qp->requests - std::min(qp->requests, qp->slots_used)) return -ENOMEM;
  return 0;
}

// Queues an admitted command, applying an injected status when one waits.
uint8_t opcode_of(const Request* r) {
  switch (r->op) {
    case Op::kRead: return SPDK_NVME_OPC_READ;
    case Op::kWrite: return SPDK_NVME_OPC_WRITE;
    case Op::kWriteZeroes: return SPDK_NVME_OPC_WRITE_ZEROES;
    case Op::kDeallocate: return SPDK_NVME_OPC_DATASET_MANAGEMENT;
  }
  return 0xff;
}

void accept(spdk_nvme_qpair* qp, Request* r, uint32_t slots, spdk_nvme_cmd_cb cb, void* arg) {
  EmuController* emu = qp->ctrlr->emu.get();
  r->slots = slots;
  r->cb = cb;
  r->cb_arg = arg;
  r->injected = false;
  r->overwrite = false;
  if (qp->inj_armed.load(std::memory_order_acquire) > 0) {
    std::lock_guard<std::mutex> lock(qp->inj_mu);
    CmdInjection inj;
    if (take_cmd_injection(&qp->injections, opcode_of(r), &inj)) {
      qp->inj_armed.store(static_cast<int>(qp->injections.size()));
      (inj.do_not_submit ? r->injected : r->overwrite) = true;
      r->sct = inj.sct;
      r->sc = inj.sc;
    }
  }
  if (r->op == Op::kRead) {
    emu->reads.fetch_add(1, std::memory_order_relaxed);
    emu->read_bytes.fetch_add(uint64_t{r->lba_count} * r->ns->sector_size,
                              std::memory_order_relaxed);
  } else if (r->op == Op::kWrite) {
    emu->writes.fetch_add(1, std::memory_order_relaxed);
    emu->written_bytes.fetch_add(uint64_t{r->lba_count} * r->ns->sector_size,
                                 std::memory_order_relaxed);
  }
  if (emu->pending.load(std::memory_order_acquire) > 0) {
    std::lock_guard<std::mutex> lock(emu->inj_mu);
    if (!emu->injections.empty() && emu->injections.front().is_status) {
      r->injected = true;
      r->sct = emu->injections.front().sct;
      r->sc = emu->injections.front().sc;
      emu->injections.pop_front();
      emu->pending.fetch_sub(1);
    }
  }
  qp->slots_used += slots;
  emu->commands.fetch_add(1, std::memory_order_relaxed);
  enqueue(qp, r);
}

// Request objects a data command takes: one, or one per piece plus the
// parent when it is longer than the largest transfer.
uint32_t slots_for(spdk_nvme_ns* ns, uint32_t lba_count) {
  const uint64_t bytes = uint64_t{lba_count} * ns->emu->sector_size;
  if (bytes <= ns->max_xfer) return 1;
  return static_cast<uint32_t>(1 + (bytes + ns->max_xfer - 1) / ns->max_xfer);
}

int check_md(spdk_nvme_ns* ns, void* metadata, uint32_t lba_count) {
  if (ns->emu->md_size == 0) return 0;  // nothing is transferred
  if (metadata == nullptr) return -EINVAL;
  if (!spdk_standin::dma_range_ok(metadata, uint64_t{lba_count} * ns->emu->md_size)) {
    return -EFAULT;
  }
  return 0;
}

// A free request made out as command `op` on `ns`, with no data yet.
Request* start_command(spdk_nvme_qpair* qp, Op op, spdk_nvme_ns* ns, uint64_t lba,
                       uint32_t lba_count) {
  Request* r = take_request(qp);
  r->op = op;
  r->ns = ns->emu;
  r->lba = lba;
  r->lba_count = lba_count;
  r->max_xfer = ns->max_xfer;
  r->payload = nullptr;
  r->md = nullptr;
  return r;
}

int submit_flat(Op op, spdk_nvme_ns* ns, spdk_nvme_qpair* qp, void* payload, void* metadata,
                uint64_t lba, uint32_t lba_count, spdk_nvme_cmd_cb cb, void* arg) {
  if (ns == nullptr || qp == nullptr || lba_count == 0 || payload == nullptr) return -EINVAL;
  const uint32_t slots = slots_for(ns, lba_count);
  int rc = admit(ns, qp, slots);
  if (rc != 0) return rc;
  if (!spdk_standin::dma_range_ok(payload, uint64_t{lba_count} * ns->emu->sector_size)) {
    return -EFAULT;
  }
  if ((rc = check_md(ns, metadata, lba_count)) != 0) return rc;
  Request* r = start_command(qp, op, ns, lba, lba_count);
  r->payload = static_cast<char*>(payload);
  r->md = static_cast<char*>(metadata);
  accept(qp, r, slots, cb, arg);
  return 0;
}

// Walks the caller's scatter list the way the driver builds a command: one
// walk per piece of a split, each starting with a reset at the piece's
// offset. Records the stretches; -EINVAL when the list runs short, -EFAULT
// when a stretch is not DMA memory.
int walk_sgl(Request* r, spdk_nvme_ns* ns, uint64_t total, void* arg,
             spdk_nvme_req_reset_sgl_cb reset_fn, spdk_nvme_req_next_sge_cb next_fn) {
  for (uint64_t piece = 0; piece < total; piece += ns->max_xfer) {
    uint64_t need = std::min<uint64_t>(ns->max_xfer, total - piece);
    reset_fn(arg, static_cast<uint32_t>(piece));
    while (need > 0) {
      void* addr = nullptr;
      uint32_t len = 0;
      if (next_fn(arg, &addr, &len) != 0 || len == 0 || addr == nullptr) return -EINVAL;
      const uint32_t use = static_cast<uint32_t>(std::min<uint64_t>(len, need));
      if (!spdk_standin::dma_range_ok(addr, use)) return -EFAULT;
      r->segs.push_back({static_cast<char*>(addr), use});
      need -= use;
    }
  }
  return 0;
}

int submit_sgl(Op op, spdk_nvme_ns* ns, spdk_nvme_qpair* qp, uint64_t lba, uint32_t lba_count,
               spdk_nvme_cmd_cb cb, void* arg, spdk_nvme_req_reset_sgl_cb reset_fn,
               spdk_nvme_req_next_sge_cb next_fn, void* metadata) {
  if (ns == nullptr || qp == nullptr || lba_count == 0 || reset_fn == nullptr ||
      next_fn == nullptr) {
    return -EINVAL;
  }
  const uint32_t slots = slots_for(ns, lba_count);
  int rc = admit(ns, qp, slots);
  if (rc != 0) return rc;
  if ((rc = check_md(ns, metadata, lba_count)) != 0) return rc;
  Request* r = start_command(qp, op, ns, lba, lba_count);
  rc = walk_sgl(r, ns, uint64_t{lba_count} * ns->emu->sector_size, arg, reset_fn, next_fn);
  if (rc != 0) {
    r->slots = 0;
    release_request(qp, r);
    return rc;
  }
  r->md = static_cast<char*>(metadata);
  accept(qp, r, slots, cb, arg);
  return 0;
}

void free_qpair(spdk_nvme_qpair* qp) {
  qp->deleting = true;
  while (qp->head != nullptr) complete_one(qp, true);
  delete qp;
}

}  // namespace

// ---------------------------------------------------------------------------
// Probe, attach, detach.

extern "C" int spdk_nvme_probe(const struct spdk_nvme_transport_id* trid, void* cb_ctx,
                               spdk_nvme_probe_cb probe_cb, spdk_nvme_attach_cb attach_cb,
                               spdk_nvme_remove_cb /*remove_cb*/) {
  if (!spdk_standin::env_started()) return -1;
  std::string want;  // empty: every controller
  if (trid != nullptr) {
    if (trid->trtype != SPDK_NVME_TRANSPORT_PCIE) return -1;
    if (trid->traddr[0] != '\0') {
      want = normalise(trid->traddr, nullptr);
      if (want.empty()) return -1;
    }
  }
  std::vector<std::shared_ptr<EmuController>> found;
  {
    std::lock_guard<std::mutex> lock(g_mu);
    for (auto& entry : controllers()) {
      if (!want.empty() && entry.first != want) continue;
      if (entry.second->handle == nullptr) found.push_back(entry.second);
    }
  }
  for (auto& emu : found) {
    spdk_nvme_transport_id id;
    memset(&id, 0, sizeof(id));
    id.trtype = SPDK_NVME_TRANSPORT_PCIE;
    snprintf(id.trstring, sizeof(id.trstring), "PCIe");
    snprintf(id.traddr, sizeof(id.traddr), "%s", emu->key.c_str());
    snprintf(id.subnqn, sizeof(id.subnqn), "%s", SPDK_NVMF_DISCOVERY_NQN);

    auto* ctrlr = new spdk_nvme_ctrlr;
    ctrlr->emu = emu;
    memset(&ctrlr->opts, 0, sizeof(ctrlr->opts));
    ctrlr->opts.num_io_queues = kDefaultNumIoQueues;
    ctrlr->opts.io_queue_size = kDefaultIoQueueSize;
    ctrlr->opts.io_queue_requests = kDefaultIoQueueRequests;
    ctrlr->opts.keep_alive_timeout_ms = 10000;
    {
      std::lock_guard<std::mutex> lock(g_mu);
      ++emu->stats.probes;
    }
    if (probe_cb != nullptr && !probe_cb(cb_ctx, &id, &ctrlr->opts)) {
      delete ctrlr;
      continue;
    }
    // The controller grants what it supports.
    spdk_nvme_ctrlr_opts& o = ctrlr->opts;
    o.num_io_queues = std::min(std::max(o.num_io_queues, 1u), emu->shape.max_io_qpairs);
    o.io_queue_size = std::min(std::max(o.io_queue_size, 2u), emu->shape.max_queue_entries);
    o.io_queue_requests = std::max(o.io_queue_requests, o.io_queue_size);
    for (EmuNamespace& n : emu->ns) {
      ctrlr->ns.push_back(std::unique_ptr<spdk_nvme_ns>(
          new spdk_nvme_ns{ctrlr, &n, emu->shape.max_xfer_size}));
    }
    {
      std::lock_guard<std::mutex> lock(g_mu);
      if (emu->handle != nullptr) {  // attached meanwhile by another probe
        delete ctrlr;
        continue;
      }
      emu->handle = ctrlr;
      emu->stats.attached = true;
      ++emu->stats.attaches;
    }
    if (attach_cb != nullptr) attach_cb(cb_ctx, &id, ctrlr, &ctrlr->opts);
  }
  return 0;
}

namespace {

void run_admin(EmuController* emu, AdminCmd* cmd, spdk_nvme_cpl* cpl);

// Completes every queued admin command (aborted, or run); their number.
int complete_admin(spdk_nvme_ctrlr* ctrlr, bool abort_them) {
  std::deque<AdminCmd> cmds;
  {
    std::lock_guard<std::mutex> lock(ctrlr->mu);
    cmds.swap(ctrlr->admin);
  }
  for (AdminCmd& cmd : cmds) {
    spdk_nvme_cpl cpl;
    memset(&cpl, 0, sizeof(cpl));
    if (abort_them) {
      set_status(&cpl, SPDK_NVME_SCT_GENERIC, SPDK_NVME_SC_ABORTED_SQ_DELETION);
    } else {
      run_admin(ctrlr->emu.get(), &cmd, &cpl);
    }
    if (cmd.cb != nullptr) cmd.cb(cmd.arg, &cpl);
  }
  return static_cast<int>(cmds.size());
}

}  // namespace

extern "C" int spdk_nvme_detach(struct spdk_nvme_ctrlr* ctrlr) {
  if (ctrlr == nullptr) return -EINVAL;
  std::set<spdk_nvme_qpair*> left;
  {
    std::lock_guard<std::mutex> lock(ctrlr->mu);
    left.swap(ctrlr->qpairs);
  }
  for (spdk_nvme_qpair* qp : left) free_qpair(qp);
  complete_admin(ctrlr, true);
  {
    std::lock_guard<std::mutex> lock(g_mu);
    EmuController* emu = ctrlr->emu.get();
    emu->handle = nullptr;
    emu->stats.attached = false;
    emu->stats.io_qpairs = 0;
    ++emu->stats.detaches;
  }
  delete ctrlr;
  return 0;
}

// ---------------------------------------------------------------------------
// Controller and namespace queries.

extern "C" const struct spdk_nvme_ctrlr_data* spdk_nvme_ctrlr_get_data(
    struct spdk_nvme_ctrlr* ctrlr) {
  return &ctrlr->emu->cdata;
}

extern "C" struct spdk_pci_device* spdk_nvme_ctrlr_get_pci_device(
    struct spdk_nvme_ctrlr* ctrlr) {
  return &ctrlr->emu->pci;
}

extern "C" struct spdk_pci_addr spdk_pci_device_get_addr(struct spdk_pci_device* dev) {
  return dev->addr;
}

extern "C" uint32_t spdk_nvme_ctrlr_get_max_xfer_size(struct spdk_nvme_ctrlr* ctrlr) {
  return ctrlr->emu->shape.max_xfer_size;
}

extern "C" bool spdk_nvme_ctrlr_is_failed(struct spdk_nvme_ctrlr* ctrlr) {
  return ctrlr->emu->failed.load();
}

extern "C" uint32_t spdk_nvme_ctrlr_get_num_ns(struct spdk_nvme_ctrlr* ctrlr) {
  return static_cast<uint32_t>(ctrlr->ns.size());
}

extern "C" bool spdk_nvme_ctrlr_is_active_ns(struct spdk_nvme_ctrlr* ctrlr, uint32_t nsid) {
  return nsid >= 1 && nsid <= ctrlr->ns.size() && ctrlr->ns[nsid - 1]->emu->active;
}

extern "C" uint32_t spdk_nvme_ctrlr_get_next_active_ns(struct spdk_nvme_ctrlr* ctrlr,
                                                       uint32_t prev_nsid) {
  for (uint32_t id = prev_nsid + 1; id <= ctrlr->ns.size(); ++id) {
    if (spdk_nvme_ctrlr_is_active_ns(ctrlr, id)) return id;
  }
  return 0;
}

extern "C" uint32_t spdk_nvme_ctrlr_get_first_active_ns(struct spdk_nvme_ctrlr* ctrlr) {
  return spdk_nvme_ctrlr_get_next_active_ns(ctrlr, 0);
}

extern "C" struct spdk_nvme_ns* spdk_nvme_ctrlr_get_ns(struct spdk_nvme_ctrlr* ctrlr,
                                                      uint32_t nsid) {
  if (nsid < 1 || nsid > ctrlr->ns.size()) return nullptr;
  return ctrlr->ns[nsid - 1].get();
}

extern "C" bool spdk_nvme_ns_is_active(struct spdk_nvme_ns* ns) { return ns->emu->active; }
extern "C" uint32_t spdk_nvme_ns_get_id(struct spdk_nvme_ns* ns) { return ns->emu->nsid; }
extern "C" uint32_t spdk_nvme_ns_get_sector_size(struct spdk_nvme_ns* ns) {
  return ns->emu->sector_size;
}
extern "C" uint32_t spdk_nvme_ns_get_md_size(struct spdk_nvme_ns* ns) {
  return ns->emu->md_size;
}
extern "C" uint64_t spdk_nvme_ns_get_num_sectors(struct spdk_nvme_ns* ns) {
  return ns->emu->active ? ns->emu->num_sectors : 0;
}
extern "C" uint64_t spdk_nvme_ns_get_size(struct spdk_nvme_ns* ns) {
  return spdk_nvme_ns_get_num_sectors(ns) * ns->emu->sector_size;
}
extern "C" uint32_t spdk_nvme_ns_get_max_io_xfer_size(struct spdk_nvme_ns* ns) {
  return ns->max_xfer;
}

// ---------------------------------------------------------------------------
// I/O queue pairs.

extern "C" void spdk_nvme_ctrlr_get_default_io_qpair_opts(struct spdk_nvme_ctrlr* ctrlr,
                                                          struct spdk_nvme_io_qpair_opts* opts,
                                                          size_t opts_size) {
  spdk_nvme_io_qpair_opts d;
  memset(&d, 0, sizeof(d));
  d.qprio = SPDK_NVME_QPRIO_URGENT;
  d.io_queue_size = ctrlr->opts.io_queue_size;
  d.io_queue_requests = ctrlr->opts.io_queue_requests;
  memcpy(opts, &d, std::min(opts_size, sizeof(d)));
}

extern "C" struct spdk_nvme_qpair* spdk_nvme_ctrlr_alloc_io_qpair(
    struct spdk_nvme_ctrlr* ctrlr, const struct spdk_nvme_io_qpair_opts* user_opts,
    size_t opts_size) {
  if (ctrlr == nullptr) return nullptr;
  spdk_nvme_io_qpair_opts opts;
  spdk_nvme_ctrlr_get_default_io_qpair_opts(ctrlr, &opts, sizeof(opts));
  if (user_opts != nullptr) memcpy(&opts, user_opts, std::min(opts_size, sizeof(opts)));
  if (ctrlr->emu->failed.load()) return nullptr;
  std::lock_guard<std::mutex> lock(ctrlr->mu);
  if (ctrlr->qpairs.size() >= ctrlr->opts.num_io_queues) return nullptr;
  auto* qp = new spdk_nvme_qpair;
  qp->ctrlr = ctrlr;
  qp->queue_size =
      std::min(std::max(opts.io_queue_size, 2u), ctrlr->emu->shape.max_queue_entries);
  qp->requests = std::max(opts.io_queue_requests, qp->queue_size);
  ctrlr->qpairs.insert(qp);
  {
    std::lock_guard<std::mutex> g(g_mu);
    ctrlr->emu->stats.io_qpairs = static_cast<uint32_t>(ctrlr->qpairs.size());
  }
  return qp;
}

extern "C" int spdk_nvme_ctrlr_free_io_qpair(struct spdk_nvme_qpair* qpair) {
  if (qpair == nullptr) return 0;
  spdk_nvme_ctrlr* ctrlr = qpair->ctrlr;
  {
    std::lock_guard<std::mutex> lock(ctrlr->mu);
    ctrlr->qpairs.erase(qpair);
    std::lock_guard<std::mutex> g(g_mu);
    ctrlr->emu->stats.io_qpairs = static_cast<uint32_t>(ctrlr->qpairs.size());
  }
  free_qpair(qpair);
  return 0;
}

extern "C" int32_t spdk_nvme_qpair_process_completions(struct spdk_nvme_qpair* qpair,
                                                       uint32_t max_completions) {
  if (qpair == nullptr) return -EINVAL;
  check_owner(qpair);
  if (qpair->in_process) return 0;  // called again from a completion callback
  qpair->in_process = true;
  int32_t done = 0;
  if (qpair->ctrlr->emu->failed.load(std::memory_order_acquire)) {
    while (qpair->head != nullptr) complete_one(qpair, true);
    qpair->in_process = false;
    return -ENXIO;
  }
  // Only commands submitted before this call; callbacks may add more.
  uint32_t n = qpair->outstanding;
  if (max_completions != 0) n = std::min(n, max_completions);
  for (uint32_t i = 0; i < n; ++i) {
    complete_one(qpair, false);
    ++done;
  }
  qpair->in_process = false;
  return done;
}

// ---------------------------------------------------------------------------
// Commands.

extern "C" int spdk_nvme_ns_cmd_read_with_md(struct spdk_nvme_ns* ns,
                                             struct spdk_nvme_qpair* qpair, void* payload,
                                             void* metadata, uint64_t lba, uint32_t lba_count,
                                             spdk_nvme_cmd_cb cb_fn, void* cb_arg,
                                             uint32_t /*io_flags*/, uint16_t /*apptag_mask*/,
                                             uint16_t /*apptag*/) {
  return submit_flat(Op::kRead, ns, qpair, payload, metadata, lba, lba_count, cb_fn, cb_arg);
}

extern "C" int spdk_nvme_ns_cmd_write_with_md(struct spdk_nvme_ns* ns,
                                              struct spdk_nvme_qpair* qpair, void* payload,
                                              void* metadata, uint64_t lba, uint32_t lba_count,
                                              spdk_nvme_cmd_cb cb_fn, void* cb_arg,
                                              uint32_t /*io_flags*/, uint16_t /*apptag_mask*/,
                                              uint16_t /*apptag*/) {
  return submit_flat(Op::kWrite, ns, qpair, payload, metadata, lba, lba_count, cb_fn, cb_arg);
}

extern "C" int spdk_nvme_ns_cmd_readv_with_md(struct spdk_nvme_ns* ns,
                                              struct spdk_nvme_qpair* qpair, uint64_t lba,
                                              uint32_t lba_count, spdk_nvme_cmd_cb cb_fn,
                                              void* cb_arg, uint32_t /*io_flags*/,
                                              spdk_nvme_req_reset_sgl_cb reset_sgl_fn,
                                              spdk_nvme_req_next_sge_cb next_sge_fn,
                                              void* metadata, uint16_t /*apptag_mask*/,
                                              uint16_t /*apptag*/) {
  return submit_sgl(Op::kRead, ns, qpair, lba, lba_count, cb_fn, cb_arg, reset_sgl_fn,
                    next_sge_fn, metadata);
}

extern "C" int spdk_nvme_ns_cmd_writev_with_md(struct spdk_nvme_ns* ns,
                                               struct spdk_nvme_qpair* qpair, uint64_t lba,
                                               uint32_t lba_count, spdk_nvme_cmd_cb cb_fn,
                                               void* cb_arg, uint32_t /*io_flags*/,
                                               spdk_nvme_req_reset_sgl_cb reset_sgl_fn,
                                               spdk_nvme_req_next_sge_cb next_sge_fn,
                                               void* metadata, uint16_t /*apptag_mask*/,
                                               uint16_t /*apptag*/) {
  return submit_sgl(Op::kWrite, ns, qpair, lba, lba_count, cb_fn, cb_arg, reset_sgl_fn,
                    next_sge_fn, metadata);
}

extern "C" int spdk_nvme_ns_cmd_write_zeroes(struct spdk_nvme_ns* ns,
                                             struct spdk_nvme_qpair* qpair, uint64_t lba,
                                             uint32_t lba_count, spdk_nvme_cmd_cb cb_fn,
                                             void* cb_arg, uint32_t /*io_flags*/) {
  if (ns == nullptr || qpair == nullptr || lba_count == 0 ||
      lba_count > kMaxWriteZeroesBlocks) {
    return -EINVAL;
  }
  const int rc = admit(ns, qpair, 1);
  if (rc != 0) return rc;
  accept(qpair, start_command(qpair, Op::kWriteZeroes, ns, lba, lba_count), 1, cb_fn, cb_arg);
  return 0;
}

extern "C" int spdk_nvme_ns_cmd_dataset_management(struct spdk_nvme_ns* ns,
                                                   struct spdk_nvme_qpair* qpair, uint32_t type,
                                                   const struct spdk_nvme_dsm_range* ranges,
                                                   uint16_t num_ranges, spdk_nvme_cmd_cb cb_fn,
                                                   void* cb_arg) {
  if (ns == nullptr || qpair == nullptr || ranges == nullptr || num_ranges == 0 ||
      num_ranges > SPDK_NVME_DATASET_MANAGEMENT_MAX_RANGES) {
    return -EINVAL;
  }
  const int rc = admit(ns, qpair, 1);
  if (rc != 0) return rc;
  Request* r = start_command(qpair, Op::kDeallocate, ns, 0, 0);
  r->dsm_type = type;
  r->ranges.assign(ranges, ranges + num_ranges);
  accept(qpair, r, 1, cb_fn, cb_arg);
  return 0;
}

// ---------------------------------------------------------------------------
// Admin commands.

namespace {

static_assert(sizeof(spdk_nvme_health_information_page) == 512, "health page is 512 bytes");

uint64_t data_units(uint64_t bytes) { return (bytes + 511999) / 512000; }

void health_page(EmuController* emu, spdk_nvme_health_information_page* page) {
  memset(page, 0, sizeof(*page));
  page->critical_warning.raw = emu->shape.critical_warning;
  page->temperature = emu->shape.temperature;
  page->available_spare = 100;
  page->available_spare_threshold = 10;
  page->percentage_used = emu->shape.percentage_used;
  page->data_units_read[0] = data_units(emu->read_bytes.load());
  page->data_units_written[0] = data_units(emu->written_bytes.load());
  page->host_read_commands[0] = emu->reads.load();
  page->host_write_commands[0] = emu->writes.load();
  page->power_cycles[0] = 1;
}

void run_admin(EmuController* emu, AdminCmd* cmd, spdk_nvme_cpl* cpl) {
  if (cmd->injected && cmd->inj.do_not_submit) {
    set_status(cpl, cmd->inj.sct, cmd->inj.sc);
    return;
  }
  if (cmd->opc == SPDK_NVME_OPC_GET_FEATURES) {
    const uint32_t queues = emu->shape.max_io_qpairs - 1;
    switch (cmd->id) {
      case SPDK_NVME_FEAT_TEMPERATURE_THRESHOLD:
        if (emu->shape.temperature_threshold == 0) {
          set_status(cpl, SPDK_NVME_SCT_GENERIC, SPDK_NVME_SC_INVALID_FIELD);
        } else {
          cpl->cdw0 = emu->shape.temperature_threshold;
        }
        break;
      case SPDK_NVME_FEAT_NUMBER_OF_QUEUES:
        cpl->cdw0 = (queues << 16) | queues;
        break;
      case SPDK_NVME_FEAT_ARBITRATION:
      case SPDK_NVME_FEAT_POWER_MANAGEMENT:
      case SPDK_NVME_FEAT_ERROR_RECOVERY:
      case SPDK_NVME_FEAT_VOLATILE_WRITE_CACHE:
      case SPDK_NVME_FEAT_INTERRUPT_COALESCING:
      case SPDK_NVME_FEAT_WRITE_ATOMICITY:
      case SPDK_NVME_FEAT_ASYNC_EVENT_CONFIGURATION:
        cpl->cdw0 = 0;
        break;
      default:
        set_status(cpl, SPDK_NVME_SCT_GENERIC, SPDK_NVME_SC_INVALID_FIELD);
        break;
    }
  } else {  // get log page
    spdk_nvme_health_information_page page;
    memset(&page, 0, sizeof(page));
    if (cmd->id == SPDK_NVME_LOG_HEALTH_INFORMATION) {
      health_page(emu, &page);
    } else if (cmd->id != SPDK_NVME_LOG_ERROR && cmd->id != SPDK_NVME_LOG_FIRMWARE_SLOT) {
      set_status(cpl, SPDK_NVME_SCT_GENERIC, SPDK_NVME_SC_INVALID_FIELD);
      return;
    }
    if (cmd->offset >= sizeof(page)) {
      set_status(cpl, SPDK_NVME_SCT_GENERIC, SPDK_NVME_SC_INVALID_FIELD);
      return;
    }
    const size_t n = std::min<size_t>(cmd->size, sizeof(page) - cmd->offset);
    memcpy(cmd->payload, reinterpret_cast<const char*>(&page) + cmd->offset, n);
    memset(cmd->payload + n, 0, cmd->size - n);
  }
  if (cmd->injected) set_status(cpl, cmd->inj.sct, cmd->inj.sc);
}

int queue_admin(spdk_nvme_ctrlr* ctrlr, AdminCmd cmd) {
  if (ctrlr->emu->failed.load(std::memory_order_acquire)) return -ENXIO;
  if (cmd.size != 0 && !spdk_standin::dma_range_ok(cmd.payload, cmd.size)) return -EFAULT;
  std::lock_guard<std::mutex> lock(ctrlr->mu);
  cmd.injected = take_cmd_injection(&ctrlr->admin_injections, cmd.opc, &cmd.inj);
  ctrlr->admin.push_back(cmd);
  return 0;
}

}  // namespace

extern "C" int spdk_nvme_ctrlr_cmd_get_feature(struct spdk_nvme_ctrlr* ctrlr, uint8_t feature,
                                               uint32_t cdw11, void* payload,
                                               uint32_t payload_size, spdk_nvme_cmd_cb cb_fn,
                                               void* cb_arg) {
  if (ctrlr == nullptr || (payload == nullptr && payload_size != 0)) return -EINVAL;
  return queue_admin(ctrlr, AdminCmd{SPDK_NVME_OPC_GET_FEATURES, feature, cdw11,
                                     static_cast<char*>(payload), payload_size, 0, cb_fn, cb_arg,
                                     false, CmdInjection()});
}

extern "C" int spdk_nvme_ctrlr_cmd_get_log_page(struct spdk_nvme_ctrlr* ctrlr, uint8_t log_page,
                                                uint32_t /*nsid*/, void* payload,
                                                uint32_t payload_size, uint64_t offset,
                                                spdk_nvme_cmd_cb cb_fn, void* cb_arg) {
  if (ctrlr == nullptr || payload == nullptr || payload_size == 0 || offset % 4 != 0) {
    return -EINVAL;
  }
  return queue_admin(ctrlr, AdminCmd{SPDK_NVME_OPC_GET_LOG_PAGE, log_page, 0,
                                     static_cast<char*>(payload), payload_size, offset, cb_fn,
                                     cb_arg, false, CmdInjection()});
}

extern "C" int32_t spdk_nvme_ctrlr_process_admin_completions(struct spdk_nvme_ctrlr* ctrlr) {
  if (ctrlr == nullptr) return -EINVAL;
  const bool failed = ctrlr->emu->failed.load(std::memory_order_acquire);
  const int n = complete_admin(ctrlr, failed);
  return failed ? -ENXIO : n;
}

extern "C" int spdk_nvme_qpair_add_cmd_error_injection(struct spdk_nvme_ctrlr* ctrlr,
                                                       struct spdk_nvme_qpair* qpair,
                                                       uint8_t opc, bool do_not_submit,
                                                       uint64_t /*timeout_in_us*/,
                                                       uint32_t err_count, uint8_t sct,
                                                       uint8_t sc) {
  if (ctrlr == nullptr || err_count == 0 || (qpair != nullptr && qpair->ctrlr != ctrlr)) {
    return -EINVAL;
  }
  const CmdInjection inj{opc, do_not_submit, err_count, sct, sc};
  if (qpair == nullptr) {
    std::lock_guard<std::mutex> lock(ctrlr->mu);
    ctrlr->admin_injections.push_back(inj);
    return 0;
  }
  std::lock_guard<std::mutex> lock(qpair->inj_mu);
  qpair->injections.push_back(inj);
  qpair->inj_armed.store(static_cast<int>(qpair->injections.size()));
  return 0;
}

extern "C" void spdk_nvme_qpair_remove_cmd_error_injection(struct spdk_nvme_ctrlr* ctrlr,
                                                           struct spdk_nvme_qpair* qpair,
                                                           uint8_t opc) {
  if (ctrlr == nullptr) return;
  auto drop = [opc](std::vector<CmdInjection>* list) {
    list->erase(std::remove_if(list->begin(), list->end(),
                               [opc](const CmdInjection& i) { return i.opc == opc; }),
                list->end());
  };
  if (qpair == nullptr) {
    std::lock_guard<std::mutex> lock(ctrlr->mu);
    drop(&ctrlr->admin_injections);
    return;
  }
  std::lock_guard<std::mutex> lock(qpair->inj_mu);
  drop(&qpair->injections);
  qpair->inj_armed.store(static_cast<int>(qpair->injections.size()));
}

// ---------------------------------------------------------------------------
// Test hooks.

namespace spdk_standin {

namespace {

bool power_of_two(uint32_t v) { return v != 0 && (v & (v - 1)) == 0; }

int open_sized(const std::string& path, uint64_t size, int* fd_out) {
  const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return -errno;
  if (ftruncate(fd, static_cast<off_t>(size)) != 0) {
    const int err = errno;
    close(fd);
    return -err;
  }
  *fd_out = fd;
  return 0;
}

uint8_t mdts_of(uint32_t max_xfer) {
  uint8_t m = 0;
  while ((4096u << m) < max_xfer) ++m;
  return m;
}

}  // namespace

int add_controller(const ControllerShape& shape) {
  spdk_pci_addr addr;
  const std::string key = normalise(shape.traddr, &addr);
  if (key.empty() || shape.namespaces.empty() || !power_of_two(shape.max_xfer_size) ||
      shape.max_xfer_size < 4096 || shape.max_queue_entries < 2 || shape.max_io_qpairs == 0) {
    return -EINVAL;
  }
  for (const NamespaceSpec& n : shape.namespaces) {
    if ((n.sector_size != 512 && n.sector_size != 4096) ||
        (n.md_size != 0 && n.md_size != 8 && n.md_size != 64) || n.num_sectors == 0 ||
        n.path.empty()) {
      return -EINVAL;
    }
  }
  auto emu = std::make_shared<EmuController>();
  emu->shape = shape;
  emu->key = key;
  emu->pci.addr = addr;
  memset(&emu->cdata, 0, sizeof(emu->cdata));
  emu->cdata.vid = 0x1b36;
  emu->cdata.ssvid = 0x1af4;
  pad_copy(emu->cdata.sn, sizeof(emu->cdata.sn), shape.serial);
  pad_copy(emu->cdata.mn, sizeof(emu->cdata.mn), shape.model);
  memcpy(emu->cdata.fr, "1.0     ", 8);
  emu->cdata.mdts = mdts_of(shape.max_xfer_size);
  emu->cdata.nn = static_cast<uint32_t>(shape.namespaces.size());
  emu->ns.resize(shape.namespaces.size());
  for (size_t i = 0; i < shape.namespaces.size(); ++i) {
    const NamespaceSpec& n = shape.namespaces[i];
    EmuNamespace& e = emu->ns[i];
    e.nsid = static_cast<uint32_t>(i + 1);
    e.active = n.active;
    e.sector_size = n.sector_size;
    e.md_size = n.md_size;
    e.num_sectors = n.num_sectors;
    int rc = open_sized(n.path, n.num_sectors * n.sector_size, &e.data_fd);
    if (rc == 0 && n.md_size != 0) rc = open_sized(n.path + ".md", n.num_sectors * n.md_size, &e.md_fd);
    if (rc != 0) return rc;  // emu's destructor closes what was opened
  }
  std::lock_guard<std::mutex> lock(g_mu);
  if (!controllers().emplace(key, emu).second) return -EEXIST;
  return 0;
}

int remove_controller(const std::string& traddr) {
  const std::string key = normalise(traddr, nullptr);
  std::lock_guard<std::mutex> lock(g_mu);
  auto it = controllers().find(key);
  if (it == controllers().end()) return -ENOENT;
  if (it->second->handle != nullptr) return -EBUSY;
  controllers().erase(it);
  return 0;
}

namespace {

int inject(const std::string& traddr, const Injection& what, int count) {
  auto emu = find(traddr);
  if (emu == nullptr) return -ENOENT;
  if (count <= 0) return -EINVAL;
  std::lock_guard<std::mutex> lock(emu->inj_mu);
  for (int i = 0; i < count; ++i) emu->injections.push_back(what);
  emu->pending.fetch_add(count);
  return 0;
}

}  // namespace

int inject_status(const std::string& traddr, uint16_t sct, uint16_t sc, int count) {
  return inject(traddr, Injection{true, sct, sc, 0}, count);
}

int inject_submit_error(const std::string& traddr, int rc, int count) {
  if (rc >= 0) return -EINVAL;
  return inject(traddr, Injection{false, 0, 0, rc}, count);
}

int set_controller_failed(const std::string& traddr, bool failed) {
  auto emu = find(traddr);
  if (emu == nullptr) return -ENOENT;
  emu->failed.store(failed, std::memory_order_release);
  return 0;
}

bool controller_stats(const std::string& traddr, ControllerStats* out) {
  const std::string key = normalise(traddr, nullptr);
  std::lock_guard<std::mutex> lock(g_mu);
  auto it = controllers().find(key);
  if (it == controllers().end()) return false;
  *out = it->second->stats;
  out->commands = it->second->commands.load();
  out->pieces = it->second->pieces.load();
  return true;
}

}  // namespace spdk_standin
