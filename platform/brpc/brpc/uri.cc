#include "brpc/uri.h"

namespace brpc {

namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

void PercentEncode(std::string_view in, std::string* out) {
  static const char kHex[] = "0123456789ABCDEF";
  out->reserve(out->size() + in.size());
  for (char c : in) {
    const unsigned char b = static_cast<unsigned char>(c);
    if (b >= 0x20 && b <= 0x7e && b != '%') {
      out->push_back(c);
    } else {
      out->push_back('%');
      out->push_back(kHex[b >> 4]);
      out->push_back(kHex[b & 0xf]);
    }
  }
}

void PercentDecode(std::string_view in, std::string* out) {
  out->reserve(out->size() + in.size());
  for (size_t i = 0; i < in.size(); ++i) {
    if (in[i] == '%' && i + 2 < in.size() && HexValue(in[i + 1]) >= 0 &&
        HexValue(in[i + 2]) >= 0) {
      out->push_back(static_cast<char>(HexValue(in[i + 1]) * 16 + HexValue(in[i + 2])));
      i += 2;
    } else {
      out->push_back(in[i]);
    }
  }
}

}  // namespace brpc
