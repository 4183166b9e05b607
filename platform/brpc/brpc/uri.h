// Percent-encoding of header values.
#ifndef PLATFORM_BRPC_URI_H
#define PLATFORM_BRPC_URI_H

#include <string>
#include <string_view>

namespace brpc {

// Appends in to *out with every byte outside printable ASCII (0x20 to 0x7E),
// and '%' itself, written as '%' and two upper-case hex digits. The result
// is safe as an HTTP/2 header value whatever in holds.
void PercentEncode(std::string_view in, std::string* out);

// The reverse: "%XX" becomes the byte; a '%' without two hex digits stays
// as it is.
void PercentDecode(std::string_view in, std::string* out);

}  // namespace brpc

#endif  // PLATFORM_BRPC_URI_H
