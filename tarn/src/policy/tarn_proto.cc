#include "tarn/policy/tarn_proto.h"

#include <google/protobuf/descriptor.h>
#include <google/protobuf/message.h>
#include <google/protobuf/service.h>
#include <google/protobuf/stubs/callback.h>

#include <string_view>

#include "policy/rpc.pb.h"
#include "rpc/server_calls.h"
#include "tarn/base/logging.h"
#include "tarn/connection.h"
#include "tarn/loop.h"
#include "tarn/rpc/rpc_controller.h"
#include "tarn/rpc/rpc_server.h"
#include "tarn/worker.h"

namespace tarn {

int TarnProto::ParseTcp(const std::shared_ptr<Connection>& conn) {
  // Before the first request is served: answers a client does not read
  // hold back its requests from then on.
  conn->SetOutputHold(server_->output_hold());
  switch (ReadTcpFrames(conn, this, false)) {
    case FrameReadResult::kDone:
      return kParseDone;
    case FrameReadResult::kNotFrame:
      return kNotThisProto;
    case FrameReadResult::kNeedMore:
      return kNeedMore;
    case FrameReadResult::kClosed:
      break;
  }
  return kFatal;
}

int TarnProto::ParseRdma(const std::shared_ptr<Connection>& conn) {
  ReceivedFrame frame;
  switch (ReadRdmaFrame(conn, &frame)) {
    case RdmaFrameResult::kFrame:
      Process(conn, frame.message, frame.service_len, frame.method_len, frame.header_len,
              frame.body_len, frame.attachment, frame.attachment_len, kRdma);
      return kParseDone;
    case RdmaFrameResult::kNone:
      return kParseDone;
    case RdmaFrameResult::kNotFrame:
      return kNotThisProto;
    case RdmaFrameResult::kLengthError:
      return kNeedMore;
    case RdmaFrameResult::kInvalid:
      break;
  }
  return kFatal;
}

bool TarnProto::OnFrame(const std::shared_ptr<Connection>& conn, const ReceivedFrame& frame) {
  Process(conn, frame.main, frame.service_len, frame.method_len, frame.header_len,
          frame.body_len, frame.attachment, frame.attachment_len, kTcp);
  return true;
}

void TarnProto::Process(const std::shared_ptr<Connection>& conn, void* buf, uint16_t service_len,
                        uint16_t method_len, uint32_t header_len, uint32_t body_len,
                        void* attachment, uint32_t attachment_len, Transport transport) {
  Worker* worker = conn->worker();
  if (!server_->admitting()) {
    // The server stops and takes no new call. This wire has no status to
    // refuse it with (an answer would read as a success): the request is
    // not served, and the connection closes when the stop's wait ends.
    LOG_DEBUG << "server stops, request not taken, conn_id: " << conn->id()
              << ", peer addr: " << conn->peer_addr().ToString();
    worker->Free(buf);
    if (attachment != nullptr && transport == kTcp) worker->Free(attachment);
    return;
  }
  RpcController* ctrl = server_->NewRpcController(conn);
  if (ctrl == nullptr) {
    LOG_ERROR << "new RpcController error, obj pool maybe empty";
    worker->Free(buf);
    if (attachment != nullptr && transport == kTcp) worker->Free(attachment);
    return;
  }
  ctrl->Begin();
  ctrl->set_request_frame(buf);
  ctrl->set_rpc_server(server_);
  ctrl->set_tarn_hold(true);

  const char* main = static_cast<const char*>(buf);
  switch (transport) {
    case kTcp:
      if (attachment != nullptr) ctrl->AppendRequestAttachment(attachment, attachment_len, true);
      break;
    case kRdma:
      // The whole message is the request frame; the attachment lies in it.
      main += kFrameHeadSize;
      if (attachment != nullptr) {
        AttachmentEntry entry;
        entry.data = attachment;
        entry.len = attachment_len;
        if (worker->GetMrKey(attachment, &entry.lkey, &entry.rkey) != 0) {
          LOG_FATAL << "GetMrKey failed, this ptr does belong to this worker, "
                    << "ptr: " << attachment;
        }
        entry.has_keys = true;
        ctrl->AppendRequestAttachment(entry);
      }
      break;
    default:
      LOG_FATAL << "impossible, invalid transport: " << transport;
      return;
  }

  const std::string_view service_name(main, service_len);
  const std::string_view method_name(main + service_len, method_len);
  const char* header_bytes = main + service_len + method_len;
  const char* body = header_bytes + header_len;

  RpcHeader header;
  google::protobuf::Service* service = nullptr;
  const google::protobuf::MethodDescriptor* method = nullptr;
  google::protobuf::Message* request = nullptr;
  bool ok = false;
  if (!header.ParseFromArray(header_bytes, static_cast<int>(header_len))) {
    LOG_ERROR << "protobuf ParseFromArray error, peer addr: " << conn->peer_addr().ToString();
  } else if ((service = server_->FindService(service_name)) == nullptr) {
    LOG_ERROR << "can not find this service: "
              << PrintableBytes(service_name.data(), service_name.size())
              << ", peer addr: " << conn->peer_addr().ToString();
  } else {
    const google::protobuf::ServiceDescriptor* desc = service->GetDescriptor();
    if (header.has_method_index() &&
        header.method_index() < static_cast<uint32_t>(desc->method_count()) &&
        desc->method(static_cast<int>(header.method_index()))->name() == method_name) {
      method = desc->method(static_cast<int>(header.method_index()));
    } else {
      method = desc->FindMethodByName(std::string(method_name));
    }
    if (method == nullptr) {
      LOG_ERROR << "can not find this method: "
                << PrintableBytes(method_name.data(), method_name.size())
                << ", peer addr: " << conn->peer_addr().ToString();
    } else {
      request = service->GetRequestPrototype(method).New();
      ctrl->set_request(request, true);
      ctrl->set_response(service->GetResponsePrototype(method).New(), true);
      ok = request->ParseFromArray(body, static_cast<int>(body_len));
      if (!ok) {
        LOG_ERROR << "protobuf ParseFromArray error, peer addr: " << conn->peer_addr().ToString();
      }
    }
  }
  if (!ok) {
    ctrl->set_tarn_hold(false);
    conn->ForceClose();
    return;
  }

  ctrl->set_seq_no(header.seq_no());
  ctrl->set_method(method);
  // Bound to the protocol's address, not to the protocol: a call cut off
  // from its server ends without it.
  google::protobuf::Closure* done = google::protobuf::NewCallback(&TarnProto::Finish, this, ctrl);
  ctrl->set_done(done);
  LOG_TRACE << "receive request, rpc uuid: " << ctrl->uuid();
  // The service may answer inside this call: ctrl is not touched afterwards.
  service->CallMethod(method, ctrl, request, ctrl->response(), done);
}

void TarnProto::Response(RpcController* ctrl) { Finish(this, ctrl); }

void TarnProto::Finish(TarnProto* proto, RpcController* ctrl) {
  ServerCalls* calls = ctrl->server_calls();
  const bool posted = calls->Post(ctrl, [proto, ctrl] {
    if (ctrl->server_calls()->CutOff(ctrl)) {
      ctrl->set_tarn_hold(false);
    } else {
      proto->SendResponse(ctrl);
    }
  });
  if (!posted) calls->End(ctrl, true, false);
}

void TarnProto::SendResponse(RpcController* ctrl) {
  LOG_TRACE << "send response, rpc uuid: " << ctrl->uuid();
  const std::shared_ptr<Connection>& conn = ctrl->conn();
  if (ctrl->response_attachment_bytes() > ctrl->GetMaxAttachmentSize()) {
    LOG_ERROR << "response attachment size too large, rpc uuid: " << ctrl->uuid()
              << ", response attachment size: " << ctrl->response_attachment_bytes()
              << ", max attachment size: " << ctrl->GetMaxAttachmentSize();
    ctrl->set_tarn_hold(false);
    return;
  }
  if (ctrl->response_attachments().size() > ctrl->GetMaxAttachmentCnt()) {
    LOG_ERROR << "response attachment cnt too large, rpc uuid: " << ctrl->uuid()
              << ", response attachment cnt: " << ctrl->response_attachments().size()
              << ", max attachment cnt: " << ctrl->GetMaxAttachmentCnt();
    ctrl->set_tarn_hold(false);
    return;
  }

  RpcHeader header;
  header.set_seq_no(ctrl->seq_no());
  const size_t header_len = header.ByteSizeLong();
  const size_t body_len = ctrl->response()->ByteSizeLong();
  const uint64_t main = FrameMainSize(0, 0, header_len, body_len);
  const uint64_t total = main + ctrl->response_attachment_bytes();
  if (body_len > UINT32_MAX || total > UINT32_MAX || total > conn->max_send_size()) {
    LOG_ERROR << "response frame too large, rpc uuid: " << ctrl->uuid()
              << ", total size: " << total << ", max send size: " << conn->max_send_size();
    ctrl->set_tarn_hold(false);
    return;
  }
  const uint64_t buf_size = conn->transport() == kTcp ? TcpFrameBufferSize(main, total) : main;
  char* buf = static_cast<char*>(ctrl->Malloc(static_cast<uint32_t>(buf_size)));
  if (buf == nullptr) {
    LOG_ERROR << "memory malloc failed";
    ctrl->set_tarn_hold(false);
    return;
  }
  ctrl->set_second_frame(buf);
  FrameHead head;
  head.total = static_cast<uint32_t>(total);
  head.header_len = static_cast<uint32_t>(header_len);
  head.body_len = static_cast<uint32_t>(body_len);
  WriteFrameMain(buf, head, "", "", header, *ctrl->response());

  if (g_enable_metrics) {
    ctrl->End();
    server_->ReportRpcLatency(ctrl->method(), ctrl->LatencyUs());
  }

  switch (conn->transport()) {
    case kTcp: {
      const int ret =
          SendTcpFrame(conn.get(), buf, main, buf_size, ctrl->response_attachments());
      if (ret != 0) LOG_ERROR << "send data error, rpc uuid: " << ctrl->uuid();
      // The output hold stops reading a client that does not read its
      // answers; only answers of calls already in service can still pile
      // up, and past the largest message the client is dropped.
      if (ret == kSendBacklogFull) conn->ForceClose();
      ctrl->set_tarn_hold(false);
      break;
    }
    case kRdma: {
      // The frame and the attachments stay with the controller until the
      // send completes; the completion releases the hold (perhaps at once,
      // taking the controller's reference to the connection with it).
      const std::shared_ptr<Connection> keep = conn;
      SendRdmaFrame(keep.get(), buf, main, ctrl->response_attachments(),
                    [ctrl](int code) { ResponseSent(code, ctrl); });
      break;
    }
    default:
      LOG_FATAL << "impossible, transport is invalid, transport: " << conn->transport();
  }
}

void TarnProto::SendResponseCb(int code, RpcController* ctrl) { ResponseSent(code, ctrl); }

void TarnProto::ResponseSent(int code, RpcController* ctrl) {
  if (code != 0) {
    LOG_ERROR << "SendResponseCb error, rpc uuid: " << ctrl->uuid() << ", retcode: " << code;
  }
  ctrl->set_tarn_hold(false);
}

}  // namespace tarn
