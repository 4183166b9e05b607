// The block-server service as a test double for RPC tests and benchmarks.
//
// Write echoes every request attachment back as one response attachment and
// answers with the lba in offset_in_extent and the attachment bytes in
// segment_id; a write to kHoldLba stays unanswered until Release(), and a
// write to kUserHoldLba keeps its controller (user hold) until
// ReleaseUserHolds(). Read answers with `size` bytes of attachment
// (byte i = i % 251).
#ifndef TESTS_SUPPORT_TEST_SERVICE_H_
#define TESTS_SUPPORT_TEST_SERVICE_H_

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "tarn/rpc/rpc_controller.h"
#include "vovorav.pb.h"

namespace testsupport {

class TestBlockServer : public vovorav::BlockServerService {
 public:
  static constexpr uint64_t kHoldLba = 0xdead;
  static constexpr uint64_t kUserHoldLba = 0xbeef;

  void Write(google::protobuf::RpcController* base, const vovorav::BlockServerWriteRequest* req,
             vovorav::BlockServerWriteResponse* resp, google::protobuf::Closure* done) override;
  void Read(google::protobuf::RpcController* base, const vovorav::BlockServerReadRequest* req,
            vovorav::BlockServerReadResponse* resp, google::protobuf::Closure* done) override;

  // Answers every held write (from the calling thread); returns how many.
  size_t Release();
  // Answers the oldest held write (from the calling thread); 1, or 0 when
  // none is held.
  size_t ReleaseOne();
  // Lets go of every controller kept with the user hold (from the calling
  // thread); returns how many.
  size_t ReleaseUserHolds();

  std::string last_uuid() const;
  // The server-side connection of the last write or read, while it lives.
  std::shared_ptr<tarn::Connection> last_conn() const;
  size_t held() const;
  std::vector<uint64_t> lbas() const;  // of every write, in arrival order
  int writes() const { return writes_.load(); }  // writes answered at once
  // When not 0, a read first sets its connection's output limit to this.
  void set_read_conn_send_limit(uint32_t limit) { read_conn_send_limit_ = limit; }

 private:
  mutable std::mutex mutex_;
  std::vector<google::protobuf::Closure*> held_;
  std::vector<tarn::RpcController*> user_held_;
  std::string last_uuid_;
  std::weak_ptr<tarn::Connection> last_conn_;
  std::vector<uint64_t> lbas_;
  std::atomic<int> writes_{0};
  std::atomic<uint32_t> read_conn_send_limit_{0};
};

}  // namespace testsupport

#endif  // TESTS_SUPPORT_TEST_SERVICE_H_
