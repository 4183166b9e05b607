// The per-block integrity and location vectors of each disk, the read-side
// CRC check, and each driver's copy of the disks' data generation sequence.
//
// The vectors only feed a diagnostic line: a CRC mismatch never fails a
// read, and blocks the vectors do not reach (a disk that grew after
// bring-up) simply go without bookkeeping.
#include <algorithm>
#include <vector>

#include "butil/crc32c.h"
#include "control/config.h"
#include "io/driver_impl.h"
#include "tarn/base/logging.h"
#include "tarn/rpc/closure_guard.h"
#include "tarn/rpc/rpc_controller.h"

using pyx::DiskState;
using pyx::IoCall;

namespace {

template <typename T>
T At(const std::vector<T>& v, uint64_t i) {
  return i < v.size() ? v[i] : T();
}

// A vector of one zero entry per whole 4 KiB block of `size`, replacing any
// earlier one; returns its capacity for the log line.
template <typename T>
size_t Recreate(std::vector<T>* v, uint64_t size) {
  std::vector<T>(size / pyx::kBlockSize).swap(*v);
  return v->capacity();
}

}  // namespace

uint64_t PyxDriver::Impl::VectorsCover(DiskState* st, uint64_t first, uint64_t n, size_t size) {
  const uint64_t covered = first >= size ? 0 : std::min<uint64_t>(n, size - first);
  if (covered < n && !st->warned_beyond_vectors) {
    st->warned_beyond_vectors = true;
    LOG_WARN << st->name << " I/O reaches block " << first + n - 1 << " past the " << size
             << " blocks of the integrity vectors; those blocks go unchecked";
  }
  return covered;
}

void PyxDriver::Impl::CheckReadCrc(DiskState* st, IoCall* c, const char* data, bool zerod) {
  bdev_pyx_io* io = c->io;
  const auto& infos = c->read_resp.block_info();
  const uint64_t blocks = io->len / pyx::kBlockSize;
  uint64_t n = static_cast<uint64_t>(infos.size());
  if (n > blocks) {
    LOG_ERROR << st->name << " read answer holds " << n << " block_info entries for " << blocks
              << " blocks, the rest are ignored" << "|reqlba: " << io->offset
              << "|len: " << io->len << "|remote_side:" << c->cntl->uuid();
    n = blocks;
  }
  const uint64_t first = io->offset / pyx::kBlockSize;
  n = VectorsCover(st, first, n, st->crc.size());
  for (uint64_t i = 0; i < n; ++i) {
    const uint64_t b = first + i;
    const uint32_t stored = st->crc[b];
    const uint32_t computed =
        zerod ? 0 : butil::crc32c::Extend(0, data + i * pyx::kBlockSize, pyx::kBlockSize);
    if (zerod ? stored == 0 : stored == computed) continue;
    const vovorav::ReadBlockInfo& info = infos.Get(static_cast<int>(i));
    LOG_ERROR << st->name << " crc noequal," << "|reqlba: " << io->offset
              << "|4klba: " << io->offset + i * pyx::kBlockSize << "|write crc: " << stored
              << "|read crc: " << computed << "|len: " << io->len
              << "|blockinfo_lba: " << info.lba() << "|Rread_segment_id: " << info.segment_id()
              << "|Read_stream_id: " << info.stream_id()
              << "|Read_extent_id: " << info.extent_id()
              << "|Rread_offset_in_extent: " << info.offset_in_extent()
              << "|Write_segment_id: " << At(st->segment_id, b)
              << "|Write_stream_id: " << At(st->stream_id, b)
              << "|Write_extent_id: " << At(st->extent_id, b)
              << "|Write_offset_in_extent: " << At(st->offset_in_extent, b);
  }
}

void PyxDriver::Impl::RecordLocations(DiskState* st, const bdev_pyx_io* io,
                                      const vovorav::BlockServerWriteResponse& resp) {
  const size_t size = std::min({st->segment_id.size(), st->stream_id.size(),
                                st->extent_id.size(), st->offset_in_extent.size()});
  const uint64_t first = io->offset / pyx::kBlockSize;
  const uint64_t n = VectorsCover(st, first, io->len / pyx::kBlockSize, size);
  for (uint64_t k = 0; k < n; ++k) {
    st->segment_id[first + k] = static_cast<uint8_t>(resp.segment_id());
    st->stream_id[first + k] = static_cast<uint8_t>(resp.stream_id());
    st->extent_id[first + k] = static_cast<uint8_t>(resp.extent_id());
    st->offset_in_extent[first + k] = static_cast<uint32_t>(resp.offset_in_extent());
  }
}

// ---------------------------------------------------------------- vectors

void PyxDriver::VectorCreate(bdev_pyx* disk, uint64_t size) {
  const size_t cap = Recreate(&impl_->Attach(disk)->crc, size);
  LOG_INFO << "create vdisk crc vector sucess, " << "vector capacity: " << cap;
}

void PyxDriver::offset_extentCreate(bdev_pyx* disk, uint64_t size) {
  const size_t cap = Recreate(&impl_->Attach(disk)->offset_in_extent, size);
  LOG_INFO << "create offset_in_extent vector sucess, " << "vector capacity: " << cap;
}

void PyxDriver::segmentCreate(bdev_pyx* disk, uint64_t size) {
  const size_t cap = Recreate(&impl_->Attach(disk)->segment_id, size);
  LOG_INFO << "create segment_id vector sucess, " << "vector capacity: " << cap;
}

void PyxDriver::streamCreate(bdev_pyx* disk, uint64_t size) {
  const size_t cap = Recreate(&impl_->Attach(disk)->stream_id, size);
  LOG_INFO << "create stream_id vector sucess, " << "vector capacity: " << cap;
}

void PyxDriver::extentCreate(bdev_pyx* disk, uint64_t size) {
  const size_t cap = Recreate(&impl_->Attach(disk)->extent_id, size);
  LOG_INFO << "create extent_id vector sucess, " << "vector capacity: " << cap;
}

// The frees take the record only as a key: it may already be detached.
void PyxDriver::CrcFree(bdev_pyx* disk) {
  if (DiskState* st = impl_->Find(disk)) std::vector<uint32_t>().swap(st->crc);
}

void PyxDriver::offset_extentFree(bdev_pyx* disk) {
  if (DiskState* st = impl_->Find(disk)) std::vector<uint32_t>().swap(st->offset_in_extent);
}

void PyxDriver::segmentFree(bdev_pyx* disk) {
  if (DiskState* st = impl_->Find(disk)) std::vector<uint8_t>().swap(st->segment_id);
}

void PyxDriver::streamFree(bdev_pyx* disk) {
  if (DiskState* st = impl_->Find(disk)) std::vector<uint8_t>().swap(st->stream_id);
}

void PyxDriver::extentFree(bdev_pyx* disk) {
  if (DiskState* st = impl_->Find(disk)) std::vector<uint8_t>().swap(st->extent_id);
}

size_t PyxDriver::vector_size(const std::string& name) const {
  const DiskState* st = impl_->FindByName(name);
  return st == nullptr ? 0 : st->crc.size();
}

uint32_t PyxDriver::crc_at(const std::string& name, uint64_t block) const {
  const DiskState* st = impl_->FindByName(name);
  return st == nullptr ? 0 : At(st->crc, block);
}

PyxDriver::BlockLocation PyxDriver::location_at(const std::string& name, uint64_t block) const {
  BlockLocation loc;
  const DiskState* st = impl_->FindByName(name);
  if (st == nullptr) return loc;
  loc.segment_id = At(st->segment_id, block);
  loc.stream_id = At(st->stream_id, block);
  loc.extent_id = At(st->extent_id, block);
  loc.offset_in_extent = At(st->offset_in_extent, block);
  return loc;
}

// -------------------------------------------------------------------- dgs

void PyxDriver::CreateDgs(const std::string& name, uint64_t dgs) {
  impl_->dgs.emplace(name, dgs);
}

void PyxDriver::UpdateDgs(const std::string& name, uint64_t dgs,
                          std::shared_ptr<tarn::ClosureGuard> guard) {
  auto it = impl_->dgs.find(name);
  if (it == impl_->dgs.end()) {
    LOG_ERROR << "worker " << id_ << " vdi " << name << " dgs not found";
  } else if (it->second >= dgs) {
    LOG_ERROR << "worker " << id_ << " vdi " << name << " dgs " << it->second
              << " ge dgs from snapshot " << dgs;
  } else {
    LOG_INFO << "update " << name << " worer " << id_ << " dgs to " << dgs;
    it->second = dgs;
  }
  // This task's share of the snapshot's answer goes with it.
  guard.reset();
}

void PyxDriver::FreeDgs(const std::string& name) {
  if (impl_->dgs.erase(name) == 0) {
    LOG_ERROR << "worker " << id_ << " vdi " << name << " dgs not exit";
  }
}

uint64_t PyxDriver::dgs_of(const std::string& name) const {
  auto it = impl_->dgs.find(name);
  return it == impl_->dgs.end() ? 0 : it->second;
}
