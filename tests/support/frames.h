// Frames of the RPC protocol as a peer writes them, for tests and fuzz
// targets that play the peer over a raw socket.
#ifndef TESTS_SUPPORT_FRAMES_H_
#define TESTS_SUPPORT_FRAMES_H_

#include <cstdint>
#include <string>

#include "policy/rpc.pb.h"
#include "support/sockets.h"
#include "tarn/rpc/frame.h"

namespace testsupport {

// A whole frame: head, names, header, body, zero padding, attachment.
std::string BuildFrame(const std::string& service, const std::string& method,
                       const std::string& header, const std::string& body,
                       const std::string& attachment = "");

// A request header: sequence number and method index.
std::string RequestHeader(uint64_t seq, uint32_t method_index);

// A response header carrying only the sequence number.
std::string ResponseHeader(uint64_t seq);

// A block-server Write request frame for lba.
std::string WriteRequestFrame(uint64_t seq, uint64_t lba, const std::string& attachment = "");

// Reads one response frame from a blocking socket: its header, its body
// parsed as Response and, when asked, its attachment.
template <typename Response>
bool ReadResponse(int fd, tarn::RpcHeader* header, Response* resp,
                  std::string* attachment = nullptr, double timeout_s = 30.0) {
  std::string head_bytes;
  if (!RecvExact(fd, tarn::kFrameHeadSize, &head_bytes, timeout_s)) return false;
  tarn::FrameHead head;
  if (!head.Decode(head_bytes.data())) return false;
  std::string rest;
  if (!RecvExact(fd, head.total - tarn::kFrameHeadSize, &rest, timeout_s)) return false;
  const size_t names = head.service_len + head.method_len;
  if (!header->ParseFromArray(rest.data() + names, static_cast<int>(head.header_len))) {
    return false;
  }
  if (!resp->ParseFromArray(rest.data() + names + head.header_len,
                            static_cast<int>(head.body_len))) {
    return false;
  }
  if (attachment != nullptr) *attachment = rest.substr(head.main_size() - tarn::kFrameHeadSize);
  return true;
}

}  // namespace testsupport

#endif  // TESTS_SUPPORT_FRAMES_H_
