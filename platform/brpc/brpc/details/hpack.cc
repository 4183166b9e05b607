#include "brpc/details/hpack.h"

#include <nghttp2/nghttp2.h>

#include <vector>

namespace brpc {

namespace {

// Fields per Encode call that fit on the stack; longer lists take the heap.
constexpr size_t kStackFields = 8;

}  // namespace

HPacker::~HPacker() {
  if (inflater_ != nullptr) nghttp2_hd_inflate_del(inflater_);
  if (deflater_ != nullptr) nghttp2_hd_deflate_del(deflater_);
}

int HPacker::Init(size_t max_table_size) {
  if (inflater_ != nullptr || deflater_ != nullptr) return -1;
  if (nghttp2_hd_inflate_new(&inflater_) != 0) {
    inflater_ = nullptr;
    return -1;
  }
  if (nghttp2_hd_inflate_change_table_size(inflater_, max_table_size) != 0 ||
      nghttp2_hd_deflate_new(&deflater_, max_table_size) != 0) {
    deflater_ = nullptr;
    return -1;
  }
  return 0;
}

int HPacker::Decode(const void* data, size_t len, bool last, HPackSink* sink) {
  if (inflater_ == nullptr || broken_) return -1;
  const uint8_t* in = static_cast<const uint8_t*>(data);
  for (;;) {
    nghttp2_nv nv;
    int flags = 0;
    const ssize_t n = nghttp2_hd_inflate_hd2(inflater_, &nv, &flags, in, len, last ? 1 : 0);
    if (n < 0) {
      broken_ = true;
      return -1;
    }
    in += n;
    len -= static_cast<size_t>(n);
    if (flags & NGHTTP2_HD_INFLATE_EMIT) {
      sink->OnHeader(std::string_view(reinterpret_cast<const char*>(nv.name), nv.namelen),
                     std::string_view(reinterpret_cast<const char*>(nv.value), nv.valuelen));
    }
    if (flags & NGHTTP2_HD_INFLATE_FINAL) {
      nghttp2_hd_inflate_end_headers(inflater_);
      return 0;
    }
    if ((flags & NGHTTP2_HD_INFLATE_EMIT) == 0 && len == 0) {
      // The last piece must finish the block.
      if (last) {
        broken_ = true;
        return -1;
      }
      return 0;
    }
  }
}

int HPacker::Encode(std::string* out, const HPackHeader* headers, size_t count,
                    const HPackOptions& options) {
  if (deflater_ == nullptr || broken_) return -1;
  nghttp2_nv stack_nva[kStackFields];
  std::vector<nghttp2_nv> heap_nva;
  nghttp2_nv* nva = stack_nva;
  if (count > kStackFields) {
    heap_nva.resize(count);
    nva = heap_nva.data();
  }
  const uint8_t flags = options.never_index ? NGHTTP2_NV_FLAG_NO_INDEX : NGHTTP2_NV_FLAG_NONE;
  for (size_t i = 0; i < count; ++i) {
    nva[i].name = reinterpret_cast<uint8_t*>(const_cast<char*>(headers[i].name.data()));
    nva[i].namelen = headers[i].name.size();
    nva[i].value = reinterpret_cast<uint8_t*>(const_cast<char*>(headers[i].value.data()));
    nva[i].valuelen = headers[i].value.size();
    nva[i].flags = flags;
  }
  const size_t bound = nghttp2_hd_deflate_bound(deflater_, nva, count);
  const size_t start = out->size();
  out->resize(start + bound);
  const ssize_t n = nghttp2_hd_deflate_hd(
      deflater_, reinterpret_cast<uint8_t*>(&(*out)[start]), bound, nva, count);
  if (n < 0) {
    out->resize(start);
    broken_ = true;
    return -1;
  }
  out->resize(start + static_cast<size_t>(n));
  return 0;
}

int HPacker::SetEncoderTableSize(size_t peer_table_size) {
  if (deflater_ == nullptr || broken_) return -1;
  return nghttp2_hd_deflate_change_table_size(deflater_, peer_table_size) == 0 ? 0 : -1;
}

}  // namespace brpc
