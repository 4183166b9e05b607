#include <google/protobuf/message.h>
#include <google/protobuf/util/json_util.h>

#include "json2pb/json_to_pb.h"
#include "json2pb/pb_to_json.h"

namespace json2pb {

bool JsonToProtoMessage(std::string_view json, google::protobuf::Message* message,
                        std::string* error) {
  message->Clear();
  google::protobuf::util::JsonParseOptions options;
  options.ignore_unknown_fields = false;
  const auto status = google::protobuf::util::JsonStringToMessage(
      google::protobuf::StringPiece(json.data(), json.size()), message, options);
  if (!status.ok()) {
    if (error != nullptr) *error = status.ToString();
    return false;
  }
  return true;
}

bool ProtoMessageToJson(const google::protobuf::Message& message, std::string* json,
                        std::string* error) {
  json->clear();
  google::protobuf::util::JsonPrintOptions options;
  options.preserve_proto_field_names = true;
  const auto status = google::protobuf::util::MessageToJsonString(message, json, options);
  if (!status.ok()) {
    if (error != nullptr) *error = status.ToString();
    return false;
  }
  return true;
}

}  // namespace json2pb
