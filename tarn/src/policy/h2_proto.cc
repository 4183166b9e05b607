#include "tarn/policy/h2_proto.h"

#include <google/protobuf/descriptor.h>
#include <google/protobuf/io/coded_stream.h>
#include <google/protobuf/io/zero_copy_stream.h>
#include <google/protobuf/message.h>
#include <google/protobuf/service.h>

#include <cstring>
#include <string>

#include "brpc/policy/gzip_compress.h"
#include "json2pb/json_to_pb.h"
#include "json2pb/pb_to_json.h"
#include "policy/h2_context.h"
#include "rpc/server_calls.h"
#include "tarn/base/log_limit.h"
#include "tarn/base/logging.h"
#include "tarn/connection.h"
#include "tarn/loop.h"
#include "tarn/policy/h2_grpc.h"
#include "tarn/rpc/frame.h"
#include "tarn/rpc/rpc_controller.h"
#include "tarn/rpc/rpc_server.h"
#include "tarn/types.h"
#include "tarn/worker.h"

namespace tarn {

namespace {

// Request bodies above this are not kept by a recycled stream.
constexpr size_t kMaxKeptBody = 64 * 1024;

// Responses of at least this many bytes are serialised through a small
// block appended to the body (SerialiseAppending).
constexpr size_t kAppendedResponseBytes = 64 * 1024;
constexpr int kAppendBlockBytes = 16 * 1024;

std::string Printable(std::string_view v) { return PrintableBytes(v.data(), v.size()); }

// Hands the serialiser one block on the caller's stack, and appends each
// block to a string once the serialiser has filled it.
class AppendingStream final : public google::protobuf::io::ZeroCopyOutputStream {
 public:
  AppendingStream(std::string* out, char* block, int block_size)
      : out_(out), block_(block), block_size_(block_size), base_(out->size()) {}

  bool Next(void** data, int* size) override {
    Commit();
    *data = block_;
    *size = block_size_;
    filled_ = block_size_;
    return true;
  }
  void BackUp(int count) override { filled_ -= count; }
  int64_t ByteCount() const override {
    return static_cast<int64_t>(out_->size() - base_) + filled_;
  }
  // Appends what the last block holds.
  void Commit() {
    out_->append(block_, static_cast<size_t>(filled_));
    filled_ = 0;
  }

 private:
  std::string* out_;
  char* block_;
  int block_size_;
  size_t base_;
  int filled_ = 0;
};

// Appends the serialised message (of size bytes, sizes cached) to *out.
// A string can only grow by writing its new bytes, so sizing the body
// first and serialising into it would write a large answer twice (zeros,
// then the message); a block that stays in the cache costs less. The block
// is on the stack: one allocated and freed for every answer let the
// allocator hand the answers' pages back and fault them in again each call.
void SerialiseAppending(const google::protobuf::Message& message, size_t size, std::string* out) {
  out->reserve(out->size() + size);
  char block[kAppendBlockBytes];
  AppendingStream stream(out, block, kAppendBlockBytes);
  {
    google::protobuf::io::CodedOutputStream coded(&stream);
    message.SerializeWithCachedSizes(&coded);
  }
  stream.Commit();
}

// Why a request cannot be served: the gRPC status and text of the answer.
struct Refusal {
  int status = GRPC_OK;
  std::string message;
  bool refused() const { return status != GRPC_OK; }
};

bool ValidLogId(const std::string& text) {
  if (text.empty() || text.size() > 20) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return text.size() < 20 || text <= "18446744073709551615";
}

// Parses the request body of stream s into request.
Refusal ParseRequestBody(H2Context* ctx, H2StreamContext* s, google::protobuf::Message* request,
                         size_t max_message) {
  Refusal r;
  std::string& body = s->body();
  if (body.empty()) {
    if (!request->IsInitialized()) {
      LOG_ERROR_LIMITED << "Empty body for a request with required fields, peer addr: "
                << ctx->connection()->peer_addr().ToString();
      r.status = GRPC_INVALIDARGUMENT;
      r.message = "empty request body";
    }
    return r;
  }
  bool is_grpc = false;
  const H2ContentType type = ParseContentType(s->header().content_type(), &is_grpc);
  const char* data = body.data();
  size_t len = body.size();
  // Lives for this request only: an inflated body is released as soon as
  // it has been parsed.
  std::string inflated;
  if (is_grpc) {
    if (len < kGrpcPrefixSize || len - kGrpcPrefixSize != ReadGrpcLength(data) ||
        static_cast<unsigned char>(data[0]) > 1) {
      LOG_ERROR_LIMITED << "Fail to remove grpc prefix";
      r.status = GRPC_INVALIDARGUMENT;
      r.message = "bad grpc message prefix";
      return r;
    }
    const bool compressed = data[0] == 1;
    data += kGrpcPrefixSize;
    len -= kGrpcPrefixSize;
    if (compressed) {
      const std::string* encoding = s->header().Find(common->GRPC_ENCODING);
      if (encoding == nullptr) {
        LOG_ERROR_LIMITED << "Fail to get grpc compressed type";
        r.status = GRPC_INVALIDARGUMENT;
        r.message = "compressed message without grpc-encoding";
        return r;
      }
      if (*encoding == common->GZIP) {
        if (!brpc::policy::GzipDecompress(data, len, max_message, &inflated)) {
          LOG_ERROR_LIMITED << "Fail to decopress gzip";
          r.status = GRPC_INVALIDARGUMENT;
          r.message = "bad gzip message";
          return r;
        }
        data = inflated.data();
        len = inflated.size();
      } else if (*encoding != common->IDENTITY) {
        LOG_ERROR_LIMITED << "Unknown grpc-encoding=" << Printable(*encoding);
        r.status = GRPC_UNIMPLEMENTED;
        r.message = "grpc-encoding " + Printable(*encoding) + " is not supported";
        return r;
      }
    }
  }
  bool ok;
  if (type == H2_CONTENT_PROTO) {
    ok = len <= static_cast<size_t>(INT32_MAX) &&
         request->ParseFromArray(data, static_cast<int>(len));
    if (!ok) LOG_ERROR_LIMITED << "Fail to parse http body as proto";
  } else {
    std::string error;
    ok = json2pb::JsonToProtoMessage(std::string_view(data, len), request, &error);
    if (!ok) LOG_ERROR_LIMITED << "Fail to parse http body as json: " << Printable(error);
  }
  if (!ok) {
    r.status = GRPC_INVALIDARGUMENT;
    r.message = "bad request body";
  }
  return r;
}

// Serialises the response of a successful call into *body: protobuf bytes
// or JSON by the content type, behind the gRPC prefix for gRPC. False when
// the response cannot be written (logged).
bool TransIntoIOBuf(std::string* body, const RpcController& ctrl, H2ContentType type,
                    bool is_grpc) {
  const google::protobuf::Message* response = ctrl.response();
  if (response == nullptr) return true;
  const std::shared_ptr<Connection>& conn = ctrl.conn();
  const size_t prefix = is_grpc ? kGrpcPrefixSize : 0;
  if (!response->IsInitialized()) {
    LOG_ERROR_LIMITED << "Faile to SerializeToZeroCopyStream Response to "
              << conn->peer_addr().ToString() << ", response is not initialized";
    return false;
  }
  if (type == H2_CONTENT_PROTO) {
    const size_t size = response->ByteSizeLong();
    if (size > conn->max_send_size()) {
      LOG_ERROR_LIMITED << "Faile to SerializeToZeroCopyStream Response to "
                << conn->peer_addr().ToString() << ", size: " << size;
      return false;
    }
    if (size >= kAppendedResponseBytes) {
      body->assign(prefix, '\0');
      SerialiseAppending(*response, size, body);
    } else {
      body->resize(prefix + size);
      response->SerializeWithCachedSizesToArray(reinterpret_cast<uint8_t*>(&(*body)[prefix]));
    }
    if (body->size() != prefix + size) {
      LOG_ERROR_LIMITED << "Faile to SerializeToZeroCopyStream Response to "
                        << conn->peer_addr().ToString() << ", size: " << size
                        << ", written: " << body->size() - prefix;
      return false;
    }
  } else {
    std::string json;
    std::string error;
    if (!json2pb::ProtoMessageToJson(*response, &json, &error) ||
        json.size() > conn->max_send_size()) {
      LOG_ERROR_LIMITED << "Fail to convert response to json";
      return false;
    }
    body->assign(prefix, '\0');
    body->append(json);
  }
  if (is_grpc) WriteGrpcPrefix(&(*body)[0], false, static_cast<uint32_t>(body->size() - prefix));
  return true;
}

}  // namespace

int H2Proto::ParseTcp(const std::shared_ptr<Connection>& conn) {
  if (conn->transport() != kTcp) return kNotThisProto;
  H2Context* ctx = conn->h2_context();
  if (ctx == nullptr) {
    // Only a connection that starts with the preface is ours; refuse
    // anything else as soon as its first bytes differ.
    const size_t readable = conn->ReadableLength();
    if (readable == 0) return kNeedMore;
    char head[kH2ConnectionPrefaceSize];
    const size_t n = readable < sizeof(head) ? readable : sizeof(head);
    if (conn->ReceiveData(head, n) < 0 || memcmp(head, kH2ConnectionPreface, n) != 0) {
      return kNotThisProto;
    }
    if (n < kH2ConnectionPrefaceSize) return kNeedMore;
    ctx = new H2Context(conn.get(), this);
    if (ctx->Init() != 0) {
      delete ctx;
      LOG_ERROR << "Fail to init H2Context";
      return kFatal;
    }
    conn->set_h2_context(H2ContextPtr(ctx, &DeleteH2Context));
    // Answers waiting for room in the output go on once it has drained.
    conn->set_message_write_cb([](const std::shared_ptr<Connection>& c) {
      if (H2Context* h2 = c->h2_context()) h2->OnOutputDrained();
    });
  }
  if (ctx->failed()) return kBadState;
  for (;;) {
    // Reading stopped for the calls of reset streams: the rest of the
    // input waits until one of them ends.
    if (ctx->input_paused()) return kNeedMore;
    H2StreamContext* completed = nullptr;
    const int r = ctx->Consume(&completed);
    if (r != H2Context::kFrameConsumed) return r;
    // The frame may have let held answers go: the calls parked for the
    // bound come first, then this request's (or it is parked behind them).
    ctx->ServeParkedRequests();
    if (completed != nullptr && !conn->IsClosed() && !ctx->ParkRequest(completed)) {
      ProcessHttpRequest(conn, completed);
    }
    if (conn->IsClosed()) return kFatal;
  }
}

int H2Proto::ParseRdma(const std::shared_ptr<Connection>&) { return kNotThisProto; }

void H2Proto::ProcessHttpRequest(const std::shared_ptr<Connection>& conn, H2StreamContext* s) {
  H2Context* ctx = s->conn_ctx();
  if (!server_->admitting()) {
    // The server stops: not processed, so the client may send it again
    // elsewhere.
    ctx->GoAwayForStop();
    ctx->RefuseStream(s);
    return;
  }
  const brpc::HttpHeader& header = s->header();
  RpcController* ctrl = server_->NewRpcController(conn);
  if (ctrl == nullptr) {
    LOG_ERROR_LIMITED << "new RpcController error, obj pool maybe empty";
    ctx->SendTrailersOnly(s, header.content_type(), GRPC_INTERNAL, "server is busy");
    return;
  }
  ctrl->Begin();
  ctrl->set_rpc_server(server_);
  ctrl->set_tarn_hold(true);

  const std::string* log_id = header.Find(common->LOG_ID);
  if (log_id != nullptr && !ValidLogId(*log_id)) {
    LOG_ERROR_LIMITED << "Invalid " << common->LOG_ID << "=" << Printable(*log_id) << " in http request";
  }

  Refusal refusal;
  std::string_view service_name;
  std::string_view method_name;
  google::protobuf::Service* service = nullptr;
  const google::protobuf::MethodDescriptor* method = nullptr;
  google::protobuf::Message* request = nullptr;
  if (!FindMethodPropertyByURI(header.path(), &service_name, &method_name)) {
    LOG_ERROR_LIMITED << "Fail to find method by path=" << Printable(header.path())
              << ", peer addr: " << conn->peer_addr().ToString();
    refusal.status = GRPC_UNIMPLEMENTED;
    refusal.message = "no method at path " + Printable(header.path());
  } else if ((service = server_->FindService(service_name)) == nullptr) {
    LOG_ERROR_LIMITED << "can not find this service: " << Printable(service_name)
              << ", peer addr: " << conn->peer_addr().ToString();
    refusal.status = GRPC_UNIMPLEMENTED;
    refusal.message = "unknown service " + Printable(service_name);
  } else if ((method = service->GetDescriptor()->FindMethodByName(std::string(method_name))) ==
             nullptr) {
    LOG_ERROR_LIMITED << "can not find this method: " << Printable(method_name)
              << ", peer addr: " << conn->peer_addr().ToString();
    refusal.status = GRPC_UNIMPLEMENTED;
    refusal.message = "unknown method " + Printable(method_name);
  } else {
    request = service->GetRequestPrototype(method).New();
    ctrl->set_request(request, true);
    ctrl->set_response(service->GetResponsePrototype(method).New(), true);
    refusal = ParseRequestBody(ctx, s, request, conn->max_send_size());
  }
  std::string& body = s->body();
  body.clear();
  if (body.capacity() > kMaxKeptBody) std::string().swap(body);
  if (refusal.refused()) {
    ctx->SendTrailersOnly(s, header.content_type(), refusal.status, refusal.message);
    ctrl->set_tarn_hold(false);
    return;
  }
  ctrl->set_method(method);
  ctrl->set_done(s->done());
  s->set_controller(ctrl);
  LOG_TRACE << "receive request, rpc uuid: " << ctrl->uuid();
  // The service may answer inside this call: s and ctrl are not touched
  // afterwards.
  service->CallMethod(method, ctrl, request, ctrl->response(), s->done());
}

void H2Proto::Response(H2StreamContext* s) { Finish(this, s); }

void H2Proto::Finish(H2Proto* proto, H2StreamContext* s) {
  RpcController* ctrl = s->controller();
  ServerCalls* calls = ctrl->server_calls();
  const bool posted = calls->Post(ctrl, [proto, s] {
    RpcController* c = s->controller();
    if (c->server_calls()->CutOff(c)) {
      // The connection's loop: its HTTP/2 state is ours to mend.
      s->conn_ctx()->DropStream(s);
      c->set_tarn_hold(false);
    } else {
      proto->SendResponse(s);
    }
  });
  // Off the loop, which may have gone: the stream stays with its context
  // (the connection, closed by now, frees it) and the call ends alone.
  if (!posted) calls->End(ctrl, true, false);
}

void H2Proto::SendResponse(H2StreamContext* s) {
  RpcController* ctrl = s->controller();
  H2Context* ctx = s->conn_ctx();
  const std::shared_ptr<Connection>& conn = ctrl->conn();
  LOG_TRACE << "send response, rpc uuid: " << ctrl->uuid();
  if (s->reset() || ctx->failed() || conn->IsClosed()) {
    ctx->DropStream(s);
    ctrl->set_tarn_hold(false);
    return;
  }
  const std::string& content_type = s->header().content_type();
  bool is_grpc = false;
  const H2ContentType type = ParseContentType(content_type, &is_grpc);
  std::string body;
  ctx->TakeAnswerBuffer(&body);
  int status = GRPC_OK;
  std::string message;
  if (ctrl->Failed()) {
    // A failed call never reads as a success, whatever its error code.
    status = ErrorCodeToGrpcStatus(ctrl->error_code());
    if (status == GRPC_OK) status = GRPC_INTERNAL;
    message = ctrl->ErrorText();
  } else if (!TransIntoIOBuf(&body, *ctrl, type, is_grpc)) {
    ctx->SendTrailersOnly(s, content_type, GRPC_INTERNAL, "cannot serialize the response");
    ctrl->set_tarn_hold(false);
    return;
  }
  if (g_enable_metrics) {
    ctrl->End();
    server_->ReportRpcLatency(ctrl->method(), ctrl->LatencyUs());
  }
  ctx->SendResponse(s, content_type, &body, status, message);
  ctx->GiveAnswerBuffer(&body);
  ctrl->set_tarn_hold(false);
}

}  // namespace tarn
