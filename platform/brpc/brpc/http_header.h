// The header of one HTTP request or response: method, path, authority,
// status, content type, and the other fields in arrival order.
//
// Field names are kept as they arrived (HTTP/2 sends them in lower case);
// Find compares them without regard to case.
#ifndef PLATFORM_BRPC_HTTP_HEADER_H
#define PLATFORM_BRPC_HTTP_HEADER_H

#include <strings.h>

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace brpc {

class HttpHeader {
 public:
  const std::string& method() const { return method_; }
  void set_method(std::string_view m) { method_.assign(m.data(), m.size()); }
  // The request target's path (for HTTP/2, the ":path" pseudo-header, query
  // included).
  const std::string& path() const { return path_; }
  void set_path(std::string_view p) { path_.assign(p.data(), p.size()); }
  const std::string& authority() const { return authority_; }
  void set_authority(std::string_view a) { authority_.assign(a.data(), a.size()); }
  int status_code() const { return status_code_; }
  void set_status_code(int code) { status_code_ = code; }
  const std::string& content_type() const { return content_type_; }
  void set_content_type(std::string_view t) { content_type_.assign(t.data(), t.size()); }

  // The value of the first field of that name, or null.
  const std::string* Find(std::string_view name) const {
    for (size_t i = 0; i < count_; ++i) {
      const auto& field = fields_[i];
      if (field.first.size() == name.size() &&
          strncasecmp(field.first.data(), name.data(), name.size()) == 0) {
        return &field.second;
      }
    }
    return nullptr;
  }
  void Append(std::string_view name, std::string_view value) {
    if (count_ == fields_.size()) fields_.emplace_back();
    fields_[count_].first.assign(name.data(), name.size());
    fields_[count_].second.assign(value.data(), value.size());
    ++count_;
  }
  // The other fields, in arrival order.
  size_t field_count() const { return count_; }
  const std::pair<std::string, std::string>& field(size_t i) const { return fields_[i]; }

  // The bytes its strings keep allocated (what Clear leaves in place).
  size_t capacity() const {
    size_t n = method_.capacity() + path_.capacity() + authority_.capacity() +
               content_type_.capacity() + fields_.capacity() * sizeof(fields_[0]);
    for (const auto& field : fields_) n += field.first.capacity() + field.second.capacity();
    return n;
  }

  // Empties the header. A header that is used again keeps (a bounded part
  // of) what it allocated, so that the next message of the same shape
  // allocates nothing.
  void Clear() {
    method_.clear();
    path_.clear();
    authority_.clear();
    status_code_ = 0;
    content_type_.clear();
    count_ = 0;
    if (fields_.size() > kKeptFields) fields_.resize(kKeptFields);
  }

 private:
  static constexpr size_t kKeptFields = 16;

  std::string method_;
  std::string path_;
  std::string authority_;
  int status_code_ = 0;
  std::string content_type_;
  std::vector<std::pair<std::string, std::string>> fields_;
  size_t count_ = 0;  // fields_[0, count_) are in use
};

}  // namespace brpc

#endif  // PLATFORM_BRPC_HTTP_HEADER_H
