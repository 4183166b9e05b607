// The frame layout byte by byte, and the head checks that guard receivers.

#include "tarn/rpc/frame.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "policy/rpc.pb.h"
#include "vovorav.pb.h"

namespace tarn {
namespace {

std::vector<unsigned char> Bytes(const char* p, size_t n) {
  return std::vector<unsigned char>(reinterpret_cast<const unsigned char*>(p),
                                    reinterpret_cast<const unsigned char*>(p) + n);
}

TEST(FrameCodec, RequestHeadGoldenBytes) {
  RpcHeader header;
  header.set_seq_no(1);
  header.set_method_index(0);
  ASSERT_EQ(header.ByteSizeLong(), 14u);
  vovorav::BlockServerWriteRequest body;  // empty: 0 bytes
  ASSERT_EQ(body.ByteSizeLong(), 0u);

  FrameHead head;
  head.service_len = 4;
  head.method_len = 4;
  head.header_len = 14;
  head.body_len = 0;
  ASSERT_EQ(head.main_size(), 44u);
  head.total = static_cast<uint32_t>(head.main_size() + 4096);
  EXPECT_EQ(head.total, 4140u);

  // Pool memory is never clean: the padding must not carry it onto the wire.
  std::vector<char> buf(head.main_size(), static_cast<char>(0xAA));
  WriteFrameMain(buf.data(), head, "Svc1", "Meth", header, body);
  const std::vector<unsigned char> want = {0x54, 0x41, 0x52, 0x4E, 0x00, 0x00, 0x10,
                                           0x2C, 0x00, 0x04, 0x00, 0x04, 0x00, 0x00,
                                           0x00, 0x0E, 0x00, 0x00, 0x00, 0x00};
  EXPECT_EQ(Bytes(buf.data(), 20), want);
  EXPECT_EQ(std::string(buf.data() + 20, 8), "Svc1Meth");
  RpcHeader parsed;
  ASSERT_TRUE(parsed.ParseFromArray(buf.data() + 28, 14));
  EXPECT_EQ(parsed.seq_no(), 1u);
  EXPECT_TRUE(parsed.has_method_index());
  EXPECT_EQ(buf[42], 0);  // two padding bytes, zeroed
  EXPECT_EQ(buf[43], 0);

  FrameHead back;
  ASSERT_TRUE(back.Decode(buf.data()));
  EXPECT_EQ(back.total, 4140u);
  EXPECT_EQ(back.service_len, 4);
  EXPECT_EQ(back.method_len, 4);
  EXPECT_EQ(back.header_len, 14u);
  EXPECT_EQ(back.body_len, 0u);
  EXPECT_EQ(back.Check(1u << 30), 0);
}

TEST(FrameCodec, ResponseHeaderGoldenBytes) {
  RpcHeader header;
  header.set_seq_no(7);
  const std::string bytes = header.SerializeAsString();
  const std::vector<unsigned char> want = {0x09, 0x07, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(Bytes(bytes.data(), bytes.size()), want);

  vovorav::BlockServerWriteResponse body;
  body.set_segment_id(3);  // 2 bytes
  FrameHead head;
  head.header_len = 9;
  head.body_len = static_cast<uint32_t>(body.ByteSizeLong());
  EXPECT_EQ(head.main_size(), 20u + 12u);  // 11 bytes padded to 12
  head.total = static_cast<uint32_t>(head.main_size());
  std::vector<char> buf(head.main_size(), static_cast<char>(0xFF));
  WriteFrameMain(buf.data(), head, "", "", header, body);
  EXPECT_EQ(Bytes(buf.data() + 8, 4), std::vector<unsigned char>({0, 0, 0, 0}));
  EXPECT_EQ(std::string(buf.data() + 20, 9), bytes);
  EXPECT_EQ(buf[31], 0);
}

TEST(FrameCodec, MainSizeRoundsDownAfterAddingThree) {
  EXPECT_EQ(FrameMainSize(0, 0, 0, 0), 20u);
  EXPECT_EQ(FrameMainSize(1, 0, 0, 0), 24u);
  EXPECT_EQ(FrameMainSize(2, 1, 1, 0), 24u);
  EXPECT_EQ(FrameMainSize(2, 1, 1, 1), 28u);
  // Lengths that wrap 32-bit arithmetic stay exact in 64 bits.
  EXPECT_EQ(FrameMainSize(0xFFFF, 0xFFFF, 0xFFFFFFFF, 0xFFFFFFFF),
            20u + ((0x1FFFEull + 0x1FFFFFFFEull + 3) & ~3ull));
}

TEST(FrameCodec, CheckRefusesInconsistentHeads) {
  const uint64_t limit = 1u << 20;
  FrameHead h;
  h.total = 19;
  EXPECT_EQ(h.Check(limit), -1);  // shorter than the head
  h.total = 20;
  EXPECT_EQ(h.Check(limit), 0);  // an empty frame is consistent
  h.total = 0xFFFFFFFF;
  EXPECT_EQ(h.Check(limit), -1);  // above the receiver's limit
  EXPECT_EQ(h.Check(0xFFFFFFFFull), 0);

  h.total = 40;
  h.body_len = 21;  // main 44 > total 40
  EXPECT_EQ(h.Check(limit), -2);
  h.body_len = 20;  // main exactly 40
  EXPECT_EQ(h.Check(limit), 0);

  // Lengths chosen so that a 32-bit sum wraps to a small main part.
  h.total = 64;
  h.service_len = 4;
  h.method_len = 4;
  h.header_len = 0xFFFFFFF8;
  h.body_len = 8;
  EXPECT_EQ(static_cast<uint32_t>(20 + ((4 + 4 + 0xFFFFFFF8u + 8 + 3) & ~3u)), 28u);
  EXPECT_EQ(h.Check(limit), -2);
  h.header_len = 0xFFFFFFFF;
  h.body_len = 0xFFFFFFFF;
  EXPECT_EQ(h.Check(0xFFFFFFFFull), -2);
}

TEST(FrameCodec, MagicAndPrefix) {
  EXPECT_TRUE(MatchesFrameMagic("TARN", 4));
  EXPECT_TRUE(MatchesFrameMagic("TA", 2));
  EXPECT_TRUE(MatchesFrameMagic("TARNxxxx", 8));
  EXPECT_FALSE(MatchesFrameMagic("TAXN", 4));
  EXPECT_FALSE(MatchesFrameMagic("PRI ", 1));
  FrameHead bad;
  EXPECT_FALSE(bad.Decode("GET / HTTP/1.1\r\n\r\n..."));
  const char prefix[8] = {'T', 'A', 'R', 'N', 0x01, 0x02, 0x03, 0x04};
  EXPECT_EQ(FrameTotalFromPrefix(prefix), 0x01020304u);
}

}  // namespace
}  // namespace tarn
