// The gRPC side of the HTTP/2 protocol: content types, request paths, status
// codes, the message prefix and the header names the protocol uses.
#ifndef TARN_POLICY_H2_GRPC_H_
#define TARN_POLICY_H2_GRPC_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace tarn {

// gRPC status codes ("grpc-status").
enum GrpcStatus : int {
  GRPC_OK = 0,
  GRPC_CANCELED = 1,
  GRPC_UNKNOWN = 2,
  GRPC_INVALIDARGUMENT = 3,
  GRPC_DEADLINEEXCEEDED = 4,
  GRPC_NOTFOUND = 5,
  GRPC_ALREADYEXISTS = 6,
  GRPC_PERMISSIONDENIED = 7,
  GRPC_RESOURCEEXHAUSTED = 8,
  GRPC_FAILEDPRECONDITION = 9,
  GRPC_ABORTED = 10,
  GRPC_OUTOFRANGE = 11,
  GRPC_UNIMPLEMENTED = 12,
  GRPC_INTERNAL = 13,
  GRPC_UNAVAILABLE = 14,
  GRPC_DATALOSS = 15,
  GRPC_UNAUTHENTICATED = 16,
  GRPC_MAX = 17,
};

// "GRPC_OK" ... "GRPC_MAX"; "Unknown-GrpcStatus" for other values.
const char* GrpcStatusToString(int status);

// The gRPC status of a controller error code: 0 -> 0, 1 -> 7, 22 -> 3,
// 125 -> 1, 1001 and 1002 -> 12, 1003 -> 3, 1004 -> 16, 1008 -> 4,
// 2003 -> 14, 2004 -> 8, anything else (negative codes too) -> 13.
int ErrorCodeToGrpcStatus(int error_code);

// How a body is encoded, from its content type.
enum H2ContentType : int {
  H2_CONTENT_OTHER = 0,  // read and written as JSON
  H2_CONTENT_JSON = 1,
  H2_CONTENT_PROTO = 2,
};

// Classifies a content type, byte for byte: "application/" followed by
// "grpc" (alone or before ';': gRPC with protobuf), "grpc+" and a subtype, or
// a subtype; subtypes "json" (JSON), "proto" or "x-protobuf" (protobuf), each
// alone or before ';'. *is_grpc tells whether it named gRPC.
H2ContentType ParseContentType(std::string_view text, bool* is_grpc);

// Maps a request path to the short names of a service and a method:
// "/package.Service/Method" and "/Service/Method" both give "Service" and
// "Method" (with a package of several parts, the text after the last '.').
// Trailing '/' characters are ignored and repeated '/' between service and
// method skipped. False when the path does not name both.
bool FindMethodPropertyByURI(std::string_view path, std::string_view* service,
                             std::string_view* method);

// The 5 bytes before every gRPC message: compressed flag, big-endian length.
constexpr size_t kGrpcPrefixSize = 5;
void WriteGrpcPrefix(char* out, bool compressed, uint32_t length);
// The length field of a prefix.
uint32_t ReadGrpcLength(const char* prefix);
// Prepends the prefix for the current body (whose size must fit 32 bits).
void AddGrpcPrefix(std::string* body, bool compressed);

// Header names and values of the protocol, built once at load.
struct CommonStrings {
  const std::string LOG_ID{"log-id"};
  const std::string X_REQUEST_ID{"x-request-id"};
  const std::string CONTENT_TYPE{"content-type"};
  const std::string GZIP{"gzip"};
  const std::string IDENTITY{"identity"};
  const std::string STATUS{":status"};
  const std::string STATUS_200{"200"};
  const std::string GRPC_ENCODING{"grpc-encoding"};
  const std::string GRPC_ACCEPT_ENCODING{"grpc-accept-encoding"};
  const std::string GRPC_ACCEPT_ENCODING_VALUE{"identity,gzip"};
  const std::string GRPC_STATUS{"grpc-status"};
  const std::string GRPC_MESSAGE{"grpc-message"};
  const std::string GRPC_TIMEOUT{"grpc-timeout"};
  const std::string TRAILERS{"trailers"};
  const std::string METHOD{":method"};
  const std::string PATH{":path"};
  const std::string SCHEME{":scheme"};
  const std::string AUTHORITY{":authority"};
  const std::string CONTENT_TYPE_GRPC{"application/grpc"};
  const std::string CONTENT_TYPE_JSON{"application/json"};
  const std::string CONTENT_TYPE_PROTO{"application/proto"};
  const std::string CONTENT_TYPE_X_PROTOBUF{"application/x-protobuf"};
};

extern const CommonStrings* const common;

}  // namespace tarn

#endif  // TARN_POLICY_H2_GRPC_H_
