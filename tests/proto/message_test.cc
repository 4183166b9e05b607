// Wire-level checks of the schema: how the files register, the result
// convention of every response, exact encodings the cluster relies on, and
// lossless round trips of every message the driver sends, reads or serves.

#include <google/protobuf/descriptor.h>
#include <google/protobuf/descriptor.pb.h>
#include <google/protobuf/util/message_differencer.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common.pb.h"
#include "policy/rpc.pb.h"
#include "volume.pb.h"
#include "vovorav.pb.h"

namespace {

namespace pb = google::protobuf;

std::string Hex(const std::string& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    if (!out.empty()) out += ' ';
    out += kDigits[c >> 4];
    out += kDigits[c & 0xf];
  }
  return out;
}

const pb::FileDescriptor* File(const char* name) {
  return pb::DescriptorPool::generated_pool()->FindFileByName(name);
}

int CountEnums(const pb::Descriptor* d) {
  int n = d->enum_type_count();
  for (int i = 0; i < d->nested_type_count(); ++i) n += CountEnums(d->nested_type(i));
  return n;
}

// ---------------------------------------------------------------- registration

TEST(SchemaFiles, RegisterUnderTheirNamesWithTheClustersDescriptors) {
  struct Row {
    const char* name;
    const char* package;
    int messages, enums, services;
    size_t descriptor_bytes;  // serialised file descriptor, a fingerprint
  };
  const Row rows[] = {
      {"common.proto", "", 18, 3, 0, 1489},
      {"vovorav.proto", "vovorav", 123, 13, 5, 19427},
      {"volume.proto", "volume", 100, 6, 3, 13739},
      {"rpc.proto", "tarn", 1, 0, 0, 68},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    const pb::FileDescriptor* f = File(r.name);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->package(), r.package);
    EXPECT_EQ(f->syntax(), pb::FileDescriptor::SYNTAX_PROTO2);
    EXPECT_EQ(f->message_type_count(), r.messages);
    int enums = f->enum_type_count();
    for (int i = 0; i < f->message_type_count(); ++i) enums += CountEnums(f->message_type(i));
    EXPECT_EQ(enums, r.enums);
    EXPECT_EQ(f->service_count(), r.services);
    pb::FileDescriptorProto proto;
    f->CopyTo(&proto);
    EXPECT_EQ(proto.ByteSizeLong(), r.descriptor_bytes);
  }
  for (const char* name : {"vovorav.proto", "volume.proto"}) {
    const pb::FileDescriptor* f = File(name);
    ASSERT_EQ(f->dependency_count(), 1);
    EXPECT_EQ(f->dependency(0)->name(), "common.proto");
    EXPECT_TRUE(f->options().cc_generic_services());
  }
}

void ForEachMessage(const pb::Descriptor* d, std::vector<const pb::Descriptor*>* out) {
  out->push_back(d);
  for (int i = 0; i < d->nested_type_count(); ++i) ForEachMessage(d->nested_type(i), out);
}

std::vector<const pb::Descriptor*> AllMessages() {
  std::vector<const pb::Descriptor*> out;
  for (const char* name : {"common.proto", "vovorav.proto", "volume.proto", "rpc.proto"}) {
    const pb::FileDescriptor* f = File(name);
    for (int i = 0; i < f->message_type_count(); ++i) ForEachMessage(f->message_type(i), &out);
  }
  return out;
}

TEST(SchemaFiles, OnlyResultCodeDeclaresDefaultsAndNoFieldCarriesOptions) {
  for (const pb::Descriptor* d : AllMessages()) {
    EXPECT_EQ(d->oneof_decl_count(), 0) << d->full_name();
    EXPECT_EQ(d->extension_range_count(), 0) << d->full_name();
    for (int i = 0; i < d->field_count(); ++i) {
      const pb::FieldDescriptor* f = d->field(i);
      SCOPED_TRACE(f->full_name());
      EXPECT_FALSE(f->is_required());
      EXPECT_FALSE(f->is_packed());
      EXPECT_FALSE(f->options().has_packed());
      EXPECT_EQ(f->has_default_value(), d->full_name() == "ResultCode");
    }
  }
  const ResultCode& rc = ResultCode::default_instance();
  EXPECT_EQ(rc.retcode(), 0);
  EXPECT_EQ(rc.errmsg(), "");
  EXPECT_EQ(rc.suggcode(), 0);
}

// ------------------------------------------------------------ result convention

// rc of every response: field 11, except where the payload comes first, and
// the two load reports carry none.
int ExpectedRcField(const std::string& full_name) {
  if (full_name == "vovorav.BlockMasterBackupInfoResponse" ||
      full_name == "volume.VolumeManagerBackupInfoResponse")
    return 15;
  if (full_name == "vovorav.BackupServerLoadPlaneResponse") return 13;
  if (full_name == "vovorav.BackupServerReadResponse") return 12;
  if (full_name == "vovorav.BlockServerQueryLoadResponse" ||
      full_name == "vovorav.BlockServerQueryLoadBalanceResponse")
    return 0;
  return 11;
}

TEST(ResultConvention, EveryResponseCarriesRcWhereTheClusterPutsIt) {
  int responses = 0;
  for (const pb::Descriptor* d : AllMessages()) {
    const std::string& name = d->name();
    if (name.size() < 8 || name.compare(name.size() - 8, 8, "Response") != 0) continue;
    ++responses;
    SCOPED_TRACE(d->full_name());
    const pb::FieldDescriptor* rc = d->FindFieldByName("rc");
    const int expected = ExpectedRcField(d->full_name());
    if (expected == 0) {
      EXPECT_EQ(rc, nullptr);
      continue;
    }
    ASSERT_NE(rc, nullptr);
    EXPECT_EQ(rc->number(), expected);
    EXPECT_FALSE(rc->is_repeated());
    EXPECT_EQ(rc->message_type(), ResultCode::descriptor());

    // An answer without rc reads as success.
    std::unique_ptr<pb::Message> resp(
        pb::MessageFactory::generated_factory()->GetPrototype(d)->New());
    ASSERT_TRUE(resp->ParseFromString(""));
    EXPECT_FALSE(resp->GetReflection()->HasField(*resp, rc));
    const auto& code =
        static_cast<const ResultCode&>(resp->GetReflection()->GetMessage(*resp, rc));
    EXPECT_EQ(code.retcode(), 0);
    EXPECT_EQ(code.errmsg(), "");
    EXPECT_EQ(code.suggcode(), 0);
  }
  EXPECT_GT(responses, 80);
}

TEST(ResultConvention, RcTagsOnTheWire) {
  vovorav::BlockServerWriteResponse write;
  write.mutable_rc()->set_retcode(-12001);
  write.mutable_rc()->set_errmsg("x");
  // field 11 LEN; retcode as a ten-byte negative varint; errmsg "x".
  EXPECT_EQ(Hex(write.SerializeAsString()),
            "5a 0e 08 9f a2 ff ff ff ff ff ff ff 01 12 01 78");

  volume::VolumeManagerBackupInfoResponse backup;
  backup.mutable_rc()->set_retcode(1);
  EXPECT_EQ(Hex(backup.SerializeAsString()), "7a 02 08 01");  // field 15

  vovorav::BackupServerReadResponse read;
  read.set_size(3);
  read.mutable_rc()->set_suggcode(2);
  EXPECT_EQ(Hex(read.SerializeAsString()), "58 03 62 02 18 02");  // size 11, rc 12

  vovorav::BlockServerWriteResponse parsed;
  ASSERT_TRUE(parsed.ParseFromString(write.SerializeAsString()));
  EXPECT_EQ(parsed.rc().retcode(), -12001);
}

// -------------------------------------------------------------------- encodings

TEST(Encoding, DriverRequestsEncodeAsTheClusterExpects) {
  volume::PYXDriverCreateSnapshotRequest snap;
  snap.mutable_vdi()->set_id("v1");
  snap.set_dgs(5);
  EXPECT_EQ(Hex(snap.SerializeAsString()), "5a 04 0a 02 76 31 60 05");

  vovorav::BlockServerWriteRequest write;
  write.mutable_vdi()->set_id("d");
  write.set_lba(4096);
  write.set_size(8192);
  write.mutable_route_term()->set_term(3);
  write.set_dgs(2);
  EXPECT_EQ(Hex(write.SerializeAsString()),
            "5a 03 0a 01 64 60 80 20 68 80 40 7a 02 08 03 90 01 02");

  vovorav::BlockMasterQueryPlaneRouteRequest route;
  route.mutable_vdi()->set_id("d");
  route.set_start_lba(0);
  route.set_lba_size(1);
  EXPECT_EQ(Hex(route.SerializeAsString()), "5a 03 0a 01 64 60 00 68 01");

  // Repeated scalars are not packed: one tag per word.
  Ipv6Addr addr;
  for (uint32_t w : {1u, 2u, 3u, 4u}) addr.add_ip(w);
  EXPECT_EQ(Hex(addr.SerializeAsString()), "08 01 08 02 08 03 08 04");
}

TEST(Encoding, FieldlessRequestsSerialiseEmpty) {
  const pb::Message* empty[] = {
      &volume::VolumeManagerListVdiRequest::default_instance(),
      &volume::VolumeManagerTrashListRequest::default_instance(),
      &volume::VolumeManagerTrashPurgeRequest::default_instance(),
      &volume::VolumeManagerUpdateClusterStatsRequest::default_instance(),
      &volume::VolumeManagerGetUsageInfoRequest::default_instance(),
      &volume::HttpInterfaceGetVolumeListRequest::default_instance(),
      &volume::HttpInterfaceGetClusterListRequest::default_instance(),
  };
  for (const pb::Message* m : empty) {
    EXPECT_EQ(m->GetDescriptor()->field_count(), 0) << m->GetTypeName();
    EXPECT_EQ(m->SerializeAsString(), "") << m->GetTypeName();
  }
}

TEST(Encoding, VdiskIdsOfEachPackageAreDistinctTypesWithOneEncoding) {
  ::VdiskId root;
  vovorav::VdiskId block;
  volume::VdiskId vol;
  root.set_id("disk");
  block.set_id("disk");
  vol.set_id("disk");
  EXPECT_NE(root.GetDescriptor(), block.GetDescriptor());
  EXPECT_NE(block.GetDescriptor(), vol.GetDescriptor());
  EXPECT_EQ(root.SerializeAsString(), block.SerializeAsString());
  EXPECT_EQ(block.SerializeAsString(), vol.SerializeAsString());
  // Each package's requests use their own; the common records use the root one.
  EXPECT_EQ(vovorav::BlockServerReadRequest::descriptor()->FindFieldByName("vdi")->message_type(),
            vovorav::VdiskId::descriptor());
  EXPECT_EQ(volume::VolumeManagerLocateVdiRequest::descriptor()->FindFieldByName("vdi")->message_type(),
            volume::VdiskId::descriptor());
  EXPECT_EQ(SnapshotHandle::descriptor()->FindFieldByName("vdi")->message_type(),
            ::VdiskId::descriptor());
  // volume.SegmentInfo stops at field 7; vovorav's has an eighth.
  EXPECT_EQ(volume::SegmentInfo::descriptor()->FindFieldByNumber(8), nullptr);
  EXPECT_NE(vovorav::SegmentInfo::descriptor()->FindFieldByNumber(8), nullptr);
}

TEST(Encoding, EnumValuesKeepTheClustersNames) {
  EXPECT_EQ(vovorav::AppType_Name(vovorav::FRONT_DIRVER), "FRONT_DIRVER");
  EXPECT_EQ(vovorav::BLOCK_LINK, 1);
  EXPECT_EQ(vovorav::SNAPSHOT, 3);
  EXPECT_EQ(vovorav::PlaneInfo::SNAPSHOT, 2);
  EXPECT_EQ(vovorav::BlockServerCollectPlaneRequest::SNAPSHOT, 3);
  EXPECT_EQ(vovorav::PlaneInfo::ERROR, 3);
  EXPECT_EQ(MemberInfo::SLAVERY, 1);
  EXPECT_EQ(MemberIPv6Info::PRIMARY, 0);
  EXPECT_EQ(OVERWRITE_EXTENT, 1);
  EXPECT_EQ(volume::VolumeManagerTrashDeleteRequest::FORCE, 1);
}

// --------------------------------------------------------------- frame header

TEST(RpcHeader, EncodesWithFixedWidthFields) {
  tarn::RpcHeader response;
  response.set_seq_no(7);
  EXPECT_EQ(Hex(response.SerializeAsString()), "09 07 00 00 00 00 00 00 00");

  tarn::RpcHeader request;
  request.set_seq_no(0x0102030405060708ull);
  request.set_method_index(9);
  EXPECT_EQ(Hex(request.SerializeAsString()),
            "09 08 07 06 05 04 03 02 01 15 09 00 00 00");

  // The size never depends on the values.
  tarn::RpcHeader big;
  big.set_seq_no(UINT64_MAX);
  big.set_method_index(UINT32_MAX);
  EXPECT_EQ(big.ByteSizeLong(), 14u);

  tarn::RpcHeader parsed;
  ASSERT_TRUE(parsed.ParseFromString(big.SerializeAsString()));
  EXPECT_EQ(parsed.seq_no(), UINT64_MAX);
  EXPECT_EQ(parsed.method_index(), UINT32_MAX);
  ASSERT_TRUE(parsed.ParseFromString(response.SerializeAsString()));
  EXPECT_FALSE(parsed.has_method_index());
  EXPECT_EQ(parsed.seq_no(), 7u);
}

// ---------------------------------------------------------------- round trips

// Sets every field (two elements for repeated ones) to a distinct non-default
// value, recursing into messages.
class Filler {
 public:
  void Fill(pb::Message* m, int depth = 0) {
    const pb::Descriptor* d = m->GetDescriptor();
    const pb::Reflection* r = m->GetReflection();
    for (int i = 0; i < d->field_count(); ++i) {
      const pb::FieldDescriptor* f = d->field(i);
      const int n = f->is_repeated() ? 2 : 1;
      for (int k = 0; k < n; ++k) Set(m, r, f, depth);
    }
  }

 private:
  void Set(pb::Message* m, const pb::Reflection* r, const pb::FieldDescriptor* f, int depth) {
    using FD = pb::FieldDescriptor;
    const uint64_t v = ++next_;
    const bool rep = f->is_repeated();
    switch (f->cpp_type()) {
      case FD::CPPTYPE_INT32:
        rep ? r->AddInt32(m, f, -static_cast<int32_t>(v)) : r->SetInt32(m, f, -static_cast<int32_t>(v));
        break;
      case FD::CPPTYPE_INT64:
        rep ? r->AddInt64(m, f, -static_cast<int64_t>(v)) : r->SetInt64(m, f, -static_cast<int64_t>(v));
        break;
      case FD::CPPTYPE_UINT32:
        rep ? r->AddUInt32(m, f, 0x80000000u + static_cast<uint32_t>(v))
            : r->SetUInt32(m, f, 0x80000000u + static_cast<uint32_t>(v));
        break;
      case FD::CPPTYPE_UINT64:
        rep ? r->AddUInt64(m, f, (v << 40) + v) : r->SetUInt64(m, f, (v << 40) + v);
        break;
      case FD::CPPTYPE_BOOL:
        rep ? r->AddBool(m, f, true) : r->SetBool(m, f, true);
        break;
      case FD::CPPTYPE_ENUM: {
        const pb::EnumDescriptor* e = f->enum_type();
        const pb::EnumValueDescriptor* last = e->value(e->value_count() - 1);
        rep ? r->AddEnum(m, f, last) : r->SetEnum(m, f, last);
        break;
      }
      case FD::CPPTYPE_STRING: {
        std::string s = f->name() + "-" + std::to_string(v);
        if (f->type() == FD::TYPE_BYTES) s.push_back('\0');
        rep ? r->AddString(m, f, s) : r->SetString(m, f, s);
        break;
      }
      case FD::CPPTYPE_MESSAGE:
        if (depth < kMaxDepth) Fill(rep ? r->AddMessage(m, f) : r->MutableMessage(m, f), depth + 1);
        break;
      default:
        ADD_FAILURE() << "unexpected field type " << f->full_name();
    }
  }

  static constexpr int kMaxDepth = 5;
  uint64_t next_ = 0;
};

TEST(RoundTrip, EveryMessageOfTheDriversRoadSurvivesTheWire) {
  const pb::Descriptor* messages[] = {
      vovorav::BlockMasterQueryPlaneRouteRequest::descriptor(),
      vovorav::BlockMasterQueryPlaneRouteResponse::descriptor(),
      vovorav::BlockServerWriteRequest::descriptor(),
      vovorav::BlockServerWriteResponse::descriptor(),
      vovorav::BlockServerReadRequest::descriptor(),
      vovorav::BlockServerReadResponse::descriptor(),
      volume::VolumeManagerGetVdiSizeRequest::descriptor(),
      volume::VolumeManagerGetVdiSizeResponse::descriptor(),
      volume::VolumeManagerLocateVdiRequest::descriptor(),
      volume::VolumeManagerLocateVdiResponse::descriptor(),
      volume::VolumeManagerRegisterVdiRequest::descriptor(),
      volume::VolumeManagerRegisterVdiResponse::descriptor(),
      volume::VolumeManagerUnregisterVdiRequest::descriptor(),
      volume::VolumeManagerUnregisterVdiResponse::descriptor(),
      volume::PYXDriverCreateSnapshotRequest::descriptor(),
      volume::PYXDriverCreateSnapshotResponse::descriptor(),
  };
  pb::MessageFactory* factory = pb::MessageFactory::generated_factory();
  for (const pb::Descriptor* d : messages) {
    SCOPED_TRACE(d->full_name());
    std::unique_ptr<pb::Message> original(factory->GetPrototype(d)->New());
    Filler().Fill(original.get());
    std::vector<const pb::FieldDescriptor*> set;
    original->GetReflection()->ListFields(*original, &set);
    EXPECT_EQ(static_cast<int>(set.size()), d->field_count());

    const std::string wire = original->SerializeAsString();
    std::unique_ptr<pb::Message> parsed(factory->GetPrototype(d)->New());
    ASSERT_TRUE(parsed->ParseFromString(wire));
    EXPECT_TRUE(pb::util::MessageDifferencer::Equals(*original, *parsed))
        << original->DebugString() << "\n---\n" << parsed->DebugString();
    EXPECT_EQ(parsed->SerializeAsString(), wire);
    EXPECT_TRUE(parsed->GetReflection()->GetUnknownFields(*parsed).empty());
  }
}

TEST(RoundTrip, PlaneRoutesKeepTheirIpv6EndpointAndPlaneInfo) {
  vovorav::BlockMasterQueryPlaneRouteResponse resp;
  resp.mutable_rc()->set_retcode(0);
  resp.mutable_route_term()->set_term(17);
  resp.mutable_basic()->set_plane_capacity(1ull << 30);
  vovorav::PlaneRouteInDie* die = resp.add_routes();
  die->set_die_start_lba(1ull << 40);
  vovorav::PlaneRouteDetail* route = die->add_route();
  route->mutable_plane_id()->set_start_lba((1ull << 40) + (1ull << 30));
  for (uint32_t w : {0x000080feu, 0u, 0u, 0x01000000u}) route->mutable_endpoint()->mutable_ipv6()->add_ip(w);
  route->mutable_endpoint()->set_port(9100);
  route->mutable_info()->set_status(vovorav::PlaneInfo::LOADED);

  vovorav::BlockMasterQueryPlaneRouteResponse parsed;
  ASSERT_TRUE(parsed.ParseFromString(resp.SerializeAsString()));
  ASSERT_EQ(parsed.routes_size(), 1);
  ASSERT_EQ(parsed.routes(0).route_size(), 1);
  const vovorav::PlaneRouteDetail& got = parsed.routes(0).route(0);
  EXPECT_EQ(got.plane_id().start_lba(), (1ull << 40) + (1ull << 30));
  ASSERT_EQ(got.endpoint().ipv6().ip_size(), 4);
  EXPECT_EQ(got.endpoint().ipv6().ip(3), 0x01000000u);
  EXPECT_FALSE(got.endpoint().has_ip());
  EXPECT_EQ(got.endpoint().port(), 9100u);
  EXPECT_EQ(got.info().status(), vovorav::PlaneInfo::LOADED);
  EXPECT_EQ(parsed.route_term().term(), 17u);
}

}  // namespace
