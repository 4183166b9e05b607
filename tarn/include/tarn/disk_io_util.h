// The disk I/O front of one loop: asynchronous reads, writes, trims and
// write-zeroes on local disks, with completion callbacks.
//
// Every loop owns one. Two back ends serve it and exclude each other on a
// loop:
//   - Linux AIO, addressed by file descriptor: the AioContext an event loop
//     hands over in its Init (SetAioContext);
//   - SPDK NVMe, addressed by an application-chosen device id: one queue pair
//     per SpdkNvmeDevice attached by a polling worker (AddSpdkNvmeUtil),
//     polled by that worker's poller (SpdkPoll).
//
// Callbacks take the number of bytes transferred, or a negative code, and run
// on the loop's thread. Every submit runs its callback exactly once: a
// request refused at submit time calls back with the error code before the
// call returns that same code; an accepted one (0 returned) calls back later
// when the back end completes it.
//
// Loop thread only: every operation asserts it (a call from another thread
// ends the process).
#ifndef TARN_DISK_IO_UTIL_H_
#define TARN_DISK_IO_UTIL_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace tarn {

class AioContext;
class Loop;
class SpdkNvmeDevice;
struct SgEntry;

class DiskIOUtil {
 public:
  using Callback = std::function<void(int)>;

  // The largest trim served by writing zeros over AIO, and the size of the
  // zero buffer those writes come from.
  static constexpr uint64_t kMaxZeroBufSize = 1048576;

  explicit DiskIOUtil(Loop* loop);
  // Deletes the AIO context (which returns once the kernel is done with
  // every request in flight), then frees the zero buffer that trims in
  // flight were writing from; deletes every attached queue pair on its
  // device and drops the device references.
  ~DiskIOUtil();
  DiskIOUtil(const DiskIOUtil&) = delete;
  DiskIOUtil& operator=(const DiskIOUtil&) = delete;

  // ---- set-up ----

  // Takes ownership of `ctx` and allocates the zero buffer; 0. Refused (-1,
  // ERROR, `ctx` stays the caller's) when an SPDK device is attached or a
  // context is already set, or when `ctx` is null.
  int SetAioContext(AioContext* ctx);
  // Creates a queue pair of `dev` for this loop and keeps it under the
  // device's id (ids need not be dense); 0. Ends the process when AIO is on
  // here, when the id already has a queue pair here, or when the device
  // refuses the queue pair.
  int AddSpdkNvmeUtil(const std::shared_ptr<SpdkNvmeDevice>& dev);
  // Polls every attached queue pair: -1 when any poll failed (logged), else
  // 1 when any completed something, else 0 (also with nothing attached).
  int SpdkPoll();

  // ---- Linux AIO, by file descriptor ----
  // Without an AIO context: cb(-1), -1. Otherwise the context's result:
  // 0 submitted, -2 no free request record, -3 refused by the kernel (the
  // callback has then run with the same code).

  int SubmitRead(int fd, void* buf, uint64_t offset, uint64_t len, const Callback& cb);
  int SubmitWrite(int fd, void* buf, uint64_t offset, uint64_t len, const Callback& cb);
  // Writes `len` zero bytes at `offset`. `len` above kMaxZeroBufSize is
  // refused first: cb(-1), -1.
  int SubmitTrim(int fd, uint64_t offset, uint64_t len, const Callback& cb);

  // ---- SPDK NVMe, by device id ----
  // Offsets and lengths in bytes. An id without a queue pair here: cb(-1),
  // -1. Otherwise the device's result with this loop's queue pair.

  int SubmitReadSpdk(uint32_t dev_id, void* buf, uint64_t offset, uint64_t len,
                     const Callback& cb);
  int SubmitReadvSpdk(uint32_t dev_id, const SgEntry* sges, int n, uint64_t offset,
                      uint64_t len, const Callback& cb);
  int SubmitWriteSpdk(uint32_t dev_id, void* buf, uint64_t offset, uint64_t len,
                      const Callback& cb);
  int SubmitWritevSpdk(uint32_t dev_id, const SgEntry* sges, int n, uint64_t offset,
                       uint64_t len, const Callback& cb);
  int SubmitReadMdSpdk(uint32_t dev_id, void* buf, uint64_t offset, uint64_t len, void* md,
                       const Callback& cb, uint32_t io_flags, uint16_t apptag_mask,
                       uint16_t apptag);
  int SubmitReadvMdSpdk(uint32_t dev_id, const SgEntry* sges, int n, uint64_t offset,
                        uint64_t len, void* md, const Callback& cb, uint32_t io_flags,
                        uint16_t apptag_mask, uint16_t apptag);
  int SubmitWriteMdSpdk(uint32_t dev_id, void* buf, uint64_t offset, uint64_t len, void* md,
                        const Callback& cb, uint32_t io_flags, uint16_t apptag_mask,
                        uint16_t apptag);
  int SubmitWritevMdSpdk(uint32_t dev_id, const SgEntry* sges, int n, uint64_t offset,
                         uint64_t len, void* md, const Callback& cb, uint32_t io_flags,
                         uint16_t apptag_mask, uint16_t apptag);
  int SubmitTrimSpdk(uint32_t dev_id, uint64_t offset, uint64_t len, const Callback& cb);
  int SubmitWriteZeroesSpdk(uint32_t dev_id, uint64_t offset, uint64_t len, const Callback& cb,
                            uint32_t flags);

  Loop* loop() const { return loop_; }
  // Null until SetAioContext, and on loops refused a context.
  AioContext* aio_context() const { return aio_ctx_; }
  bool aio_enabled() const { return aio_ctx_ != nullptr; }
  // Number of attached SPDK queue pairs.
  int spdk_device_count() const;

 private:
  // One queue pair of an attached device.
  struct SpdkNvmeUtil {
    std::shared_ptr<SpdkNvmeDevice> device;
    uint32_t qp_id;
  };

  // The AIO context, or null after logging and cb(-1).
  AioContext* AioOrRefuse(const Callback& cb) const;
  // The queue pair of `dev_id`, or null after logging and cb(-1).
  SpdkNvmeUtil* SpdkOrRefuse(uint32_t dev_id, const Callback& cb) const;

  Loop* loop_;
  AioContext* aio_ctx_ = nullptr;     // owned
  std::vector<SpdkNvmeUtil*> spdk_;   // owned, indexed by device id
  void* zero_buf_ = nullptr;          // kMaxZeroBufSize zeros, 4096-aligned
};

}  // namespace tarn

#endif  // TARN_DISK_IO_UTIL_H_
