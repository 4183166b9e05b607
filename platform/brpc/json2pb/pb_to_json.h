// Protocol-buffer message to JSON text (protobuf's own JSON mapping).
#ifndef PLATFORM_JSON2PB_PB_TO_JSON_H
#define PLATFORM_JSON2PB_PB_TO_JSON_H

#include <string>

namespace google {
namespace protobuf {
class Message;
}  // namespace protobuf
}  // namespace google

namespace json2pb {

// Prints message as compact JSON into *json (replacing it), field names as
// in the schema. False with *error set (when not null) on failure.
bool ProtoMessageToJson(const google::protobuf::Message& message, std::string* json,
                        std::string* error);

}  // namespace json2pb

#endif  // PLATFORM_JSON2PB_PB_TO_JSON_H
