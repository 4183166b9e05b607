#include "tarn/disk_io_util.h"

#include <cstdlib>
#include <cstring>

#include "tarn/base/logging.h"
#include "tarn/event/aio_context.h"
#include "tarn/loop.h"
#include "tarn/polling/spdk_nvme_device.h"
#include "tarn/rpc/attachment.h"

namespace tarn {

DiskIOUtil::DiskIOUtil(Loop* loop) : loop_(loop) {}

DiskIOUtil::~DiskIOUtil() {
  // The context waits for the kernel to finish its requests in flight;
  // trims among them still read the zero buffer (with O_DIRECT, straight
  // from its pages), so the buffer goes only after.
  delete aio_ctx_;
  aio_ctx_ = nullptr;
  free(zero_buf_);
  zero_buf_ = nullptr;
  for (SpdkNvmeUtil*& util : spdk_) {
    if (util == nullptr) continue;
    util->device->DeleteQpair(util->qp_id);
    delete util;
    util = nullptr;
  }
}

int DiskIOUtil::spdk_device_count() const {
  int n = 0;
  for (const SpdkNvmeUtil* util : spdk_) n += util != nullptr;
  return n;
}

// ---------------------------------------------------------------- set-up

int DiskIOUtil::SetAioContext(AioContext* ctx) {
  loop_->AssertInLoopThread();
  if (spdk_device_count() > 0) {
    LOG_ERROR << "spdk nvme device has been set, can't enable libaio";
    return -1;
  }
  if (ctx == nullptr || aio_ctx_ != nullptr) {
    LOG_ERROR << "aio context is null or already set";
    return -1;
  }
  void* buf = nullptr;
  int ret = posix_memalign(&buf, 4096, kMaxZeroBufSize);
  if (ret != 0) LOG_FATAL << "aio_zero_buf_ posix_memalign error, ret: " << ret;
  memset(buf, 0, kMaxZeroBufSize);
  zero_buf_ = buf;
  aio_ctx_ = ctx;
  return 0;
}

int DiskIOUtil::AddSpdkNvmeUtil(const std::shared_ptr<SpdkNvmeDevice>& dev) {
  loop_->AssertInLoopThread();
  const uint32_t id = dev->dev_id();
  LOG_INFO << "add spdk nvme util, dev id: " << id;
  if (aio_ctx_ != nullptr) LOG_FATAL << "aio has been enable, can't set spdk nvme";
  if (id < spdk_.size() && spdk_[id] != nullptr) {
    LOG_FATAL << "spdk nvme dev already set, dev_id: " << id;
  }
  uint32_t qp_id = 0;
  if (dev->CreateQpair(&qp_id) != 0) LOG_FATAL << "spdk nvme qpair create failed";
  if (id >= spdk_.size()) spdk_.resize(static_cast<size_t>(id) + 1, nullptr);
  spdk_[id] = new SpdkNvmeUtil{dev, qp_id};
  return 0;
}

int DiskIOUtil::SpdkPoll() {
  bool failed = false;
  bool progressed = false;
  for (size_t id = 0; id < spdk_.size(); ++id) {
    SpdkNvmeUtil* util = spdk_[id];
    if (util == nullptr) continue;
    int ret = util->device->Poll(util->qp_id);
    if (ret < 0) {
      LOG_ERROR << "spdk nvme device poll error, dev_id: " << id << ", ret: " << ret;
      failed = true;
    } else if (ret > 0) {
      progressed = true;
    }
  }
  if (failed) return -1;
  return progressed ? 1 : 0;
}

// ---------------------------------------------------------------- Linux AIO

AioContext* DiskIOUtil::AioOrRefuse(const Callback& cb) const {
  loop_->AssertInLoopThread();
  if (aio_ctx_ == nullptr) {
    LOG_ERROR << "libaio not enable";
    cb(-1);
  }
  return aio_ctx_;
}

int DiskIOUtil::SubmitRead(int fd, void* buf, uint64_t offset, uint64_t len,
                           const Callback& cb) {
  AioContext* aio = AioOrRefuse(cb);
  return aio == nullptr ? -1 : aio->SubmitRead(fd, buf, offset, len, cb);
}

int DiskIOUtil::SubmitWrite(int fd, void* buf, uint64_t offset, uint64_t len,
                            const Callback& cb) {
  AioContext* aio = AioOrRefuse(cb);
  return aio == nullptr ? -1 : aio->SubmitWrite(fd, buf, offset, len, cb);
}

int DiskIOUtil::SubmitTrim(int fd, uint64_t offset, uint64_t len, const Callback& cb) {
  loop_->AssertInLoopThread();
  if (len > kMaxZeroBufSize) {
    LOG_ERROR << "len is larger than kMaxZeroBufSize, len: " << len;
    cb(-1);
    return -1;
  }
  AioContext* aio = AioOrRefuse(cb);
  return aio == nullptr ? -1 : aio->SubmitWrite(fd, zero_buf_, offset, len, cb);
}

// ---------------------------------------------------------------- SPDK NVMe

DiskIOUtil::SpdkNvmeUtil* DiskIOUtil::SpdkOrRefuse(uint32_t dev_id, const Callback& cb) const {
  loop_->AssertInLoopThread();
  SpdkNvmeUtil* util = dev_id < spdk_.size() ? spdk_[dev_id] : nullptr;
  if (util == nullptr) {
    LOG_ERROR << "spdk nvme device not found, dev_id: " << dev_id;
    cb(-1);
  }
  return util;
}

int DiskIOUtil::SubmitReadSpdk(uint32_t dev_id, void* buf, uint64_t offset, uint64_t len,
                               const Callback& cb) {
  SpdkNvmeUtil* u = SpdkOrRefuse(dev_id, cb);
  return u == nullptr ? -1 : u->device->SubmitRead(u->qp_id, buf, offset, len, cb);
}

int DiskIOUtil::SubmitReadvSpdk(uint32_t dev_id, const SgEntry* sges, int n, uint64_t offset,
                                uint64_t len, const Callback& cb) {
  SpdkNvmeUtil* u = SpdkOrRefuse(dev_id, cb);
  return u == nullptr ? -1 : u->device->SubmitReadv(u->qp_id, sges, n, offset, len, cb);
}

int DiskIOUtil::SubmitWriteSpdk(uint32_t dev_id, void* buf, uint64_t offset, uint64_t len,
                                const Callback& cb) {
  SpdkNvmeUtil* u = SpdkOrRefuse(dev_id, cb);
  return u == nullptr ? -1 : u->device->SubmitWrite(u->qp_id, buf, offset, len, cb);
}

int DiskIOUtil::SubmitWritevSpdk(uint32_t dev_id, const SgEntry* sges, int n, uint64_t offset,
                                 uint64_t len, const Callback& cb) {
  SpdkNvmeUtil* u = SpdkOrRefuse(dev_id, cb);
  return u == nullptr ? -1 : u->device->SubmitWritev(u->qp_id, sges, n, offset, len, cb);
}

int DiskIOUtil::SubmitReadMdSpdk(uint32_t dev_id, void* buf, uint64_t offset, uint64_t len,
                                 void* md, const Callback& cb, uint32_t io_flags,
                                 uint16_t apptag_mask, uint16_t apptag) {
  SpdkNvmeUtil* u = SpdkOrRefuse(dev_id, cb);
  return u == nullptr ? -1
                      : u->device->SubmitReadMd(u->qp_id, buf, offset, len, md, cb, io_flags,
                                                apptag_mask, apptag);
}

int DiskIOUtil::SubmitReadvMdSpdk(uint32_t dev_id, const SgEntry* sges, int n, uint64_t offset,
                                  uint64_t len, void* md, const Callback& cb,
                                  uint32_t io_flags, uint16_t apptag_mask, uint16_t apptag) {
  SpdkNvmeUtil* u = SpdkOrRefuse(dev_id, cb);
  return u == nullptr ? -1
                      : u->device->SubmitReadvMd(u->qp_id, sges, n, offset, len, md, cb,
                                                 io_flags, apptag_mask, apptag);
}

int DiskIOUtil::SubmitWriteMdSpdk(uint32_t dev_id, void* buf, uint64_t offset, uint64_t len,
                                  void* md, const Callback& cb, uint32_t io_flags,
                                  uint16_t apptag_mask, uint16_t apptag) {
  SpdkNvmeUtil* u = SpdkOrRefuse(dev_id, cb);
  return u == nullptr ? -1
                      : u->device->SubmitWriteMd(u->qp_id, buf, offset, len, md, cb, io_flags,
                                                 apptag_mask, apptag);
}

int DiskIOUtil::SubmitWritevMdSpdk(uint32_t dev_id, const SgEntry* sges, int n,
                                   uint64_t offset, uint64_t len, void* md,
                                   const Callback& cb, uint32_t io_flags,
                                   uint16_t apptag_mask, uint16_t apptag) {
  SpdkNvmeUtil* u = SpdkOrRefuse(dev_id, cb);
  return u == nullptr ? -1
                      : u->device->SubmitWritevMd(u->qp_id, sges, n, offset, len, md, cb,
                                                  io_flags, apptag_mask, apptag);
}

int DiskIOUtil::SubmitTrimSpdk(uint32_t dev_id, uint64_t offset, uint64_t len,
                               const Callback& cb) {
  SpdkNvmeUtil* u = SpdkOrRefuse(dev_id, cb);
  return u == nullptr ? -1 : u->device->SubmitTrim(u->qp_id, offset, len, cb);
}

int DiskIOUtil::SubmitWriteZeroesSpdk(uint32_t dev_id, uint64_t offset, uint64_t len,
                                      const Callback& cb, uint32_t flags) {
  SpdkNvmeUtil* u = SpdkOrRefuse(dev_id, cb);
  return u == nullptr ? -1 : u->device->SubmitWriteZeroes(u->qp_id, offset, len, cb, flags);
}

}  // namespace tarn
