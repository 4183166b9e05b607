#include "tarn/polling/spdk_nvme_device.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <unordered_map>

#include "tarn/base/logging.h"
#include "tarn/base/time_cycle.h"
#include "tarn/types.h"

namespace tarn {

namespace {

constexpr uint32_t kPollBatch = 24;
constexpr uint32_t kMinQueueRequests = 2048;
// One write-zeroes command covers at most this many blocks.
constexpr uint64_t kMaxWriteZeroesBlocks = 65536;

// Request objects of a queue pair of `io_queue_size` entries: enough for
// every entry to be in flight while as many wait in software.
uint32_t QueueRequests(uint32_t io_queue_size) {
  return io_queue_size <= kMinQueueRequests ? kMinQueueRequests : io_queue_size * 2;
}

// Controllers and metrics shared by the devices of one PCI address, with
// the number of inited devices using each. Guarded by InitMutex(); never
// destroyed, since devices may go at process exit.
struct CtrlrEntry {
  spdk_nvme_ctrlr* ctrlr;
  int users;
};
struct MetricsEntry {
  DiskMetrics* metrics;
  int users;
};

std::mutex& InitMutex() {
  static auto* mu = new std::mutex;
  return *mu;
}
std::unordered_map<std::string, CtrlrEntry>& Ctrlrs() {
  static auto* table = new std::unordered_map<std::string, CtrlrEntry>;
  return *table;
}
std::unordered_map<std::string, MetricsEntry>& Metrics() {
  static auto* table = new std::unordered_map<std::string, MetricsEntry>;
  return *table;
}

// A blank-padded identify field as text, trailing blanks dropped.
std::string FieldText(const int8_t* field, size_t len) {
  std::string s(reinterpret_cast<const char*>(field), len);
  const size_t end = s.find_last_not_of(' ');
  s.resize(end == std::string::npos ? 0 : end + 1);
  const size_t nul = s.find('\0');
  if (nul != std::string::npos) s.resize(nul);
  return s;
}

const char* StartFailedText(SpdkNvmeData::Kind kind, bool vectored) {
  switch (kind) {
    case SpdkNvmeData::kRead:
      return "starting spdk read failed, rc: ";
    case SpdkNvmeData::kWrite:
      return vectored ? "starting spdk writev failed, rc: " : "starting spdk write failed, rc: ";
    case SpdkNvmeData::kTrim:
      return "starting spdk trim failed, rc: ";
    case SpdkNvmeData::kWriteZeroes:
      return "starting spdk write zeroes failed, rc: ";
  }
  return "";
}

const char* CompleteFailedText(SpdkNvmeData::Kind kind) {
  switch (kind) {
    case SpdkNvmeData::kRead:
      return "spdk read_io_complete failed sc/sct: ";
    case SpdkNvmeData::kTrim:
      return "spdk trim_io_complete failed sc/sct: ";
    case SpdkNvmeData::kWrite:
    case SpdkNvmeData::kWriteZeroes:
      return "spdk io_complete failed sc/sct: ";
  }
  return "";
}

}  // namespace

// ---------------------------------------------------------------------------
// DiskMetrics

DiskMetrics::DiskMetrics(const std::string& name)
    : read_bw_(name + "_read_bw", &read_bytes_, 1),
      read_lat_(name, "_read"),
      read_size_(name, "_read_size"),
      write_bw_(name + "_write_bw", &write_bytes_, 1),
      write_lat_(name, "_write"),
      write_size_(name, "_write_size") {}

void DiskMetrics::RecordRead(uint64_t bytes, int64_t latency_us) {
  read_bytes_ << bytes;
  read_lat_ << latency_us;
  read_size_ << static_cast<int64_t>(bytes);
}

void DiskMetrics::RecordWrite(uint64_t bytes, int64_t latency_us) {
  write_bytes_ << bytes;
  write_lat_ << latency_us;
  write_size_ << static_cast<int64_t>(bytes);
}

// ---------------------------------------------------------------------------
// SpdkNvmeQpair

SpdkNvmeQpair::SpdkNvmeQpair(spdk_nvme_qpair* qpair, uint32_t requests, DiskMetrics* metrics,
                             size_t md_scratch_len)
    : qpair_(qpair),
      requests_(requests),
      pool_(kPoolSize),
      metrics_(metrics),
      md_len_(md_scratch_len) {
  if (md_len_ == 0) return;
  md_read_ = spdk_zmalloc(md_scratch_len, 4096, nullptr, SPDK_ENV_SOCKET_ID_ANY, SPDK_MALLOC_DMA);
  md_write_ = spdk_zmalloc(md_scratch_len, 4096, nullptr, SPDK_ENV_SOCKET_ID_ANY, SPDK_MALLOC_DMA);
}

SpdkNvmeQpair::~SpdkNvmeQpair() {
  // Outstanding commands complete (aborted) here and give their records
  // back before the pool goes.
  spdk_nvme_ctrlr_free_io_qpair(qpair_);
  spdk_free(md_read_);
  spdk_free(md_write_);
}

bool SpdkNvmeQpair::ok() const {
  return pool_.capacity() == kPoolSize &&
         (md_len_ == 0 || (md_read_ != nullptr && md_write_ != nullptr));
}

// ---------------------------------------------------------------------------
// SpdkNvmeDevice: set-up

SpdkNvmeDevice::SpdkNvmeDevice(const std::string& trid, uint32_t nsid, uint32_t dev_id)
    : nsid_(nsid), dev_id_(dev_id) {
  LOG_INFO << "trid_str: " << trid << ", nsid: " << nsid << ", dev_id: " << dev_id;
  memset(&trid_, 0, sizeof(trid_));
  trid_.trtype = SPDK_NVME_TRANSPORT_PCIE;
  snprintf(trid_.subnqn, sizeof(trid_.subnqn), "%s", SPDK_NVMF_DISCOVERY_NQN);
  spdk_pci_addr addr;
  if (spdk_nvme_transport_id_parse(&trid_, trid.c_str()) != 0 ||
      trid_.trtype != SPDK_NVME_TRANSPORT_PCIE ||
      spdk_pci_addr_parse(&addr, trid_.traddr) != 0) {
    // Init fails later; a bad configuration must not end the process.
    LOG_ERROR << "invalid transport ID format: " << trid;
    return;
  }
  // One spelling per address, so that devices written "01:00.0" and
  // "0000:01:00.0" share their controller.
  char text[32];
  spdk_pci_addr_fmt(text, sizeof(text), &addr);
  address_ = text;
  trid_ok_ = true;
}

SpdkNvmeDevice::~SpdkNvmeDevice() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (uint32_t i = 0; i < kMaxQpairNum; ++i) {
      delete qpairs_[i];
      qpairs_[i] = nullptr;
    }
    qp_ids_.reset();
  }
  if (inited_.load()) {
    std::lock_guard<std::mutex> lock(InitMutex());
    ReleaseController();
  }
}

bool SpdkNvmeDevice::inited() const { return inited_.load(std::memory_order_acquire); }

bool SpdkNvmeDevice::ProbeCb(void* /*ctx*/, const spdk_nvme_transport_id* trid,
                             spdk_nvme_ctrlr_opts* opts) {
  LOG_INFO << "Attaching to NVMe Controller at " << trid->traddr;
  // The controller lowers this to the largest queue it supports.
  opts->io_queue_size = 65535;
  return true;
}

void SpdkNvmeDevice::AttachCb(void* ctx, const spdk_nvme_transport_id* trid,
                              spdk_nvme_ctrlr* ctrlr, const spdk_nvme_ctrlr_opts* /*opts*/) {
  auto* dev = static_cast<SpdkNvmeDevice*>(ctx);
  spdk_pci_addr addr;
  if (spdk_pci_addr_parse(&addr, trid->traddr) != 0) {
    LOG_ERROR << "spdk_pci_addr_parse fail";
    spdk_nvme_detach(ctrlr);
    return;
  }
  if (spdk_nvme_ctrlr_get_pci_device(ctrlr) == nullptr) {
    LOG_ERROR << "unexpected transport";
    spdk_nvme_detach(ctrlr);
    return;
  }
  if (dev->ctrlr_ != nullptr) {  // one address names one controller
    spdk_nvme_detach(ctrlr);
    return;
  }
  LOG_INFO << "Attached to NVMe Controller at " << trid->traddr;
  dev->ctrlr_ = ctrlr;
}

int SpdkNvmeDevice::Init() {
  std::lock_guard<std::mutex> lock(InitMutex());
  if (inited_.load()) {
    LOG_DEBUG << "NVMe device has been init";
    return 0;
  }
  if (!trid_ok_) {
    LOG_ERROR << "spdk nvme device has no valid transport id, dev_id: " << dev_id_;
    return -1;
  }
  LOG_INFO << "init NVMe device at " << address_;
  auto it = Ctrlrs().find(address_);
  const bool shared = it != Ctrlrs().end();
  if (shared) {
    ctrlr_ = it->second.ctrlr;
  } else if (AttachController() != 0) {
    return -1;
  }
  if (RegisterNamespace() != 0) {
    // A controller attached for this device alone goes again.
    if (!shared) spdk_nvme_detach(ctrlr_);
    ctrlr_ = nullptr;
    ns_ = nullptr;
    return -1;
  }
  if (shared) {
    ++it->second.users;
  } else {
    Ctrlrs()[address_] = CtrlrEntry{ctrlr_, 1};
  }
  if (g_enable_metrics) {
    auto m = Metrics().find(address_);
    if (m == Metrics().end()) {
      m = Metrics().emplace(address_, MetricsEntry{new DiskMetrics("tarn_disk_" + address_), 0})
              .first;
    }
    ++m->second.users;
    metrics_ = m->second.metrics;
  }
  inited_.store(true, std::memory_order_release);
  return 0;
}

int SpdkNvmeDevice::AttachController() {
  if (spdk_nvme_probe(&trid_, this, ProbeCb, AttachCb, nullptr) != 0) {
    LOG_ERROR << "spdk_nvme_probe failed for transport address: " << address_;
    return -1;
  }
  if (ctrlr_ == nullptr) {
    LOG_ERROR << "no NVMe controllers found";
    return -1;
  }
  return 0;
}

int SpdkNvmeDevice::RegisterNamespace() {
  const spdk_nvme_ctrlr_data* cdata = spdk_nvme_ctrlr_get_data(ctrlr_);
  const std::string model = FieldText(cdata->mn, sizeof(cdata->mn));
  const std::string serial = FieldText(cdata->sn, sizeof(cdata->sn));
  LOG_INFO << "Controller mn: " << model << ", sn: " << serial
           << ", max_xfer_size: " << spdk_nvme_ctrlr_get_max_xfer_size(ctrlr_);
  snprintf(ctrlr_desc_, sizeof(ctrlr_desc_), "%-20.20s (%-20.20s)", model.c_str(),
           serial.c_str());

  bool found = false;
  for (uint32_t id = spdk_nvme_ctrlr_get_first_active_ns(ctrlr_); id != 0;
       id = spdk_nvme_ctrlr_get_next_active_ns(ctrlr_, id)) {
    if (id == nsid_) {
      found = true;
      break;
    }
  }
  if (!found) {
    LOG_ERROR << "nsid is invalid, nsid: " << nsid_;
    return -1;
  }
  ns_ = spdk_nvme_ctrlr_get_ns(ctrlr_, nsid_);
  if (ns_ == nullptr) {
    LOG_ERROR << "NVMe namespace is null, nsid: " << nsid_;
    return -1;
  }
  if (!spdk_nvme_ns_is_active(ns_)) {
    LOG_ERROR << "Controller, mn: " << model << ", sn: " << serial
              << ", inactive ns id: " << nsid_;
    LOG_ERROR << "register ns error";
    return -1;
  }
  sector_size_ = spdk_nvme_ns_get_sector_size(ns_);
  md_size_ = spdk_nvme_ns_get_md_size(ns_);
  size_ = spdk_nvme_ns_get_size(ns_);
  max_xfer_size_ = spdk_nvme_ns_get_max_io_xfer_size(ns_);
  if (sector_size_ == 0 || max_xfer_size_ < sector_size_) {
    LOG_ERROR << "Controller, mn: " << model << ", sn: " << serial
              << ", unusable ns id: " << nsid_ << ", sector_size: " << sector_size_
              << ", max_xfer_size: " << max_xfer_size_;
    LOG_ERROR << "register ns error";
    return -1;
  }
  // The metadata scratch of the forms without the caller's metadata holds
  // the metadata of this many bytes, however the driver splits them.
  max_transfer_ = std::max<uint64_t>(kMaxTransferSize, max_xfer_size_);
  max_transfer_ -= max_transfer_ % sector_size_;
  spdk_nvme_io_qpair_opts opts;
  spdk_nvme_ctrlr_get_default_io_qpair_opts(ctrlr_, &opts, sizeof(opts));
  io_queue_size_ = opts.io_queue_size;
  has_md_ = md_size_ != 0;
  LOG_INFO << "ns_info name: " << ctrlr_desc_ << ", sector_size: " << sector_size_
           << ", metadata_size: " << md_size_ << ", ns_size: " << size_
           << ", max_xfer_size: " << max_xfer_size_ << ", io_queue_size: " << io_queue_size_;
  return 0;
}

// Under InitMutex(): the last inited device of an address detaches its
// controller and drops its metrics.
void SpdkNvmeDevice::ReleaseController() {
  auto it = Ctrlrs().find(address_);
  if (it != Ctrlrs().end() && --it->second.users == 0) {
    spdk_nvme_detach(it->second.ctrlr);
    Ctrlrs().erase(it);
  }
  ctrlr_ = nullptr;
  ns_ = nullptr;
  if (metrics_ != nullptr) {
    auto m = Metrics().find(address_);
    if (m != Metrics().end() && --m->second.users == 0) {
      delete m->second.metrics;
      Metrics().erase(m);
    }
    metrics_ = nullptr;
  }
}

// ---------------------------------------------------------------------------
// Queue pairs

int SpdkNvmeDevice::CreateQpair(uint32_t* qp_id) {
  if (qp_id == nullptr) {
    LOG_ERROR << "qp id is nullptr";
    return -1;
  }
  if (!inited()) {
    LOG_ERROR << "spdk nvme device is not inited";
    return -1;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  uint32_t id = 0;
  while (id < kMaxQpairNum && qp_ids_.test(id)) ++id;
  if (id == kMaxQpairNum) {
    LOG_ERROR << "no free qp id, kMaxQpairNum: " << kMaxQpairNum;
    return -1;
  }
  spdk_nvme_io_qpair_opts opts;
  spdk_nvme_ctrlr_get_default_io_qpair_opts(ctrlr_, &opts, sizeof(opts));
  opts.io_queue_requests = QueueRequests(opts.io_queue_size);
  LOG_INFO << "alloc spdk nvme io qpair, queue size: " << opts.io_queue_size
           << ", requests size: " << opts.io_queue_requests << ", dev id: " << dev_id_
           << ", qp id: " << id;
  spdk_nvme_qpair* qpair = spdk_nvme_ctrlr_alloc_io_qpair(ctrlr_, &opts, sizeof(opts));
  if (qpair == nullptr) {
    LOG_ERROR << "spdk_nvme_ctrlr_alloc_io_qpair failed";
    return -1;  // the id stays free
  }
  const size_t scratch = has_md_ ? max_transfer_ / sector_size_ * md_size_ : 0;
  auto* record = new SpdkNvmeQpair(qpair, opts.io_queue_requests, metrics_, scratch);
  if (!record->ok()) {
    LOG_ERROR << "spdk nvme qpair record allocation failed, dev id: " << dev_id_;
    delete record;
    return -1;
  }
  qp_ids_.set(id);
  qpairs_[id] = record;
  *qp_id = id;
  return 0;
}

void SpdkNvmeDevice::DeleteQpair(uint32_t qp_id) {
  SpdkNvmeQpair* record = nullptr;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (qp_id >= kMaxQpairNum || !qp_ids_.test(qp_id)) {
      LOG_ERROR << "qp id invalid, qp id: " << qp_id;
      return;
    }
    record = qpairs_[qp_id];
    qpairs_[qp_id] = nullptr;
    qp_ids_.reset(qp_id);
  }
  // Outside the lock: aborted commands call back from here.
  delete record;
}

uint32_t SpdkNvmeDevice::qpair_count() {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<uint32_t>(qp_ids_.count());
}

SpdkNvmeQpair* SpdkNvmeDevice::GetQpair(uint32_t qp_id) {
  // The slot was filled by this thread's CreateQpair; other threads only
  // touch other slots.
  SpdkNvmeQpair* qp = qp_id < kMaxQpairNum ? qpairs_[qp_id] : nullptr;
  if (qp == nullptr) LOG_ERROR << "spdk nvme qpair not found, qp id: " << qp_id;
  return qp;
}

int SpdkNvmeDevice::Poll(uint32_t qp_id) {
  SpdkNvmeQpair* qp = GetQpair(qp_id);
  if (qp == nullptr) return -EINVAL;
  return spdk_nvme_qpair_process_completions(qp->qpair(), kPollBatch);
}

// ---------------------------------------------------------------------------
// Submission and completion

bool SpdkNvmeDevice::CheckRange(uint64_t offset, uint64_t len, uint64_t max_len) {
  if (!inited()) {
    LOG_ERROR << "spdk nvme device is not inited";
    return false;
  }
  if (len == 0 || offset % sector_size_ != 0 || len % sector_size_ != 0) {
    LOG_ERROR << "io not aligned to sector size, offset: " << offset << ", len: " << len
              << ", sector_size: " << sector_size_;
    return false;
  }
  if (len > max_len) {
    LOG_ERROR << "io len too large, len: " << len << ", max len: " << max_len;
    return false;
  }
  return true;
}

uint64_t SpdkNvmeDevice::RequestsFor(uint64_t len) const {
  if (len <= max_xfer_size_) return 1;
  return 1 + (len + max_xfer_size_ - 1) / max_xfer_size_;
}

SpdkNvmeData* SpdkNvmeDevice::NewData(SpdkNvmeQpair* qp, SpdkNvmeData::Kind kind, uint64_t len,
                                      const Callback& cb) {
  SpdkNvmeData* data = qp->pool().Malloc();
  if (data == nullptr) {
    LOG_ERROR << "NewSpdkNvmeData failed, out of pool";
    return nullptr;
  }
  data->qpair = qp;
  data->len = len;
  data->cb = cb;
  data->kind = kind;
  data->sge_num = 0;
  data->start_tsc = qp->metrics() != nullptr ? plinth::rdtsc() : 0;
  return data;
}

SpdkNvmeData* SpdkNvmeDevice::StartRangeCommand(SpdkNvmeData::Kind kind, uint32_t qp_id,
                                                uint64_t offset, uint64_t len, uint64_t max_len,
                                                const Callback& cb) {
  SpdkNvmeQpair* qp = CheckRange(offset, len, max_len) ? GetQpair(qp_id) : nullptr;
  SpdkNvmeData* data = qp != nullptr ? NewData(qp, kind, len, cb) : nullptr;
  if (data == nullptr) cb(-1);
  return data;
}

int SpdkNvmeDevice::Refused(SpdkNvmeQpair* qp, SpdkNvmeData* data, int rc, const Callback& cb) {
  LOG_ERROR << StartFailedText(data->kind, data->sge_num != 0) << rc;
  qp->pool().Free(data);
  // Full queue: the caller may retry; everything else is the controller's
  // refusal. Either way the caller hears back once.
  const int result = rc == -ENOMEM ? -2 : -3;
  cb(result);
  return result;
}

int SpdkNvmeDevice::SubmitRw(SpdkNvmeData::Kind kind, uint32_t qp_id, void* buf,
                             const SgEntry* sges, int n, uint64_t offset, uint64_t len,
                             void* md, const Callback& cb, uint32_t io_flags,
                             uint16_t apptag_mask, uint16_t apptag) {
  const bool vectored = buf == nullptr;
  if (vectored && n > SpdkNvmeData::kMaxSge) {
    LOG_ERROR << "too much sge, cur sge: " << n << ", max sge: " << SpdkNvmeData::kMaxSge;
    cb(-1);
    return -1;
  }
  if (vectored && (sges == nullptr || n <= 0)) {
    LOG_ERROR << "empty sge list, cur sge: " << n;
    cb(-1);
    return -1;
  }
  if (md != nullptr && inited() && !has_md_) {
    LOG_ERROR << "metadata format not supported";
    cb(-1);
    return -1;
  }
  if (!CheckRange(offset, len, kMaxCommandBytes)) {
    cb(-1);
    return -1;
  }
  // SPDK splits a command longer than the namespace's largest transfer
  // itself; what has a fixed size is the queue pair's metadata scratch,
  // taken when the caller brings no metadata to a namespace that has some.
  if (md == nullptr && has_md_ && len > max_transfer_) {
    LOG_ERROR << "io len too large for the queue pair's metadata scratch, len: " << len
              << ", max len: " << max_transfer_ << " (larger I/O must bring its own metadata)";
    cb(-1);
    return -1;
  }
  if (vectored) {
    uint64_t covered = 0;
    for (int i = 0; i < n; ++i) covered += sges[i].len;
    if (covered < len) {
      LOG_ERROR << "sge list shorter than io, sge bytes: " << covered << ", len: " << len;
      cb(-1);
      return -1;
    }
  }
  SpdkNvmeQpair* qp = GetQpair(qp_id);
  if (qp == nullptr) {
    cb(-1);
    return -1;
  }
  // SPDK answers a command that needs more request objects than the queue
  // pair has with -ENOMEM, as it answers a full queue: told to retry, the
  // caller would retry for ever.
  const uint64_t needed = RequestsFor(len);
  if (needed > qp->requests()) {
    LOG_ERROR << "io len never fits the queue pair, len: " << len
              << ", pieces: " << needed - 1 << " of max_xfer_size: " << max_xfer_size_
              << ", requests needed: " << needed << ", qpair requests: " << qp->requests()
              << ", qp id: " << qp_id;
    cb(-1);
    return -1;
  }
  if (md == nullptr && has_md_) {
    md = kind == SpdkNvmeData::kRead ? qp->md_read_scratch() : qp->md_write_scratch();
  }
  SpdkNvmeData* data = NewData(qp, kind, len, cb);
  if (data == nullptr) {
    cb(-2);
    return -2;
  }
  const uint64_t lba = offset / sector_size_;
  const auto count = static_cast<uint32_t>(len / sector_size_);
  int rc;
  if (vectored) {
    std::copy(sges, sges + n, data->sges);
    data->sge_num = n;
    data->sge_cur = 0;
    data->sge_left = 0;
    rc = kind == SpdkNvmeData::kRead
             ? spdk_nvme_ns_cmd_readv_with_md(ns_, qp->qpair(), lba, count, Complete, data,
                                              io_flags, ResetSgl, NextSge, md, apptag_mask,
                                              apptag)
             : spdk_nvme_ns_cmd_writev_with_md(ns_, qp->qpair(), lba, count, Complete, data,
                                               io_flags, ResetSgl, NextSge, md, apptag_mask,
                                               apptag);
  } else {
    rc = kind == SpdkNvmeData::kRead
             ? spdk_nvme_ns_cmd_read_with_md(ns_, qp->qpair(), buf, md, lba, count, Complete,
                                             data, io_flags, apptag_mask, apptag)
             : spdk_nvme_ns_cmd_write_with_md(ns_, qp->qpair(), buf, md, lba, count, Complete,
                                              data, io_flags, apptag_mask, apptag);
  }
  return rc == 0 ? 0 : Refused(qp, data, rc, cb);
}

int SpdkNvmeDevice::SubmitRead(uint32_t qp_id, void* buf, uint64_t offset, uint64_t len,
                               const Callback& cb) {
  return SubmitReadMd(qp_id, buf, offset, len, nullptr, cb, 0, 0, 0);
}

int SpdkNvmeDevice::SubmitWrite(uint32_t qp_id, void* buf, uint64_t offset, uint64_t len,
                                const Callback& cb) {
  return SubmitWriteMd(qp_id, buf, offset, len, nullptr, cb, 0, 0, 0);
}

int SpdkNvmeDevice::SubmitReadv(uint32_t qp_id, const SgEntry* sges, int n, uint64_t offset,
                                uint64_t len, const Callback& cb) {
  return SubmitRw(SpdkNvmeData::kRead, qp_id, nullptr, sges, n, offset, len, nullptr, cb, 0, 0,
                  0);
}

int SpdkNvmeDevice::SubmitWritev(uint32_t qp_id, const SgEntry* sges, int n, uint64_t offset,
                                 uint64_t len, const Callback& cb) {
  return SubmitRw(SpdkNvmeData::kWrite, qp_id, nullptr, sges, n, offset, len, nullptr, cb, 0,
                  0, 0);
}

int SpdkNvmeDevice::SubmitReadMd(uint32_t qp_id, void* buf, uint64_t offset, uint64_t len,
                                 void* md, const Callback& cb, uint32_t io_flags,
                                 uint16_t apptag_mask, uint16_t apptag) {
  if (buf == nullptr) {
    LOG_ERROR << "spdk nvme read buffer is null";
    cb(-1);
    return -1;
  }
  return SubmitRw(SpdkNvmeData::kRead, qp_id, buf, nullptr, 0, offset, len, md, cb, io_flags,
                  apptag_mask, apptag);
}

int SpdkNvmeDevice::SubmitWriteMd(uint32_t qp_id, void* buf, uint64_t offset, uint64_t len,
                                  void* md, const Callback& cb, uint32_t io_flags,
                                  uint16_t apptag_mask, uint16_t apptag) {
  if (buf == nullptr) {
    LOG_ERROR << "spdk nvme write buffer is null";
    cb(-1);
    return -1;
  }
  return SubmitRw(SpdkNvmeData::kWrite, qp_id, buf, nullptr, 0, offset, len, md, cb, io_flags,
                  apptag_mask, apptag);
}

int SpdkNvmeDevice::SubmitReadvMd(uint32_t qp_id, const SgEntry* sges, int n, uint64_t offset,
                                  uint64_t len, void* md, const Callback& cb, uint32_t io_flags,
                                  uint16_t apptag_mask, uint16_t apptag) {
  return SubmitRw(SpdkNvmeData::kRead, qp_id, nullptr, sges, n, offset, len, md, cb, io_flags,
                  apptag_mask, apptag);
}

int SpdkNvmeDevice::SubmitWritevMd(uint32_t qp_id, const SgEntry* sges, int n, uint64_t offset,
                                   uint64_t len, void* md, const Callback& cb,
                                   uint32_t io_flags, uint16_t apptag_mask, uint16_t apptag) {
  return SubmitRw(SpdkNvmeData::kWrite, qp_id, nullptr, sges, n, offset, len, md, cb, io_flags,
                  apptag_mask, apptag);
}

int SpdkNvmeDevice::SubmitTrim(uint32_t qp_id, uint64_t offset, uint64_t len,
                               const Callback& cb) {
  // The callback's int carries the byte count.
  SpdkNvmeData* data = StartRangeCommand(SpdkNvmeData::kTrim, qp_id, offset, len,
                                         static_cast<uint64_t>(INT_MAX), cb);
  if (data == nullptr) return -1;
  SpdkNvmeQpair* qp = data->qpair;
  spdk_nvme_dsm_range range;
  memset(&range, 0, sizeof(range));
  range.starting_lba = offset / sector_size_;
  range.length = static_cast<uint32_t>(len / sector_size_);
  const int rc = spdk_nvme_ns_cmd_dataset_management(
      ns_, qp->qpair(), SPDK_NVME_DSM_ATTR_DEALLOCATE, &range, 1, Complete, data);
  return rc == 0 ? 0 : Refused(qp, data, rc, cb);
}

int SpdkNvmeDevice::SubmitWriteZeroes(uint32_t qp_id, uint64_t offset, uint64_t len,
                                      const Callback& cb, uint32_t flags) {
  const uint64_t max_len =
      inited() ? std::min<uint64_t>(kMaxWriteZeroesBlocks * sector_size_, INT_MAX) : 0;
  SpdkNvmeData* data =
      StartRangeCommand(SpdkNvmeData::kWriteZeroes, qp_id, offset, len, max_len, cb);
  if (data == nullptr) return -1;
  SpdkNvmeQpair* qp = data->qpair;
  const int rc =
      spdk_nvme_ns_cmd_write_zeroes(ns_, qp->qpair(), offset / sector_size_,
                                    static_cast<uint32_t>(len / sector_size_), Complete, data,
                                    flags);
  return rc == 0 ? 0 : Refused(qp, data, rc, cb);
}

void SpdkNvmeDevice::Complete(void* ctx, const spdk_nvme_cpl* cpl) {
  auto* data = static_cast<SpdkNvmeData*>(ctx);
  SpdkNvmeQpair* qp = data->qpair;
  DiskMetrics* metrics = qp->metrics();
  if (metrics != nullptr && data->kind != SpdkNvmeData::kTrim) {
    const uint64_t now = plinth::rdtsc();
    const uint64_t cycles = now > data->start_tsc ? now - data->start_tsc : 0;
    const auto us = static_cast<int64_t>(cycles / plinth::TimeCycle::tsc_rate_mhz_);
    if (data->kind == SpdkNvmeData::kRead) {
      metrics->RecordRead(data->len, us);
    } else {
      metrics->RecordWrite(data->len, us);
    }
  }
  int result = static_cast<int>(data->len);
  if (spdk_nvme_cpl_is_error(cpl)) {
    LOG_ERROR << CompleteFailedText(data->kind) << cpl->status.sc << "/" << cpl->status.sct;
    result = -3;
  }
  // The record goes back first, so the callback may submit again.
  Callback cb = std::move(data->cb);
  qp->pool().Free(data);
  cb(result);
}

// Scatter-list walk over the record's entries: reset finds the entry that
// holds byte `offset`, next yields the rest of it and then whole entries.
void SpdkNvmeDevice::ResetSgl(void* ctx, uint32_t offset) {
  auto* data = static_cast<SpdkNvmeData*>(ctx);
  uint64_t left = offset;
  int cur = 0;
  while (cur < data->sge_num && left >= data->sges[cur].len) {
    left -= data->sges[cur].len;
    ++cur;
  }
  data->sge_cur = cur;
  data->sge_left = cur < data->sge_num ? data->sges[cur].len - left : 0;
}

int SpdkNvmeDevice::NextSge(void* ctx, void** address, uint32_t* length) {
  auto* data = static_cast<SpdkNvmeData*>(ctx);
  while (data->sge_cur < data->sge_num && data->sge_left == 0) {
    ++data->sge_cur;
    if (data->sge_cur < data->sge_num) data->sge_left = data->sges[data->sge_cur].len;
  }
  if (data->sge_cur >= data->sge_num) {
    *address = nullptr;
    *length = 0;
    return 0;
  }
  const SgEntry& e = data->sges[data->sge_cur];
  const uint64_t used = e.len - data->sge_left;
  const uint64_t chunk = std::min<uint64_t>(data->sge_left, UINT32_MAX);
  *address = reinterpret_cast<void*>(e.addr + used);
  *length = static_cast<uint32_t>(chunk);
  data->sge_left -= chunk;
  return 0;
}

// ---------------------------------------------------------------------------
// Queries

uint64_t SpdkNvmeDevice::GetDeviceSize() {
  if (!inited()) {
    LOG_ERROR << "spdk nvme device is not inited";
    return 0;
  }
  return size_;
}

uint32_t SpdkNvmeDevice::GetPhysicalSectorSize() {
  if (!inited()) {
    LOG_ERROR << "spdk nvme device is not inited";
    return 0;
  }
  return sector_size_;
}

uint32_t SpdkNvmeDevice::GetMetaDataSize() {
  if (!inited()) {
    LOG_ERROR << "spdk nvme device is not inited";
    return 0;
  }
  return md_size_;
}

int SpdkNvmeDevice::GetControllerSerialNumber(std::string* serial) {
  if (!inited() || serial == nullptr) {
    LOG_ERROR << "spdk nvme device is not inited";
    return -1;
  }
  const spdk_nvme_ctrlr_data* cdata = spdk_nvme_ctrlr_get_data(ctrlr_);
  *serial = FieldText(cdata->sn, sizeof(cdata->sn));
  LOG_INFO << "spdk nvme controller serial: " << *serial;
  return 0;
}

// ---------------------------------------------------------------------------
// Maintenance

namespace {

// One admin command in flight: where its answer goes.
struct AdminCall {
  std::atomic<int>* pending;
  std::atomic<int>* failures;
  uint8_t id;
  uint32_t* value;  // completion dword 0, when wanted; null once failed
  bool is_feature;
};

void AdminDone(void* ctx, const spdk_nvme_cpl* cpl) {
  auto* call = static_cast<AdminCall*>(ctx);
  if (spdk_nvme_cpl_is_error(cpl)) {
    if (call->is_feature) {
      LOG_ERROR << "get_feature " << static_cast<int>(call->id) << " failed";
    } else {
      LOG_ERROR << "get log page failed";
    }
    call->failures->fetch_add(1);
    call->value = nullptr;  // no answer
  } else if (call->value != nullptr) {
    *call->value = cpl->cdw0;
  }
  call->pending->fetch_sub(1, std::memory_order_release);
}

}  // namespace

void SpdkNvmeDevice::WaitAdmin(const std::atomic<int>& pending) {
  // Every admin command completes, a failed controller's as aborted, so the
  // records its callback writes may live on the caller's stack.
  while (pending.load(std::memory_order_acquire) > 0) {
    spdk_nvme_ctrlr_process_admin_completions(ctrlr_);
  }
}

int SpdkNvmeDevice::GetFeatures(std::vector<SpdkNvmeDisk>* disks,
                                const std::vector<uint8_t>& feature_ids) {
  if (disks == nullptr) return -1;
  int result = 0;
  for (SpdkNvmeDisk& disk : *disks) {
    SpdkNvmeDevice* dev = disk.dev.get();
    if (dev == nullptr || !dev->inited()) {
      LOG_ERROR << "spdk nvme device is not inited";
      result = -1;
      continue;
    }
    std::atomic<int> pending{0};
    std::atomic<int> failures{0};
    std::vector<uint32_t> values(feature_ids.size(), 0);
    std::vector<AdminCall> calls(feature_ids.size());
    for (size_t i = 0; i < feature_ids.size(); ++i) {
      calls[i] = AdminCall{&pending, &failures, feature_ids[i], &values[i], true};
      pending.fetch_add(1);
      if (spdk_nvme_ctrlr_cmd_get_feature(dev->ctrlr_, feature_ids[i], 0, nullptr, 0, AdminDone,
                                          &calls[i]) != 0) {
        LOG_ERROR << "get_feature " << static_cast<int>(feature_ids[i])
                  << " failed to submit command";
        pending.fetch_sub(1);
        calls[i].value = nullptr;
        failures.fetch_add(1);
      }
    }
    dev->WaitAdmin(pending);
    for (size_t i = 0; i < feature_ids.size(); ++i) {
      if (calls[i].value != nullptr) disk.features[feature_ids[i]] = values[i];
    }
    if (failures.load() != 0) result = -1;
  }
  return result;
}

int SpdkNvmeDevice::DetectNvmeHealth(SpdkNvmeDisk* disk) {
  if (disk == nullptr || disk->dev == nullptr) {
    LOG_ERROR << "disk_data is null!";
    return -1;
  }
  SpdkNvmeDevice* dev = disk->dev.get();
  if (!dev->inited()) {
    LOG_ERROR << "spdk nvme device is not inited";
    return -1;
  }
  std::atomic<int> pending{0};
  std::atomic<int> failures{0};
  // Over-temperature threshold (kelvin, low 16 bits).
  uint32_t threshold = 0;
  AdminCall feature{&pending, &failures, SPDK_NVME_FEAT_TEMPERATURE_THRESHOLD, &threshold, true};
  pending.fetch_add(1);
  if (spdk_nvme_ctrlr_cmd_get_feature(dev->ctrlr_, SPDK_NVME_FEAT_TEMPERATURE_THRESHOLD, 0,
                                      nullptr, 0, AdminDone, &feature) != 0) {
    pending.fetch_sub(1);
    failures.fetch_add(1);
  }
  dev->WaitAdmin(pending);
  if (failures.load() != 0) {
    LOG_WARN << " SPDK_NVME_FEAT_TEMPERATURE_THRESHOLD feature is not enabled";
    threshold = 0;
  }
  disk->temperature_threshold = threshold & 0xffff;

  auto* page = static_cast<spdk_nvme_health_information_page*>(
      spdk_zmalloc(sizeof(spdk_nvme_health_information_page), 4096, nullptr,
                   SPDK_ENV_SOCKET_ID_ANY, SPDK_MALLOC_DMA));
  if (page == nullptr) {
    LOG_ERROR << "health page allocation failed";
    return -1;
  }
  failures.store(0);
  AdminCall log{&pending, &failures, SPDK_NVME_LOG_HEALTH_INFORMATION, nullptr, false};
  pending.fetch_add(1);
  if (spdk_nvme_ctrlr_cmd_get_log_page(dev->ctrlr_, SPDK_NVME_LOG_HEALTH_INFORMATION,
                                       SPDK_NVME_GLOBAL_NS_TAG, page, sizeof(*page), 0,
                                       AdminDone, &log) != 0) {
    LOG_ERROR << "spdk_nvme_ctrlr_cmd_get_log_page() failed";
    spdk_free(page);
    return -1;
  }
  dev->WaitAdmin(pending);
  if (failures.load() != 0) {
    spdk_free(page);
    return -1;
  }
  disk->health = *page;
  spdk_free(page);
  const spdk_nvme_health_information_page& h = disk->health;
  const bool hot = disk->temperature_threshold != 0 && h.temperature >= disk->temperature_threshold;
  if (h.critical_warning.raw != 0 || hot || h.percentage_used >= 100) {
    LOG_WARN << "spdk nvme device unhealthy, dev_id: " << dev->dev_id_
             << ", critical_warning: " << static_cast<int>(h.critical_warning.raw)
             << ", temperature: " << h.temperature << ", threshold: "
             << disk->temperature_threshold
             << ", percentage_used: " << static_cast<int>(h.percentage_used);
    return 1;
  }
  return 0;
}

void SpdkNvmeDevice::HarvestCtrlrJobs(std::vector<SpdkNvmeDisk>* disks) {
  if (disks == nullptr) return;
  for (SpdkNvmeDisk& disk : *disks) {
    if (disk.dev != nullptr && disk.dev->inited()) {
      spdk_nvme_ctrlr_process_admin_completions(disk.dev->ctrlr_);
    }
  }
}

int SpdkNvmeDevice::ErrorInjection(uint32_t qp_id, uint8_t opc, bool do_not_submit,
                                   uint64_t timeout_us, uint32_t err_count, uint8_t sct,
                                   uint8_t sc) {
  SpdkNvmeQpair* qp = inited() ? GetQpair(qp_id) : nullptr;
  if (qp == nullptr ||
      spdk_nvme_qpair_add_cmd_error_injection(ctrlr_, qp->qpair(), opc, do_not_submit,
                                              timeout_us, err_count, sct, sc) != 0) {
    LOG_ERROR << "Error in error injection!";
    return -1;
  }
  return 0;
}

}  // namespace tarn
