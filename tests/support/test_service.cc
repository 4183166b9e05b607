#include "support/test_service.h"

#include <cstring>

#include "tarn/connection.h"

namespace testsupport {

void TestBlockServer::Write(google::protobuf::RpcController* base,
                            const vovorav::BlockServerWriteRequest* req,
                            vovorav::BlockServerWriteResponse* resp,
                            google::protobuf::Closure* done) {
  auto* ctrl = static_cast<tarn::RpcController*>(base);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    lbas_.push_back(req->lba());
    last_uuid_ = ctrl->uuid();
    last_conn_ = ctrl->conn();
    if (req->lba() == kHoldLba) {
      held_.push_back(done);
      return;
    }
    if (req->lba() == kUserHoldLba) {
      ctrl->set_user_hold(true);
      user_held_.push_back(ctrl);
    }
  }
  writes_.fetch_add(1);
  const uint64_t n = ctrl->request_attachment_bytes();
  if (n > 0) {
    char* p = static_cast<char*>(ctrl->Malloc(static_cast<uint32_t>(n)));
    uint64_t off = 0;
    for (const tarn::AttachmentEntry& a : ctrl->request_attachments()) {
      memcpy(p + off, a.data, a.len);
      off += a.len;
    }
    ctrl->AppendResponseAttachment(p, static_cast<uint32_t>(n), true);
  }
  resp->mutable_rc()->set_retcode(0);
  resp->set_offset_in_extent(req->lba());
  resp->set_segment_id(n);
  done->Run();
}

void TestBlockServer::Read(google::protobuf::RpcController* base,
                           const vovorav::BlockServerReadRequest* req,
                           vovorav::BlockServerReadResponse* resp,
                           google::protobuf::Closure* done) {
  auto* ctrl = static_cast<tarn::RpcController*>(base);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    last_conn_ = ctrl->conn();
  }
  if (const uint32_t limit = read_conn_send_limit_.load()) ctrl->conn()->set_max_send_size(limit);
  const uint32_t n = static_cast<uint32_t>(req->size());
  if (n > 0) {
    char* p = static_cast<char*>(ctrl->Malloc(n));
    for (uint32_t i = 0; i < n; ++i) p[i] = static_cast<char>(i % 251);
    ctrl->AppendResponseAttachment(p, n, true);
  }
  resp->mutable_rc()->set_retcode(0);
  resp->set_size(n);
  done->Run();
}

size_t TestBlockServer::Release() {
  std::vector<google::protobuf::Closure*> held;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    held.swap(held_);
  }
  for (auto* done : held) done->Run();
  return held.size();
}

size_t TestBlockServer::ReleaseOne() {
  google::protobuf::Closure* done = nullptr;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (held_.empty()) return 0;
    done = held_.front();
    held_.erase(held_.begin());
  }
  done->Run();
  return 1;
}

size_t TestBlockServer::ReleaseUserHolds() {
  std::vector<tarn::RpcController*> held;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    held.swap(user_held_);
  }
  for (auto* ctrl : held) ctrl->set_user_hold(false);
  return held.size();
}

std::string TestBlockServer::last_uuid() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return last_uuid_;
}

std::shared_ptr<tarn::Connection> TestBlockServer::last_conn() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return last_conn_.lock();
}

size_t TestBlockServer::held() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return held_.size();
}

std::vector<uint64_t> TestBlockServer::lbas() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return lbas_;
}

}  // namespace testsupport
