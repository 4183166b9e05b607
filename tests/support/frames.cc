#include "support/frames.h"

#include "vovorav.pb.h"

namespace testsupport {

std::string BuildFrame(const std::string& service, const std::string& method,
                       const std::string& header, const std::string& body,
                       const std::string& attachment) {
  tarn::FrameHead head;
  head.service_len = static_cast<uint16_t>(service.size());
  head.method_len = static_cast<uint16_t>(method.size());
  head.header_len = static_cast<uint32_t>(header.size());
  head.body_len = static_cast<uint32_t>(body.size());
  const uint64_t main = head.main_size();
  head.total = static_cast<uint32_t>(main + attachment.size());
  std::string out(tarn::kFrameHeadSize, '\0');
  head.Encode(&out[0]);
  out += service;
  out += method;
  out += header;
  out += body;
  out.resize(main, '\0');
  return out + attachment;
}

std::string RequestHeader(uint64_t seq, uint32_t method_index) {
  tarn::RpcHeader h;
  h.set_seq_no(seq);
  h.set_method_index(method_index);
  return h.SerializeAsString();
}

std::string ResponseHeader(uint64_t seq) {
  tarn::RpcHeader h;
  h.set_seq_no(seq);
  return h.SerializeAsString();
}

std::string WriteRequestFrame(uint64_t seq, uint64_t lba, const std::string& attachment) {
  vovorav::BlockServerWriteRequest req;
  req.set_lba(lba);
  return BuildFrame("BlockServerService", "Write", RequestHeader(seq, 0), req.SerializeAsString(),
                    attachment);
}

}  // namespace testsupport
