// Block servers: reads and writes of whole 4 KiB blocks of the planes they
// hold, checked as a real server checks them. Every answer carries the
// disk's current term, failures included: the driver compares terms before
// it looks at the result code.
#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>

#include "service_call.h"
#include "services.h"

namespace pyxsim {

namespace {

// The largest range one call may carry.
constexpr uint64_t kMaxIoBytes = 64ull << 20;
// How far a deliberately wrong term in an answer lies from the right one.
constexpr uint64_t kStaleTermSkew = 1000000;
// A block server that cannot get memory for an answer says so; retryable.
constexpr int kRcNoMemory = -12016;

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
    case kRcNoSpace:
      rc->set_errmsg("memory budget of the cluster spent");
      break;
    default:
      rc->set_errmsg("injected fault");
  }
}

bool Faulted(const Verdict& verdict, IoFault fault) {
  return verdict.kind == Verdict::kIoFault && verdict.io_fault == fault;
}

// What a read and a write share: the disk the call names, the term its
// answer carries and its result code.
struct IoCall {
  Disk* disk;
  uint64_t term;
  int code;
};

// A read or write that block server `index` serves, before any data moves:
// its code is the verdict's forced one, kRcVdiNotOnServer for a disk the
// server does not know, `precheck` when that refuses the call, or what the
// range check finds.
template <typename Request>
IoCall StartIo(ClusterState* state, int index, const Verdict& verdict, const Request& request,
               int precheck) {
  Disk* disk = state->disks.ByUuid(request.vdi().id());
  IoCall io{disk, disk != nullptr ? disk->term.load() : 0, kRcOk};
  if (verdict.kind == Verdict::kRetcode) {
    io.code = verdict.retcode;
  } else if (disk == nullptr) {
    io.code = kRcVdiNotOnServer;
  } else if (precheck != kRcOk) {
    io.code = precheck;
  } else {
    io.code = CheckRange(state->options.geometry, *disk, index, request.route_term().term(),
                         request.lba(), request.size());
  }
  return io;
}

// Every answer carries the disk's term (skewed when the verdict says so) and
// the result code, failures included.
template <typename Response>
void FinishIo(const Verdict& verdict, const IoCall& io, Response* response) {
  const uint64_t skew = Faulted(verdict, IoFault::kStaleTerm) ? kStaleTermSkew : 0;
  response->mutable_latest_route_term()->set_term(io.term + skew);
  SetRc(response->mutable_rc(), io.code);
}

// Says once per process that the memory budget refused a write, on the
// cluster's standard error where its owner looks.
void SayBudgetSpent(const MemoryBudget& budget) {
  static std::atomic<bool> said{false};
  if (said.exchange(true)) return;
  fprintf(stderr,
          "pyxsim: memory budget of %llu MiB spent (%llu MiB of written blocks held): writes "
          "of new blocks are refused (retcode %d)\n",
          static_cast<unsigned long long>(budget.limit() >> 20),
          static_cast<unsigned long long>(budget.used() >> 20), kRcNoSpace);
  fflush(stderr);
}

// Stores a write's data, gathered from the request's attachments: kRcOk,
// or kRcNoSpace when the cluster's memory budget cannot take it.
int StoreAttachments(const tarn::RpcController& ctrl, ClusterState* state, Disk* disk,
                     uint64_t lba, uint64_t size) {
  const auto& entries = ctrl.request_attachments();
  bool stored;
  if (entries.size() == 1) {
    stored = disk->store.Write(lba, static_cast<const char*>(entries[0].data), size);
  } else {
    std::string data;
    data.reserve(size);
    for (const tarn::AttachmentEntry& entry : entries) {
      data.append(static_cast<const char*>(entry.data), entry.len);
    }
    stored = disk->store.Write(lba, data.data(), size);
  }
  if (stored) return kRcOk;
  SayBudgetSpent(state->disks.budget());
  return kRcNoSpace;
}

// Moves a read's data into an attachment of the answer, or, for a range
// never written, answers a flag instead; the verdict's I/O faults bend the
// answer.  *code becomes kRcNoMemory when there is no memory for the data.
void ReadBlocks(const Geometry& geo, const Verdict& verdict, tarn::RpcController* ctrl,
                const Disk& disk, uint64_t lba, uint64_t size,
                vovorav::BlockServerReadResponse* response, int* code) {
  const uint64_t extra = Faulted(verdict, IoFault::kLongAttachment) ? kBlockSize : 0;
  char* data = nullptr;
  uint64_t found = 0;
  if (!Faulted(verdict, IoFault::kForceZerod)) {
    data = static_cast<char*>(ctrl->Malloc(static_cast<uint32_t>(size + extra)));
    if (data == nullptr) {
      *code = kRcNoMemory;
      return;
    }
    found = disk.store.Read(lba, size, data);
    memset(data + size, 0, extra);
  }
  response->set_size(Faulted(verdict, IoFault::kWrongSize) ? size - kBlockSize : size);
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
    return;
  }
  if (Faulted(verdict, IoFault::kFlipByte)) data[size / 2] ^= 0x5a;
  const uint64_t short_by = Faulted(verdict, IoFault::kShortAttachment) ? kBlockSize : 0;
  const uint64_t len = size + extra - short_by;
  if (len > 0) {
    ctrl->AppendResponseAttachment(data, static_cast<uint32_t>(len), true);
  } else {
    ctrl->Free(data);
  }
}

}  // namespace

void BlockServerServiceImpl::Write(google::protobuf::RpcController* cntl,
                                   const vovorav::BlockServerWriteRequest* request,
                                   vovorav::BlockServerWriteResponse* response,
                                   google::protobuf::Closure* done) {
  static const int kMethod = MethodIndex<vovorav::BlockServerService>("Write");
  ServeCall(slot_, kMethod, cntl, done, [&](tarn::RpcController* ctrl, const Verdict& verdict) {
    const uint64_t lba = request->lba();
    const uint64_t size = request->size();
    const int precheck = ctrl->request_attachment_bytes() != size ? kRcInvalidArgument : kRcOk;
    IoCall io = StartIo(state_, slot_->index(), verdict, *request, precheck);
    if (io.code == kRcOk) io.code = StoreAttachments(*ctrl, state_, io.disk, lba, size);
    if (io.code == kRcOk) {
      const Location loc = LocationOf(state_->options.geometry, lba);
      response->set_segment_id(loc.segment_id);
      response->set_stream_id(loc.stream_id);
      response->set_extent_id(loc.extent_id);
      response->set_offset_in_extent(loc.offset_in_extent);
    }
    FinishIo(verdict, io, response);
  });
}

void BlockServerServiceImpl::Read(google::protobuf::RpcController* cntl,
                                  const vovorav::BlockServerReadRequest* request,
                                  vovorav::BlockServerReadResponse* response,
                                  google::protobuf::Closure* done) {
  static const int kMethod = MethodIndex<vovorav::BlockServerService>("Read");
  ServeCall(slot_, kMethod, cntl, done, [&](tarn::RpcController* ctrl, const Verdict& verdict) {
    IoCall io = StartIo(state_, slot_->index(), verdict, *request, kRcOk);
    if (io.code == kRcOk) {
      ReadBlocks(state_->options.geometry, verdict, ctrl, *io.disk, request->lba(),
                 request->size(), response, &io.code);
    }
    FinishIo(verdict, io, response);
  });
}

}  // namespace pyxsim
