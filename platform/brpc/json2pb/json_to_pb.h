// JSON text to protocol-buffer message (protobuf's own JSON mapping).
#ifndef PLATFORM_JSON2PB_JSON_TO_PB_H
#define PLATFORM_JSON2PB_JSON_TO_PB_H

#include <string>
#include <string_view>

namespace google {
namespace protobuf {
class Message;
}  // namespace protobuf
}  // namespace google

namespace json2pb {

// Parses json into message (cleared first); unknown fields are refused.
// False with *error set (when not null) on failure.
bool JsonToProtoMessage(std::string_view json, google::protobuf::Message* message,
                        std::string* error);

}  // namespace json2pb

#endif  // PLATFORM_JSON2PB_JSON_TO_PB_H
