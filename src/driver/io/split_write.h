// Aligned writes that span stripes.
//
// Every stripe of max_io_size bytes belongs to one I/O driver, and the
// holds that keep a read-modify-write from reverting its neighbours are
// kept per driver. An aligned write that reaches into the next stripe must
// therefore meet that stripe's driver too, or an unaligned write there could
// read the block around it, let it land, and write the old bytes back. Such
// a write is cut at the stripe boundaries into parts, each an aligned write
// of one stripe sent to that stripe's driver; the host's I/O completes once,
// when its last part does, with -1 when any part failed.
//
// A part is a block I/O record of the library's own, its buffers a slice of
// the host's. Its channel is the split's, whose rings are a marker: the
// completion step of whichever driver ends a part hands it here instead of
// to a ring. Parts end on their drivers' threads in any order; the last one
// completes the host's I/O on the ring of the driver that ran it.
#ifndef PYXDRIVER_IO_SPLIT_WRITE_H_
#define PYXDRIVER_IO_SPLIT_WRITE_H_

#include <cstddef>
#include <cstdint>

#include "pyxdriver/pyxdriver.h"

namespace pyx {

struct SplitWrite;

// True when [offset, offset + len) lies in more than one stripe.
inline bool CrossesStripe(uint64_t offset, uint64_t len, uint64_t stripe) {
  return offset % stripe + len > stripe;
}

// Any thread: the parts of the accepted aligned write `io` (len >= 1,
// iovecs adding up to len), one per stripe it touches, in offset order.
// The caller sends each part, or ends it with EndPart when it cannot.
SplitWrite* NewSplitWrite(bdev_pyx_io* io, uint64_t stripe);
size_t PartCount(const SplitWrite* split);
bdev_pyx_io* PartAt(SplitWrite* split, size_t i);
spdk_bdev_io* PartBio(bdev_pyx_io* part);

// True for a part's record: its completion goes to EndPart, never to a ring.
bool IsPart(const bdev_pyx_io* io);

// Any thread, once per part, after the part's status is final and its
// timing record is given back: nullptr while other parts are still out;
// for the last part, the host's I/O (its status -1 when any part failed)
// for the caller to complete. The split is freed by then.
bdev_pyx_io* EndPart(bdev_pyx_io* part);

}  // namespace pyx

#endif  // PYXDRIVER_IO_SPLIT_WRITE_H_
