#include "tarn/rpc/rpc_client.h"

#include <google/protobuf/descriptor.h>
#include <google/protobuf/message.h>

#include <algorithm>
#include <atomic>
#include <cinttypes>
#include <cmath>
#include <cstdio>

#include "policy/rpc.pb.h"
#include "tarn/base/logging.h"
#include "tarn/base/time_cycle.h"
#include "tarn/client.h"
#include "tarn/connection.h"
#include "tarn/event/event_worker.h"
#include "tarn/event/tcp_client.h"
#include "tarn/loop.h"
#include "tarn/polling/polling_worker.h"
#include "tarn/polling/rdma_client.h"
#include "tarn/rpc/rpc_controller.h"
#include "tarn/worker.h"

namespace tarn {

namespace {

std::string ConnUuid(Connection* conn, uint64_t seq) {
  char tail[64];
  snprintf(tail, sizeof(tail), ":%u-", conn->my_qp_num());
  std::string out = conn->local_addr().ToString() + tail + conn->peer_addr().ToString();
  snprintf(tail, sizeof(tail), ":%u-%" PRIu64, conn->peer_qp_num(), seq);
  return out + tail;
}

// The RPC clients of this thread by id. An RDMA send completion names its
// client by id rather than by pointer: one that arrives after the client is
// gone finds nothing, and the callback (two integers) is stored by the
// transport without an allocation. Clients live on their loop thread, where
// their completions run.
thread_local std::unordered_map<uint64_t, RpcClient*> tl_clients;
std::atomic<uint64_t> g_next_client_id{1};

RpcClient* FindClient(uint64_t id) {
  auto it = tl_clients.find(id);
  return it == tl_clients.end() ? nullptr : it->second;
}

// The verbs attributes hold 5 bits of ACK timeout and 3 of retry count.
constexpr uint32_t kMaxAckTimeout = 31;
constexpr uint32_t kMaxRetryCnt = 7;

}  // namespace

uint32_t RpcClient::RdmaTimeoutFloorMs(const WorkerOption::RdmaOption& option) {
  const double exponent = std::min(option.timeout, kMaxAckTimeout);
  const double retries = std::min(option.retry_cnt, kMaxRetryCnt);
  const uint64_t floor = static_cast<uint64_t>(std::pow(2.0, exponent) * 4.096 * retries / 1000) + 500;
  return static_cast<uint32_t>(std::min<uint64_t>(floor, UINT32_MAX));
}

RpcClient::RpcClient(Transport transport, Worker* worker, const SockAddress& peer,
                     const std::string& name)
    : transport_(transport), worker_(worker), alive_(std::make_shared<bool>(true)) {
  worker_->loop()->AssertInLoopThread();
  switch (transport_) {
    case kTcp: {
      auto* event_worker = dynamic_cast<EventWorker*>(worker_);
      if (event_worker == nullptr) LOG_FATAL << "tcp rpc client needs an event worker";
      client_.reset(new TcpClient(event_worker, peer, name));
      break;
    }
    case kRdma: {
      auto* polling_worker = dynamic_cast<PollingWorker*>(worker_);
      if (polling_worker == nullptr) LOG_FATAL << "rdma rpc client needs a polling worker";
      client_.reset(new RdmaClient(polling_worker, peer, name));
      timeout_ms_ = std::max(timeout_ms_, RdmaTimeoutFloorMs(worker_->option().rdma_option));
      id_ = g_next_client_id.fetch_add(1, std::memory_order_relaxed);
      tl_clients[id_] = this;
      break;
    }
    default:
      LOG_FATAL << "transport is invalid, transport: " << transport_;
  }
  LOG_INFO << "rpc client timeout(ms): " << timeout_ms_ << ", transport: " << transport_
           << ", peer addr: " << peer.ToString();
  client_->set_connection_success_cb(
      [this](const std::shared_ptr<Connection>& c) { OnEstablished(c); });
  client_->set_connection_closed_cb([this](const std::shared_ptr<Connection>& c) { OnClosed(c); });
  client_->set_message_read_cb(
      [this](const std::shared_ptr<Connection>& c) { OnMessageRead(c); });
  Loop* loop = worker_->loop();
  sweep_timer_ = loop->RunEvery(kSweepMs / 1000.0, [this] { SweepTimeouts(); });
  idle_timer_ = loop->RunEvery(2.0, [this] { CheckIdle(); });
}

RpcClient::~RpcClient() {
  worker_->loop()->AssertInLoopThread();
  *alive_ = false;
  alive_.reset();
  if (id_ != 0) tl_clients.erase(id_);
  worker_->loop()->CancelTimer(sweep_timer_);
  worker_->loop()->CancelTimer(idle_timer_);
  WarnUnfinished();
  client_->DisConnect();
  client_.reset();
  pending_.Clear();
  inflight_.Clear();
}

void RpcClient::set_timeout_ms(uint32_t ms) {
  timeout_ms_ = transport_ == kRdma
                    ? std::max(ms, RdmaTimeoutFloorMs(worker_->option().rdma_option))
                    : ms;
  LOG_INFO << "set rpc client timeout(ms): " << timeout_ms_ << ", transport: " << transport_
           << ", peer addr: " << client_->peer_addr().ToString();
}

int RpcClient::Connect() {
  worker_->loop()->AssertInLoopThread();
  // A connection is not idle before it was ever used.
  last_activity_ = plinth::rdtsc();
  const int ret = client_->Connect();
  if (ret != 0) return ret;
  if (client_->conn()) depth_ = std::min(depth_, client_->conn()->max_depth());
  return 0;
}

void RpcClient::DisConnect() {
  worker_->loop()->AssertInLoopThread();
  std::weak_ptr<bool> alive = alive_;
  worker_->loop()->RunNextLoop([this, alive] {
    if (alive.expired()) return;
    WarnUnfinished();
    client_->DisConnect();
  });
}

const std::shared_ptr<Connection>& RpcClient::conn() {
  worker_->loop()->AssertInLoopThread();
  client_->TryConnect();
  return client_->conn();
}

const std::shared_ptr<Connection>& RpcClient::current_conn() const { return client_->conn(); }

uint32_t RpcClient::GetMaxSendDataSize() const {
  const auto& c = client_->conn();
  return c ? c->max_send_data_size() : 0;
}

uint32_t RpcClient::GetMaxSendDataSge() const {
  const auto& c = client_->conn();
  if (!c) return 0;
  // One entry carries the frame's main part, one the transport's header.
  return c->max_send_sge() > 2 ? c->max_send_sge() - 2 : 0;
}

void RpcClient::WarnUnfinished() const {
  if (!inflight_.empty()) LOG_WARN << "this rpc client has inflight rpc";
  if (!pending_.empty()) LOG_WARN << "this rpc client has pending rpc";
}

void RpcClient::CallMethod(const google::protobuf::MethodDescriptor* method,
                           google::protobuf::RpcController* controller,
                           const google::protobuf::Message* request,
                           google::protobuf::Message* response, google::protobuf::Closure* done) {
  worker_->loop()->AssertInLoopThread();
  auto* ctrl = dynamic_cast<RpcController*>(controller);
  if (ctrl == nullptr || done == nullptr) {
    LOG_FATAL << "rpc call needs a tarn::RpcController and a closure";
    return;
  }
  client_->TryConnect();
  last_activity_ = plinth::rdtsc();
  ctrl->Begin();
  ctrl->set_done(done);

  if (ctrl->request_attachment_bytes() > GetMaxSendDataSize()) {
    LOG_ERROR << "request attachment size too large, rpc uuid: " << ctrl->uuid()
              << ", request_attachment_size: " << ctrl->request_attachment_bytes()
              << ", max attachment size: " << GetMaxSendDataSize();
    ctrl->CallDone(true, kRpcAttachmentLimit, "request attachment size too large");
    return;
  }
  if (ctrl->request_attachments().size() > GetMaxSendDataSge()) {
    LOG_ERROR << "request attachment cnt too large, rpc uuid: " << ctrl->uuid()
              << ", request attachment cnt: " << ctrl->request_attachments().size()
              << ", max attachment cnt: " << GetMaxSendDataSge();
    ctrl->CallDone(true, kRpcAttachmentLimit, "request attachment cnt too large");
    return;
  }

  ctrl->set_method(method);
  ctrl->set_seq_no(++seq_);
  ctrl->set_request(request, false);
  ctrl->set_response(response, false);
  ctrl->set_timeout_ms(timeout_ms_);

  if (pending_.empty() && inflight_.size() < depth_) {
    Dispatch(ctrl);
    return;
  }
  LOG_TRACE << "pending rpc, inflight num: " << inflight_.size()
            << ", pending num: " << pending_.size() << ", rpc uuid: " << ctrl->uuid();
  // The caller may drop its request as soon as CallMethod returns; the queued
  // call sends the request as it was now.
  google::protobuf::Message* copy = request->New();
  copy->CopyFrom(*request);
  ctrl->set_request(copy, true);
  pending_.PushBack(ctrl);
}

void RpcClient::Dispatch(RpcController* ctrl) {
  LOG_TRACE << "send request, rpc uuid: " << ctrl->uuid();
  const std::shared_ptr<Connection>& conn = client_->conn();
  if (!conn) {
    // DisConnect dropped the connection while this call waited for a slot:
    // like a closed connection, it refuses the bytes. The next CallMethod
    // reconnects.
    LOG_ERROR << "send data error, rpc uuid: " << ctrl->uuid();
    ctrl->CallDone(true, kRpcSendError, "conn send data error");
    return;
  }
  const google::protobuf::MethodDescriptor* method = ctrl->method();
  const std::string& service = method->service()->name();
  const std::string& method_name = method->name();

  RpcHeader header;
  header.set_seq_no(ctrl->seq_no());
  header.set_method_index(static_cast<uint32_t>(method->index()));
  const size_t header_len = header.ByteSizeLong();
  const size_t body_len = ctrl->request()->ByteSizeLong();
  const uint64_t main = FrameMainSize(service.size(), method_name.size(), header_len, body_len);
  const uint64_t total = main + ctrl->request_attachment_bytes();
  if (service.size() > UINT16_MAX || method_name.size() > UINT16_MAX || body_len > UINT32_MAX ||
      total > UINT32_MAX || total > conn->max_send_size()) {
    LOG_ERROR << "request frame too large, rpc uuid: " << ctrl->uuid() << ", total size: " << total
              << ", max send size: " << conn->max_send_size();
    ctrl->CallDone(true, kRpcAttachmentLimit, "request frame too large");
    return;
  }

  const uint64_t buf_size =
      conn->transport() == kTcp ? TcpFrameBufferSize(main, total) : main;
  char* buf = static_cast<char*>(conn->worker()->Malloc(buf_size));
  if (buf == nullptr) {
    LOG_ERROR << "memory malloc failed";
    ctrl->CallDone(true, kRpcNoMemory, "memory malloc failed");
    return;
  }
  FrameHead head;
  head.total = static_cast<uint32_t>(total);
  head.service_len = static_cast<uint16_t>(service.size());
  head.method_len = static_cast<uint16_t>(method_name.size());
  head.header_len = static_cast<uint32_t>(header_len);
  head.body_len = static_cast<uint32_t>(body_len);
  WriteFrameMain(buf, head, service.data(), method_name.data(), header, *ctrl->request());

  switch (conn->transport()) {
    case kTcp:
      if (SendTcp(ctrl, buf, main, buf_size)) inflight_.Insert(ctrl, true);
      break;
    case kRdma:
      SendRdma(ctrl, buf, main);
      break;
    default:
      conn->worker()->Free(buf);
      LOG_FATAL << "impossible, transport is invalid, transport: " << conn->transport();
  }
}

bool RpcClient::SendTcp(RpcController* ctrl, char* buf, uint64_t main, uint64_t buf_size) {
  Connection* conn = client_->conn().get();
  // The connection copies the bytes: the frame buffer goes back at once.
  const int ret = SendTcpFrame(conn, buf, main, buf_size, ctrl->request_attachments());
  conn->worker()->Free(buf);
  if (ret != 0) {
    LOG_ERROR << "send data error, rpc uuid: " << ctrl->uuid();
    ctrl->CallDone(true, kRpcSendError, "conn send data error");
    return false;
  }
  return true;
}

void RpcClient::SendRdma(RpcController* ctrl, char* buf, uint64_t main) {
  // The transport reads the frame where it lies until the send completes:
  // the controller keeps it, and an expiring call whose send has not
  // completed closes the connection before the controller can go.
  ctrl->set_request_frame(buf);
  const uint64_t seq = ctrl->seq_no();
  inflight_.Insert(ctrl, false);
  const uint64_t id = id_;
  // Every outcome, an immediate refusal included, arrives through the
  // callback; the return value adds nothing.
  SendRdmaFrame(client_->conn().get(), buf, main, ctrl->request_attachments(),
                [id, seq](int code) {
                  if (RpcClient* client = FindClient(id)) client->OnRdmaSendDone(seq, code);
                });
}

void RpcClient::OnRdmaSendDone(uint64_t seq, int code) {
  RpcController* ctrl = inflight_.Find(seq);
  if (ctrl == nullptr) return;
  if (code == 0) {
    RpcInflightCalls::set_sent(ctrl);
    return;
  }
  inflight_.Remove(ctrl);
  LOG_ERROR << "SendRequestCb error, rpc uuid: " << ctrl->uuid() << ", retcode: " << code;
  if (code == -4) {
    ctrl->CallDone(true, kRpcConnectError, "conn connect error");
  } else {
    ctrl->CallDone(true, kRpcSendError, "conn send data error");
  }
}

void RpcClient::DispatchPending() {
  while (inflight_.size() < depth_ && !pending_.empty()) {
    RpcController* ctrl = pending_.front();
    pending_.Remove(ctrl);
    Dispatch(ctrl);
  }
}

void RpcClient::OnEstablished(const std::shared_ptr<Connection>& conn) {
  LOG_INFO << "connect a connection, conn_id: " << conn->id() << ", "
           << conn->peer_addr().ToString();
  depth_ = std::min(depth_, conn->max_depth());
  last_activity_ = plinth::rdtsc();
  LOG_INFO << "rpc depth will be setted " << depth_;
}

void RpcClient::OnClosed(const std::shared_ptr<Connection>& conn) {
  // Calls in flight stay in the table and end through the sweep.
  LOG_INFO << "close a connection, conn_id: " << conn->id() << ", "
           << conn->peer_addr().ToString();
}

void RpcClient::OnMessageRead(const std::shared_ptr<Connection>& conn) {
  LOG_TRACE << "receive message, conn_id: " << conn->id() << ", " << conn->peer_addr().ToString();
  last_activity_ = plinth::rdtsc();
  switch (transport_) {
    case kTcp:
      ReadTcpFrames(conn, this, true);
      break;
    case kRdma: {
      ReceivedFrame frame;
      if (ReadRdmaFrame(conn, &frame) == RdmaFrameResult::kFrame) OnFrame(conn, frame);
      break;
    }
    default:
      LOG_FATAL << "invalid transport: " << transport_;
  }
}

bool RpcClient::OnFrame(const std::shared_ptr<Connection>& conn, const ReceivedFrame& frame) {
  Worker* worker = conn->worker();
  RpcHeader header;
  if (!header.ParseFromArray(frame.header(), static_cast<int>(frame.header_len))) {
    LOG_ERROR << "protobuf ParseFromArray error, peer addr: " << conn->peer_addr().ToString();
    ReleaseFrame(worker, frame);
    conn->ForceClose();
    return false;
  }
  RpcController* ctrl = inflight_.Find(header.seq_no());
  if (ctrl == nullptr) {
    LOG_ERROR << "can not find this rpc request, maybe timeout, rpc uuid: "
              << ConnUuid(conn.get(), header.seq_no());
    ReleaseFrame(worker, frame);
    return true;
  }
  inflight_.Remove(ctrl);
  if (frame.message != nullptr) {
    // In place: the attachment lies in the received message, which the
    // controller keeps until it goes.
    ctrl->set_second_frame(frame.message);
    if (frame.attachment != nullptr) {
      AttachmentEntry entry;
      entry.data = frame.attachment;
      entry.len = frame.attachment_len;
      if (worker->GetMrKey(entry.data, &entry.lkey, &entry.rkey) != 0) {
        LOG_FATAL << "GetMrKey failed, this ptr does belong to this worker, "
                  << "ptr: " << entry.data;
      }
      entry.has_keys = true;
      ctrl->AppendResponseAttachment(entry);
    }
  } else if (frame.attachment != nullptr) {
    ctrl->AppendResponseAttachment(frame.attachment, frame.attachment_len, true);
  }
  const bool parsed = ctrl->response()->ParseFromArray(frame.body(), static_cast<int>(frame.body_len));
  // Over TCP the message is parsed out of the main buffer: nothing needs it
  // any more.
  if (frame.message == nullptr) worker->Free(frame.main);
  if (!parsed) {
    LOG_ERROR << "protobuf ParseFromArray error, rpc uuid: " << ctrl->uuid();
    ctrl->CallDone(true, kRpcResponseParseError, "response ParseFromArray error");
  } else {
    LOG_TRACE << "receive response, rpc uuid: " << ctrl->uuid();
    std::weak_ptr<bool> alive = alive_;
    ctrl->CallDone(false, kRpcOk, "");
    if (alive.expired()) return false;  // the closure deleted this client
  }
  DispatchPending();
  return true;
}

// Takes one sweep off the call's budget; true when it has run out, after the
// call has been failed with "rpc timeout".
static bool SweepOne(RpcController* ctrl, uint32_t sweep_ms) {
  if (ctrl->timeout_ms() >= sweep_ms) {
    ctrl->set_timeout_ms(ctrl->timeout_ms() - sweep_ms);
    return false;
  }
  LOG_ERROR << "rpc timeout, rpc uuid: " << ctrl->uuid();
  return true;
}

void RpcClient::SweepTimeouts() {
  // Expired calls leave the table first and are completed after the walk:
  // closing a connection below fails other calls from inside it. A call
  // taken out here is this sweep's to complete, whatever its send reports.
  RpcCallList expired;
  for (RpcController* ctrl = inflight_.front(); ctrl != nullptr;) {
    RpcController* next = RpcInflightCalls::next(ctrl);
    if (SweepOne(ctrl, kSweepMs)) {
      inflight_.Remove(ctrl);
      expired.PushBack(ctrl);
    }
    ctrl = next;
  }
  while (!expired.empty()) {
    RpcController* ctrl = expired.front();
    expired.Remove(ctrl);
    if (!RpcInflightCalls::sent(ctrl)) CloseForUnsentRequest(ctrl);
    ctrl->CallDone(true, kRpcTimeout, "rpc timeout");
  }
  for (RpcController* ctrl = pending_.front(); ctrl != nullptr;) {
    RpcController* next = RpcCallList::next(ctrl);
    if (SweepOne(ctrl, kSweepMs)) {
      pending_.Remove(ctrl);
      ctrl->CallDone(true, kRpcTimeout, "rpc timeout");
    }
    ctrl = next;
  }
  DispatchPending();
}

void RpcClient::CloseForUnsentRequest(RpcController* ctrl) {
  const std::shared_ptr<Connection> conn = client_->conn();
  if (!conn || conn->IsClosed()) return;
  LOG_WARN << "rpc timeout before its request was sent, close the connection, rpc uuid: "
           << ctrl->uuid() << ", conn_id: " << conn->id();
  // On the loop thread the close is immediate: held sends fail, posted
  // ones are flushed without being read again.
  conn->ForceClose();
}

void RpcClient::CheckIdle() {
  if (!inflight_.empty() || !pending_.empty()) return;
  if (idle_limit_s_ == kNeverIdle) return;
  // A reading behind the last activity (another core's TSC) is no idle time.
  const uint64_t now = plinth::rdtsc();
  if (now <= last_activity_) return;
  const uint64_t idle_s = (now - last_activity_) / plinth::TimeCycle::tsc_rate_;
  if (idle_s > idle_limit_s_) client_->DisConnect();
}

}  // namespace tarn
