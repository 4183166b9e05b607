// The ladder every block-server answer goes through: fail the I/O, send it
// back to the retry ring (asking for a fresh route one time in five), or hand
// it to its path's success step.
#include "control/config.h"
#include "io/driver_impl.h"
#include "record_access.h"
#include "tarn/base/logging.h"
#include "tarn/rpc/rpc_controller.h"

using pyx::CallKind;
using pyx::DiskState;
using pyx::IoCall;
using pyx::Verdict;

namespace {

bool IsConnectionFailure(int code) {
  return code == tarn::kRpcSendError || code == tarn::kRpcTimeout ||
         code == tarn::kRpcConnectError;
}

const char* TooLargeText(CallKind kind) {
  switch (kind) {
    case CallKind::kRead:
      return "Fail to send BlockServerReadRequest,request larger than the connection takes.";
    case CallKind::kWrite:
      return "Fail to send BlockServerWriteRequest,request larger than the connection takes.";
    case CallKind::kRmwRead:
      break;
  }
  return "Fail to send BlockServerRMWRequest,request larger than the connection takes.";
}

}  // namespace

// "|vdi name:" name "|vdi uuid:" uuid "|plane_num:" plane "|remote_side:" id
void PyxDriver::Impl::AppendContext(plinth::LogStream& s, const DiskState* st,
                                    IoCall* call) const {
  s << "|vdi name:" << st->name << "|vdi uuid:" << st->uuid
    << "|plane_num:" << static_cast<uint16_t>(call->io->plane)
    << "|remote_side:" << call->cntl->uuid();
}

// "|offset " "|len " "|retcode:" "|err msg:" and the context.
void PyxDriver::Impl::AppendRcTail(plinth::LogStream& s, const DiskState* st, IoCall* call,
                                   const ::ResultCode& rc) const {
  s << "|offset " << call->io->offset << "|len " << call->io->len << "|retcode:" << rc.retcode()
    << "|err msg:" << rc.errmsg();
  AppendContext(s, st, call);
}

Verdict PyxDriver::Impl::Ladder(const pyx::LadderTexts& t, DiskState* st, IoCall* call,
                                const ::ResultCode& rc, uint64_t resp_term) {
  bdev_pyx_io* io = call->io;
  tarn::RpcController* cntl = call->cntl;
  const uint16_t plane = static_cast<uint16_t>(io->plane);

  if (!pyx::Load(st->disk->exists)) {
    io->status = -1;
    LOG_ERROR << "vdisk not found.";
    if (t.kind == CallKind::kWrite) {
      LOG_ERROR << t.io_line << static_cast<const void*>(io) << "|offset:" << io->offset
                << "|vdi name:" << st->name << "|len:" << io->len << "|vdi uuid:" << st->uuid
                << "|plane_num:" << plane << "|remote_side:" << cntl->uuid();
    } else {
      plinth::Logger line(__FILE__, __LINE__, plinth::Logger::ERROR);
      line.stream() << t.io_line << static_cast<const void*>(io) << "|offset:" << io->offset
                    << "|len:" << io->len;
      AppendContext(line.stream(), st, call);
    }
    return Verdict::kFail;
  }

  if (cntl->Failed()) {
    const int code = cntl->error_code();
    if (IsConnectionFailure(code)) {
      if (Throttle(st)) {
        LOG_WARN << t.refetch << "|cntl err msg:" << cntl->ErrorText() << "|offset "
                 << io->offset << " len " << io->len << "|vdi name:" << st->name
                 << "|vdi uuid:" << st->uuid << "|ErrorCode:" << code << "|plane_num:" << plane
                 << "|remote_side:" << cntl->uuid();
        RouteQuery(st);
      }
      return Verdict::kRetry;
    }
    if (code == tarn::kRpcAttachmentLimit) {
      // The request can never fit this connection: retrying would loop.
      io->status = -1;
      LOG_ERROR << TooLargeText(t.kind) << "|cntl err msg:" << cntl->ErrorText() << "|offset "
                << io->offset << " len " << io->len << "|vdi name:" << st->name
                << "|vdi uuid:" << st->uuid << "|ErrorCode:" << code << "|plane_num:" << plane
                << "|remote_side:" << cntl->uuid();
      return Verdict::kFail;
    }
    return Verdict::kRetry;
  }

  const int32_t retcode = rc.retcode();
  if (retcode == 0) return Verdict::kSuccess;

  const uint64_t local_term = pyx::Load(st->disk->route_term[id]);
  if (resp_term != local_term) {
    if (Throttle(st)) {
      plinth::Logger line(__FILE__, __LINE__, plinth::Logger::WARN);
      line.stream() << t.stale << "|error: " << retcode;
      if (t.kind == CallKind::kRead) {
        line.stream() << "|offset " << io->offset << "|len " << io->len;
      }
      line.stream() << "|response term: " << resp_term << "|local term: " << local_term;
      AppendContext(line.stream(), st, call);
      RouteQuery(st);
    }
    return Verdict::kRetry;
  }

  if (retcode == -12006 || retcode == -12007) {
    plinth::Logger line(__FILE__, __LINE__, plinth::Logger::ERROR);
    line.stream() << t.missing << cntl->ErrorText();
    AppendRcTail(line.stream(), st, call, rc);
    return Verdict::kRetry;
  }
  if (retcode == -12016) {
    plinth::Logger line(__FILE__, __LINE__, plinth::Logger::ERROR);
    line.stream() << t.no_memory << cntl->ErrorText();
    AppendRcTail(line.stream(), st, call, rc);
    return Verdict::kRetry;
  }
  if (retcode == -12018) {
    if (Throttle(st)) {
      plinth::Logger line(__FILE__, __LINE__, plinth::Logger::WARN);
      line.stream() << t.not_ready << cntl->ErrorText();
      AppendRcTail(line.stream(), st, call, rc);
    }
    return Verdict::kRetry;
  }
  if (retcode >= -14000 && retcode <= -12000) {
    plinth::Logger line(__FILE__, __LINE__, plinth::Logger::ERROR);
    line.stream() << t.generic << cntl->ErrorText();
    AppendRcTail(line.stream(), st, call, rc);
    return Verdict::kRetry;
  }

  io->status = -1;
  plinth::Logger line(__FILE__, __LINE__, plinth::Logger::ERROR);
  line.stream() << t.failed << retcode << "|Errmsg: " << rc.errmsg();
  switch (t.kind) {
    case CallKind::kRead:
      line.stream() << "|offset " << io->offset << "|len " << io->len;
      AppendContext(line.stream(), st, call);
      break;
    case CallKind::kWrite:
      line.stream() << "|vdi name:" << st->name << "|vdi uuid:" << st->uuid
                    << "| plane_num:" << plane << "|remote_side:" << cntl->uuid();
      break;
    case CallKind::kRmwRead:
      AppendContext(line.stream(), st, call);
      break;
  }
  return Verdict::kFail;
}

// The answer of a disk that pyx_free has detached meanwhile: the I/O fails
// and nothing of the disk is touched.
void PyxDriver::Impl::FailGone(IoCall* call, bool is_read) {
  bdev_pyx_io* io = call->io;
  LOG_WARN << "worker " << id << " answer for a disk no longer open, I/O failed"
           << "|offset:" << io->offset << "|len:" << io->len;
  Fail(io, is_read);
}
