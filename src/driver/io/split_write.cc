#include "io/split_write.h"

#include <atomic>
#include <cstring>
#include <new>
#include <type_traits>

#include "spdk/bdev_module.h"

namespace pyx {

namespace {

// What a part's channel holds for rings: never a ring, only a mark.
spdk_ring* g_part_rings[1] = {nullptr};

constexpr size_t kAlign = alignof(std::max_align_t);
constexpr size_t RoundUp(size_t n) { return (n + kAlign - 1) / kAlign * kAlign; }
// One part: the block I/O record and the library's record behind it.
constexpr size_t kSlotSize = RoundUp(sizeof(spdk_bdev_io) + sizeof(bdev_pyx_io));

}  // namespace

// One allocation: this header, the parts' slots, then their iovecs.
struct SplitWrite {
  // First, so that a part's channel leads back to its split.
  bdev_pyx_io_channel ch;
  bdev_pyx_io* host_io;
  std::atomic<uint32_t> left;
  std::atomic<bool> failed;
  uint32_t parts;
  unsigned char* slots;
};

static_assert(std::is_standard_layout<SplitWrite>::value, "a part's channel is its split");

namespace {

constexpr size_t kHeaderSize = RoundUp(sizeof(SplitWrite));

bdev_pyx_io* RecordIn(unsigned char* slot) {
  return static_cast<bdev_pyx_io*>(spdk_bdev_io_get_driver_ctx(reinterpret_cast<spdk_bdev_io*>(slot)));
}

}  // namespace

SplitWrite* NewSplitWrite(bdev_pyx_io* io, uint64_t stripe) {
  const uint64_t first = io->offset / stripe;
  const uint64_t last = (io->offset + io->len - 1) / stripe;
  const size_t parts = static_cast<size_t>(last - first + 1);
  // Each part takes the iovecs it touches: one shared at each cut at most.
  const size_t iov_room = static_cast<size_t>(io->iovcnt) + parts;
  const size_t size = kHeaderSize + parts * kSlotSize + iov_room * sizeof(iovec);
  auto* mem = static_cast<unsigned char*>(::operator new(size));
  memset(mem, 0, kHeaderSize + parts * kSlotSize);
  auto* split = new (mem) SplitWrite;
  split->ch.disk = io->ch->disk;
  split->ch.rings = g_part_rings;
  split->host_io = io;
  split->left.store(static_cast<uint32_t>(parts), std::memory_order_relaxed);
  split->failed.store(false, std::memory_order_relaxed);
  split->parts = static_cast<uint32_t>(parts);
  split->slots = mem + kHeaderSize;
  auto* iovs = reinterpret_cast<iovec*>(split->slots + parts * kSlotSize);

  // The host's buffers, cut where the stripes are.
  int src = 0;
  uint64_t used = 0;  // bytes of io->iov[src] given to earlier parts
  uint64_t at = io->offset;
  const uint64_t end = io->offset + io->len;
  for (size_t p = 0; p < parts; ++p) {
    unsigned char* slot = split->slots + p * kSlotSize;
    reinterpret_cast<spdk_bdev_io*>(slot)->type = SPDK_BDEV_IO_TYPE_WRITE;
    bdev_pyx_io* part = RecordIn(slot);
    const uint64_t stripe_end = (at / stripe + 1) * stripe;
    const uint64_t len = (stripe_end < end ? stripe_end : end) - at;
    part->offset = at;
    part->len = len;
    part->ch = &split->ch;
    part->iov = iovs;
    uint64_t need = len;
    while (need > 0) {
      const iovec& from = io->iov[src];
      const uint64_t avail = from.iov_len - used;
      if (avail == 0) {
        ++src;
        used = 0;
        continue;
      }
      const uint64_t take = avail < need ? avail : need;
      iovs->iov_base = static_cast<char*>(from.iov_base) + used;
      iovs->iov_len = take;
      ++iovs;
      ++part->iovcnt;
      used += take;
      need -= take;
    }
    at += len;
  }
  return split;
}

size_t PartCount(const SplitWrite* split) { return split->parts; }

bdev_pyx_io* PartAt(SplitWrite* split, size_t i) { return RecordIn(split->slots + i * kSlotSize); }

spdk_bdev_io* PartBio(bdev_pyx_io* part) { return spdk_bdev_io_from_ctx(part); }

bool IsPart(const bdev_pyx_io* io) { return io->ch->rings == g_part_rings; }

bdev_pyx_io* EndPart(bdev_pyx_io* part) {
  auto* split = reinterpret_cast<SplitWrite*>(part->ch);
  if (part->status == -1) split->failed.store(true, std::memory_order_relaxed);
  // The last part to end sees every other part's verdict.
  if (split->left.fetch_sub(1, std::memory_order_acq_rel) != 1) return nullptr;
  bdev_pyx_io* io = split->host_io;
  if (split->failed.load(std::memory_order_relaxed)) io->status = -1;
  split->~SplitWrite();
  ::operator delete(split);
  return io;
}

}  // namespace pyx
