// Attachments of a call and the scatter-gather entries handed to a
// message transport.
//
// An attachment is an opaque block sent after a frame's message without being
// copied into it (the driver carries block data this way). The receiver gets
// all attachments of a frame as one block.
#ifndef TARN_RPC_ATTACHMENT_H_
#define TARN_RPC_ATTACHMENT_H_

#include <cstdint>

namespace tarn {

struct AttachmentEntry {
  void* data = nullptr;
  uint32_t len = 0;
  // The controller frees data through its connection's worker.
  bool owned = false;
  // Memory-region keys of data, valid when has_keys (RDMA only).
  uint32_t lkey = 0;
  uint32_t rkey = 0;
  bool has_keys = false;
};

// One entry of a zero-copy send. An entry without keys is resolved by the
// transport's memory-region lookup.
struct SgEntry {
  uint64_t addr = 0;
  uint64_t len = 0;
  uint32_t lkey = 0;
  uint32_t rkey = 0;
  bool has_keys = false;
};

}  // namespace tarn

#endif  // TARN_RPC_ATTACHMENT_H_
