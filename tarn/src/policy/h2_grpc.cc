#include "tarn/policy/h2_grpc.h"

namespace tarn {

namespace {

const CommonStrings g_common_strings;

constexpr std::string_view kApplication = "application/";
constexpr std::string_view kGrpc = "grpc";

// True when text is exactly word, or word followed by ';' and parameters.
bool IsSubtype(std::string_view text, std::string_view word) {
  if (text.compare(0, word.size(), word) != 0) return false;
  return text.size() == word.size() || text[word.size()] == ';';
}

}  // namespace

const CommonStrings* const common = &g_common_strings;

const char* GrpcStatusToString(int status) {
  static const char* const kNames[] = {
      "GRPC_OK",           "GRPC_CANCELED",        "GRPC_UNKNOWN",
      "GRPC_INVALIDARGUMENT", "GRPC_DEADLINEEXCEEDED", "GRPC_NOTFOUND",
      "GRPC_ALREADYEXISTS", "GRPC_PERMISSIONDENIED", "GRPC_RESOURCEEXHAUSTED",
      "GRPC_FAILEDPRECONDITION", "GRPC_ABORTED",    "GRPC_OUTOFRANGE",
      "GRPC_UNIMPLEMENTED", "GRPC_INTERNAL",        "GRPC_UNAVAILABLE",
      "GRPC_DATALOSS",     "GRPC_UNAUTHENTICATED", "GRPC_MAX",
  };
  if (status < 0 || status > GRPC_MAX) return "Unknown-GrpcStatus";
  return kNames[status];
}

int ErrorCodeToGrpcStatus(int error_code) {
  switch (error_code) {
    case 0:
      return GRPC_OK;
    case 1:
      return GRPC_PERMISSIONDENIED;
    case 22:
      return GRPC_INVALIDARGUMENT;
    case 125:
      return GRPC_CANCELED;
    case 1001:
    case 1002:
      return GRPC_UNIMPLEMENTED;
    case 1003:
      return GRPC_INVALIDARGUMENT;
    case 1004:
      return GRPC_UNAUTHENTICATED;
    case 1008:
      return GRPC_DEADLINEEXCEEDED;
    case 2003:
      return GRPC_UNAVAILABLE;
    case 2004:
      return GRPC_RESOURCEEXHAUSTED;
    default:
      return GRPC_INTERNAL;
  }
}

H2ContentType ParseContentType(std::string_view text, bool* is_grpc) {
  *is_grpc = false;
  if (text.compare(0, kApplication.size(), kApplication) != 0) return H2_CONTENT_OTHER;
  text.remove_prefix(kApplication.size());
  if (text.compare(0, kGrpc.size(), kGrpc) == 0) {
    if (text.size() == kGrpc.size() || text[kGrpc.size()] == ';') {
      *is_grpc = true;
      return H2_CONTENT_PROTO;
    }
    if (text[kGrpc.size()] == '+') {
      *is_grpc = true;
      text.remove_prefix(kGrpc.size() + 1);
    }
  }
  if (IsSubtype(text, "json")) return H2_CONTENT_JSON;
  if (IsSubtype(text, "proto") || IsSubtype(text, "x-protobuf")) return H2_CONTENT_PROTO;
  return H2_CONTENT_OTHER;
}

bool FindMethodPropertyByURI(std::string_view path, std::string_view* service,
                             std::string_view* method) {
  *service = std::string_view();
  *method = std::string_view();
  if (path.empty() || path[0] != '/') return false;
  size_t end = path.size();
  while (end > 0 && path[end - 1] == '/') --end;
  path = path.substr(0, end);
  const size_t slash = path.find('/', 1);
  if (slash == std::string_view::npos) return false;
  std::string_view full_service = path.substr(1, slash - 1);
  // The short name: services are registered without their package.
  const size_t dot = full_service.rfind('.');
  if (dot != std::string_view::npos) full_service.remove_prefix(dot + 1);
  size_t start = slash;
  while (start < path.size() && path[start] == '/') ++start;
  const std::string_view rest = path.substr(start);
  if (rest.find('/') != std::string_view::npos) return false;
  if (full_service.empty() || rest.empty()) return false;
  *service = full_service;
  *method = rest;
  return true;
}

void WriteGrpcPrefix(char* out, bool compressed, uint32_t length) {
  out[0] = compressed ? 1 : 0;
  out[1] = static_cast<char>(length >> 24);
  out[2] = static_cast<char>(length >> 16);
  out[3] = static_cast<char>(length >> 8);
  out[4] = static_cast<char>(length);
}

uint32_t ReadGrpcLength(const char* prefix) {
  const unsigned char* u = reinterpret_cast<const unsigned char*>(prefix);
  return (uint32_t{u[1]} << 24) | (uint32_t{u[2]} << 16) | (uint32_t{u[3]} << 8) | u[4];
}

void AddGrpcPrefix(std::string* body, bool compressed) {
  char prefix[kGrpcPrefixSize];
  WriteGrpcPrefix(prefix, compressed, static_cast<uint32_t>(body->size()));
  body->insert(0, prefix, kGrpcPrefixSize);
}

}  // namespace tarn
