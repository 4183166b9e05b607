// Block servers: reads and writes of whole 4 KiB blocks of the planes they
// hold, checked as a real server checks them. Every answer carries the
// disk's current term, failures included: the driver compares terms before
// it looks at the result code.
#include <cstring>
#include <string>

#include "cluster_state.h"
#include "services.h"
#include "tarn/rpc/rpc_controller.h"

namespace pyxsim {

namespace {

// The largest range one call may carry.
constexpr uint64_t kMaxIoBytes = 64ull << 20;
// How far a deliberately wrong term in an answer lies from the right one.
constexpr uint64_t kStaleTermSkew = 1000000;
// A block server that cannot get memory for an answer says so; retryable.
constexpr int kRcNoMemory = -12016;

int MethodIndex(const char* name) {
  return vovorav::BlockServerService::descriptor()->FindMethodByName(name)->index();
}

// Where a block lives in the storage layer: a pure function of its address,
// so that a write and every later read of the block report the same place.
struct Location {
  uint64_t segment_id;
  uint64_t stream_id;
  uint64_t extent_id;
  uint64_t offset_in_extent;
};

Location LocationOf(const Geometry& geo, uint64_t lba) {
  return Location{geo.PlaneOf(lba), lba / geo.die_capacity, lba / geo.block_capacity,
                  lba % geo.block_capacity};
}

// kRcOk when the range may be served by block server `index` with `term`.
int CheckRange(const Geometry& geo, const Disk& disk, int index, uint64_t term, uint64_t lba,
               uint64_t size) {
  if (size == 0 || size > kMaxIoBytes || lba % kBlockSize != 0 || size % kBlockSize != 0 ||
      lba > disk.size || size > disk.size - lba) {
    return kRcInvalidArgument;
  }
  if (term != disk.term.load()) return kRcStaleRouteTerm;
  // Every stretch of block_capacity bytes of the range has its own plane.
  for (uint64_t off = lba; off < lba + size; off = (off / geo.block_capacity + 1) * geo.block_capacity) {
    if (disk.owner[geo.PlaneOf(off)].load() != index) return kRcPlaneNotHere;
  }
  return kRcOk;
}

void SetRc(ResultCode* rc, int code) {
  rc->set_retcode(code);
  switch (code) {
    case kRcOk:
      break;
    case kRcStaleRouteTerm:
      rc->set_errmsg("route term is not current");
      break;
    case kRcPlaneNotHere:
      rc->set_errmsg("plane not on this server");
      break;
    case kRcVdiNotOnServer:
      rc->set_errmsg("vdisk not on this server");
      break;
    case kRcInvalidArgument:
      rc->set_errmsg("invalid argument");
      break;
    default:
      rc->set_errmsg("injected fault");
  }
}

// Stores a write's data, gathered from the request's attachments.
void StoreAttachments(const tarn::RpcController& ctrl, Disk* disk, uint64_t lba, uint64_t size) {
  const auto& entries = ctrl.request_attachments();
  if (entries.size() == 1) {
    disk->store.Write(lba, static_cast<const char*>(entries[0].data), size);
    return;
  }
  std::string data;
  data.reserve(size);
  for (const tarn::AttachmentEntry& entry : entries) {
    data.append(static_cast<const char*>(entry.data), entry.len);
  }
  disk->store.Write(lba, data.data(), size);
}

}  // namespace

void BlockServerServiceImpl::Write(google::protobuf::RpcController* cntl,
                                   const vovorav::BlockServerWriteRequest* request,
                                   vovorav::BlockServerWriteResponse* response,
                                   google::protobuf::Closure* done) {
  static const int kMethod = MethodIndex("Write");
  auto* ctrl = static_cast<tarn::RpcController*>(cntl);
  Verdict verdict;
  if (!slot_->Admit(kMethod, ctrl, done, &verdict)) return;
  const Geometry& geo = state_->options.geometry;
  const uint64_t lba = request->lba();
  const uint64_t size = request->size();
  Disk* disk = state_->disks.ByUuid(request->vdi().id());
  uint64_t term = disk != nullptr ? disk->term.load() : 0;
  int code = kRcOk;
  if (verdict.kind == Verdict::kRetcode) {
    code = verdict.retcode;
  } else if (disk == nullptr) {
    code = kRcVdiNotOnServer;
  } else if (ctrl->request_attachment_bytes() != size) {
    code = kRcInvalidArgument;
  } else {
    code = CheckRange(geo, *disk, slot_->index(), request->route_term().term(), lba, size);
  }
  if (code == kRcOk) {
    StoreAttachments(*ctrl, disk, lba, size);
    const Location loc = LocationOf(geo, lba);
    response->set_segment_id(loc.segment_id);
    response->set_stream_id(loc.stream_id);
    response->set_extent_id(loc.extent_id);
    response->set_offset_in_extent(loc.offset_in_extent);
  }
  if (verdict.kind == Verdict::kIoFault && verdict.io_fault == IoFault::kStaleTerm) {
    term += kStaleTermSkew;
  }
  response->mutable_latest_route_term()->set_term(term);
  SetRc(response->mutable_rc(), code);
  slot_->Answer(ctrl, done, verdict.delay_ms);
}

void BlockServerServiceImpl::Read(google::protobuf::RpcController* cntl,
                                  const vovorav::BlockServerReadRequest* request,
                                  vovorav::BlockServerReadResponse* response,
                                  google::protobuf::Closure* done) {
  static const int kMethod = MethodIndex("Read");
  auto* ctrl = static_cast<tarn::RpcController*>(cntl);
  Verdict verdict;
  if (!slot_->Admit(kMethod, ctrl, done, &verdict)) return;
  const Geometry& geo = state_->options.geometry;
  const uint64_t lba = request->lba();
  const uint64_t size = request->size();
  auto faulted = [&verdict](IoFault fault) {
    return verdict.kind == Verdict::kIoFault && verdict.io_fault == fault;
  };
  Disk* disk = state_->disks.ByUuid(request->vdi().id());
  uint64_t term = disk != nullptr ? disk->term.load() : 0;
  int code = kRcOk;
  if (verdict.kind == Verdict::kRetcode) {
    code = verdict.retcode;
  } else if (disk == nullptr) {
    code = kRcVdiNotOnServer;
  } else {
    code = CheckRange(geo, *disk, slot_->index(), request->route_term().term(), lba, size);
  }
  if (code == kRcOk) {
    const uint64_t extra = faulted(IoFault::kLongAttachment) ? kBlockSize : 0;
    char* data = nullptr;
    uint64_t found = 0;
    if (!faulted(IoFault::kForceZerod)) {
      data = static_cast<char*>(ctrl->Malloc(static_cast<uint32_t>(size + extra)));
      if (data == nullptr) {
        code = kRcNoMemory;
      } else {
        found = disk->store.Read(lba, size, data);
        memset(data + size, 0, extra);
      }
    }
    if (code == kRcOk) {
      response->set_size(faulted(IoFault::kWrongSize) ? size - kBlockSize : size);
      for (uint64_t off = lba; off < lba + size; off += kBlockSize) {
        const Location loc = LocationOf(geo, off);
        vovorav::ReadBlockInfo* info = response->add_block_info();
        info->set_lba(off);
        info->set_segment_id(loc.segment_id);
        info->set_stream_id(loc.stream_id);
        info->set_extent_id(loc.extent_id);
        info->set_offset_in_extent(loc.offset_in_extent);
      }
      // Never-written ranges travel as a flag, not as zeros.
      response->set_zerod(found == 0);
      if (found == 0) {
        if (data != nullptr) ctrl->Free(data);
      } else {
        if (faulted(IoFault::kFlipByte)) data[size / 2] ^= 0x5a;
        const uint64_t len = size + extra - (faulted(IoFault::kShortAttachment) ? kBlockSize : 0);
        if (len > 0) {
          ctrl->AppendResponseAttachment(data, static_cast<uint32_t>(len), true);
        } else {
          ctrl->Free(data);
        }
      }
    } else if (data != nullptr) {
      ctrl->Free(data);
    }
  }
  if (faulted(IoFault::kStaleTerm)) term += kStaleTermSkew;
  response->mutable_latest_route_term()->set_term(term);
  SetRc(response->mutable_rc(), code);
  slot_->Answer(ctrl, done, verdict.delay_ms);
}

}  // namespace pyxsim
