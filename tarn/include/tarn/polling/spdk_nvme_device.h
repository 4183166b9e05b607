// One NVMe namespace driven through SPDK's user-space NVMe driver.
//
// A device is described by a transport id ("trtype:PCIe traddr:0000:01:00.0"),
// a namespace id and a device id chosen by the application. It is registered
// with a worker colony or server, initialised once (by the first polling
// worker that attaches it), and then gives each polling worker's disk front
// its own I/O queue pair:
//
//   auto dev = std::make_shared<tarn::SpdkNvmeDevice>(
//       "trtype:PCIe traddr:0000:01:00.0", 1, 7);
//   colony.AddSpdkNvmeDevice(dev);   // before colony.Start()
//   // on a worker: loop->disk_io()->SubmitReadSpdk(7, buf, off, len, cb);
//
// Controllers are shared between devices at the same PCI address: the first
// device probes and attaches, the last one to go detaches. Devices at one
// address also share their metrics ("tarn_disk_<address>_read", ...).
//
// Threads: Init, CreateQpair and DeleteQpair may run on any thread (they are
// serialised). A queue pair belongs to the thread that created it: its
// submissions, its Poll and its completion callbacks all run there.
//
// Submissions take byte offsets and lengths, which must be whole numbers of
// the namespace's sectors. Every submission calls its callback exactly once:
// with the byte count on success, or with a negative code, either before the
// submit returns that code (refused at once) or later from Poll:
//   -1  refused for good: bad arguments, no such queue pair, device not
//       inited, a read or write longer than even an idle queue pair can
//       hold (see below), and no request record left for a trim or
//       write-zeroes
//   -2  no request record left for a read or write, or the queue pair is
//       full now (try again later)
//   -3  the controller refused or failed the command
// A queue pair has a fixed number of SPDK request objects (2048, or twice
// its queue size when that is larger). A read or write takes one, or, when
// it is longer than the namespace's largest transfer, one per piece of that
// size plus one; a command that needs more than the queue pair has can never
// be admitted and is refused with -1, never -2 (a caller that retries -2
// would loop for ever). With 128 KiB transfers that is anything longer than
// 2047 x 128 KiB.
// Buffers (data and metadata) must come from spdk_zmalloc.
#ifndef TARN_POLLING_SPDK_NVME_DEVICE_H_
#define TARN_POLLING_SPDK_NVME_DEVICE_H_

#include <atomic>
#include <bitset>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "bvar/latency_recorder.h"
#include "bvar/reducer.h"
#include "bvar/window.h"
#include "spdk/nvme.h"
#include "tarn/base/obj_pool.h"
#include "tarn/rpc/attachment.h"

namespace tarn {

// Bandwidth, latency and size of one disk's reads and writes, exposed as
// name + "_read_bw", "_read", "_read_size" and the same for "_write".
// Recording is safe from any thread.
class DiskMetrics {
 public:
  explicit DiskMetrics(const std::string& name);
  DiskMetrics(const DiskMetrics&) = delete;
  DiskMetrics& operator=(const DiskMetrics&) = delete;

  void RecordRead(uint64_t bytes, int64_t latency_us);
  void RecordWrite(uint64_t bytes, int64_t latency_us);

  const bvar::Adder<uint64_t>& read_bytes() const { return read_bytes_; }
  const bvar::Adder<uint64_t>& write_bytes() const { return write_bytes_; }
  const bvar::LatencyRecorder& read_latency() const { return read_lat_; }
  const bvar::LatencyRecorder& write_latency() const { return write_lat_; }

 private:
  bvar::Adder<uint64_t> read_bytes_;
  bvar::PerSecond<bvar::Adder<uint64_t>> read_bw_;
  bvar::LatencyRecorder read_lat_;
  bvar::LatencyRecorder read_size_;
  bvar::Adder<uint64_t> write_bytes_;
  bvar::PerSecond<bvar::Adder<uint64_t>> write_bw_;
  bvar::LatencyRecorder write_lat_;
  bvar::LatencyRecorder write_size_;
};

class SpdkNvmeQpair;

// One request in flight on a queue pair.
struct SpdkNvmeData {
  static constexpr int kMaxSge = 32;
  enum Kind : uint8_t { kRead, kWrite, kTrim, kWriteZeroes };

  SpdkNvmeQpair* qpair = nullptr;
  uint64_t len = 0;
  uint64_t start_tsc = 0;  // with metrics only
  std::function<void(int)> cb;
  Kind kind = kRead;
  // The vectored forms' entries (copies) and the scatter-list cursor: the
  // current entry and the bytes left in it.
  SgEntry sges[kMaxSge];
  int sge_num = 0;
  int sge_cur = 0;
  uint64_t sge_left = 0;
};

// A queue pair of one device on one thread, with its request records and
// its metadata scratch buffers (for the plain forms on a namespace with
// metadata: reads land in one, writes send the other, which stays zero).
class SpdkNvmeQpair {
 public:
  static constexpr int kPoolSize = 16384;

  // Takes ownership of `qpair`, which was allocated with `requests` request
  // objects; `metrics` may be null. `md_scratch_len` 0 means no scratch
  // buffers.
  SpdkNvmeQpair(spdk_nvme_qpair* qpair, uint32_t requests, DiskMetrics* metrics,
                size_t md_scratch_len);
  // Frees the SPDK queue pair (outstanding commands complete as aborted
  // first) and the scratch buffers.
  ~SpdkNvmeQpair();
  SpdkNvmeQpair(const SpdkNvmeQpair&) = delete;
  SpdkNvmeQpair& operator=(const SpdkNvmeQpair&) = delete;

  // False when a scratch buffer could not be allocated.
  bool ok() const;

  spdk_nvme_qpair* qpair() const { return qpair_; }
  // SPDK request objects of the queue pair: what its commands in flight
  // (counting every piece of a split command) share.
  uint32_t requests() const { return requests_; }
  plinth::ObjPool<SpdkNvmeData>& pool() { return pool_; }
  DiskMetrics* metrics() const { return metrics_; }
  void* md_read_scratch() const { return md_read_; }
  void* md_write_scratch() const { return md_write_; }

 private:
  spdk_nvme_qpair* qpair_;
  uint32_t requests_;
  plinth::ObjPool<SpdkNvmeData> pool_;
  DiskMetrics* metrics_;
  size_t md_len_;
  void* md_read_ = nullptr;
  void* md_write_ = nullptr;
};

class SpdkNvmeDevice;

// A device with the answers of its maintenance queries (GetFeatures,
// DetectNvmeHealth). One caller at a time per disk.
struct SpdkNvmeDisk {
  std::shared_ptr<SpdkNvmeDevice> dev;
  // Feature id -> value (completion dword 0) of the last GetFeatures.
  std::map<uint8_t, uint32_t> features;
  // The last health information page read, and the over-temperature
  // threshold (kelvin; 0 when the controller does not report one).
  spdk_nvme_health_information_page health = {};
  uint32_t temperature_threshold = 0;
};

class SpdkNvmeDevice {
 public:
  static constexpr uint32_t kMaxQpairNum = 128;
  // The longest read or write that may go without the caller's metadata to
  // a namespace with metadata: the queue pair's metadata scratch covers the
  // namespace's own largest transfer or this, whichever is larger.
  static constexpr uint64_t kMaxTransferSize = 1048576;
  // The longest read or write otherwise: the callback's int carries its
  // byte count. SPDK splits commands longer than the namespace's largest
  // transfer itself, as far as the queue pair's request objects reach (see
  // above).
  static constexpr uint64_t kMaxCommandBytes = 2147483647;

  using Callback = std::function<void(int)>;

  // Parses `trid`; a malformed one is logged and makes Init fail.
  SpdkNvmeDevice(const std::string& trid, uint32_t nsid, uint32_t dev_id);
  // Deletes the queue pairs still present; an inited device then lets go of
  // its controller and metrics (detached by the last device using them).
  ~SpdkNvmeDevice();
  SpdkNvmeDevice(const SpdkNvmeDevice&) = delete;
  SpdkNvmeDevice& operator=(const SpdkNvmeDevice&) = delete;

  // Probes and attaches the controller (or shares the one already attached
  // at the address), finds the namespace. 0 on success (also when already
  // inited), -1 on failure.
  int Init();
  bool inited() const;

  // A new queue pair for the calling thread; its id through `qp_id`.
  // 0, or -1 (null `qp_id`, all 128 ids taken, controller refused).
  int CreateQpair(uint32_t* qp_id);
  // Frees queue pair `qp_id`; commands still outstanding on it complete
  // with -3 first. An unknown id is logged and ignored.
  void DeleteQpair(uint32_t qp_id);
  // Completes up to 24 commands of the queue pair: their number, or a
  // negative code (-ENXIO: controller failed; -EINVAL: no such queue pair).
  int Poll(uint32_t qp_id);

  // Plain and vectored forms use the queue pair's scratch metadata when the
  // namespace has metadata, which limits them there to the larger of
  // kMaxTransferSize and the namespace's largest transfer.
  int SubmitRead(uint32_t qp_id, void* buf, uint64_t offset, uint64_t len, const Callback& cb);
  int SubmitWrite(uint32_t qp_id, void* buf, uint64_t offset, uint64_t len, const Callback& cb);
  int SubmitReadv(uint32_t qp_id, const SgEntry* sges, int n, uint64_t offset, uint64_t len,
                  const Callback& cb);
  int SubmitWritev(uint32_t qp_id, const SgEntry* sges, int n, uint64_t offset, uint64_t len,
                   const Callback& cb);
  // With the caller's metadata: len / sector size x metadata size bytes at
  // `md`. A null `md` takes the scratch buffers; metadata on a namespace
  // without it is refused.
  int SubmitReadMd(uint32_t qp_id, void* buf, uint64_t offset, uint64_t len, void* md,
                   const Callback& cb, uint32_t io_flags, uint16_t apptag_mask,
                   uint16_t apptag);
  int SubmitWriteMd(uint32_t qp_id, void* buf, uint64_t offset, uint64_t len, void* md,
                    const Callback& cb, uint32_t io_flags, uint16_t apptag_mask,
                    uint16_t apptag);
  int SubmitReadvMd(uint32_t qp_id, const SgEntry* sges, int n, uint64_t offset, uint64_t len,
                    void* md, const Callback& cb, uint32_t io_flags, uint16_t apptag_mask,
                    uint16_t apptag);
  int SubmitWritevMd(uint32_t qp_id, const SgEntry* sges, int n, uint64_t offset, uint64_t len,
                     void* md, const Callback& cb, uint32_t io_flags, uint16_t apptag_mask,
                     uint16_t apptag);
  // Deallocates the range (it reads back as zeroes).
  int SubmitTrim(uint32_t qp_id, uint64_t offset, uint64_t len, const Callback& cb);
  int SubmitWriteZeroes(uint32_t qp_id, uint64_t offset, uint64_t len, const Callback& cb,
                        uint32_t flags);

  // Queries (ERROR "spdk nvme device is not inited" and 0 before Init).
  uint64_t GetDeviceSize();
  uint32_t GetPhysicalSectorSize();
  uint32_t GetMetaDataSize();
  // The controller's serial number, blanks trimmed; -1 before Init.
  int GetControllerSerialNumber(std::string* serial);

  // Maintenance (admin commands; any thread, they wait for their answers).
  // Reads `feature_ids` of every disk's controller into its `features`:
  // 0, or -1 when any could not be read (logged).
  static int GetFeatures(std::vector<SpdkNvmeDisk>* disks,
                         const std::vector<uint8_t>& feature_ids);
  // Reads the health information page and the temperature threshold:
  // 0 healthy, 1 unhealthy (a critical warning, the temperature at or over
  // its threshold, or the rated life used up), -1 when it cannot tell.
  static int DetectNvmeHealth(SpdkNvmeDisk* disk);
  // Completes the admin commands waiting on every disk's controller.
  static void HarvestCtrlrJobs(std::vector<SpdkNvmeDisk>* disks);
  // Makes the next `err_count` commands of opcode `opc` on queue pair
  // `qp_id` complete with sct/sc (see spdk_nvme_qpair_add_cmd_error_injection).
  // 0, or -1.
  int ErrorInjection(uint32_t qp_id, uint8_t opc, bool do_not_submit, uint64_t timeout_us,
                     uint32_t err_count, uint8_t sct, uint8_t sc);

  uint32_t dev_id() const { return dev_id_; }
  uint32_t nsid() const { return nsid_; }
  // The PCI address text of the transport id.
  const std::string& address() const { return address_; }
  // "%-20.20s (%-20.20s)" of model and serial, once inited.
  const char* ctrlr_desc() const { return ctrlr_desc_; }
  uint32_t max_xfer_size() const { return max_xfer_size_; }
  uint32_t io_queue_size() const { return io_queue_size_; }
  // Queue pairs currently allocated.
  uint32_t qpair_count();

 private:
  static bool ProbeCb(void* ctx, const spdk_nvme_transport_id* trid,
                      spdk_nvme_ctrlr_opts* opts);
  static void AttachCb(void* ctx, const spdk_nvme_transport_id* trid, spdk_nvme_ctrlr* ctrlr,
                       const spdk_nvme_ctrlr_opts* opts);
  int AttachController();
  int RegisterNamespace();
  void ReleaseController();

  // The queue pair of `qp_id` on the calling thread, or null (logged).
  SpdkNvmeQpair* GetQpair(uint32_t qp_id);
  // Every read and write form; `sges` null for the flat ones.
  int SubmitRw(SpdkNvmeData::Kind kind, uint32_t qp_id, void* buf, const SgEntry* sges, int n,
               uint64_t offset, uint64_t len, void* md, const Callback& cb, uint32_t io_flags,
               uint16_t apptag_mask, uint16_t apptag);
  // The SPDK request objects a read or write of `len` bytes takes: one, or
  // one per piece of the largest transfer plus the parent.
  uint64_t RequestsFor(uint64_t len) const;
  // Checks that the device is inited and the byte range is a non-empty
  // whole number of sectors no longer than `max_len`; logs and returns
  // false otherwise.
  bool CheckRange(uint64_t offset, uint64_t len, uint64_t max_len);
  // A record of `qp`'s pool, filled; null (logged) when the pool is empty.
  SpdkNvmeData* NewData(SpdkNvmeQpair* qp, SpdkNvmeData::Kind kind, uint64_t len,
                        const Callback& cb);
  // The range checked against `max_len`, the queue pair found and a record
  // of its pool taken (data->qpair); null after cb(-1) when any step fails.
  SpdkNvmeData* StartRangeCommand(SpdkNvmeData::Kind kind, uint32_t qp_id, uint64_t offset,
                                  uint64_t len, uint64_t max_len, const Callback& cb);
  // Hands a refused command's record back and maps SPDK's code.
  static int Refused(SpdkNvmeQpair* qp, SpdkNvmeData* data, int rc, const Callback& cb);
  static void Complete(void* ctx, const spdk_nvme_cpl* cpl);
  static void ResetSgl(void* ctx, uint32_t offset);
  static int NextSge(void* ctx, void** address, uint32_t* length);
  // Runs the controller's admin completions until `pending` is 0.
  void WaitAdmin(const std::atomic<int>& pending);

  std::atomic<bool> inited_{false};
  bool trid_ok_ = false;
  spdk_nvme_transport_id trid_;
  std::string address_;
  spdk_nvme_ctrlr* ctrlr_ = nullptr;
  spdk_nvme_ns* ns_ = nullptr;
  uint32_t nsid_;
  uint32_t sector_size_ = 0;
  uint32_t md_size_ = 0;
  uint64_t size_ = 0;
  uint32_t max_xfer_size_ = 0;
  uint64_t max_transfer_ = 0;  // the bytes the metadata scratch serves
  uint32_t dev_id_;
  char ctrlr_desc_[1024] = {0};
  uint32_t io_queue_size_ = 0;
  bool has_md_ = false;
  std::mutex mutex_;  // the queue-pair table
  SpdkNvmeQpair* qpairs_[kMaxQpairNum] = {};
  std::bitset<kMaxQpairNum> qp_ids_;
  DiskMetrics* metrics_ = nullptr;  // shared by the devices of the address
};

}  // namespace tarn

#endif  // TARN_POLLING_SPDK_NVME_DEVICE_H_
