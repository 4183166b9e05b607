// The settings of one end of an HTTP/2 connection.
//
// A default-constructed record holds the values every HTTP/2 endpoint starts
// from, except that server push is off. The connection-level receive window
// is not a SETTINGS entry: it travels as a WINDOW_UPDATE on stream 0 (the
// connection starts with 65535 bytes).
#ifndef PLATFORM_BRPC_HTTP2_H
#define PLATFORM_BRPC_HTTP2_H

#include <cstdint>

namespace brpc {

// SETTINGS identifiers.
enum H2SettingsId : uint16_t {
  H2_SETTINGS_HEADER_TABLE_SIZE = 0x1,
  H2_SETTINGS_ENABLE_PUSH = 0x2,
  H2_SETTINGS_MAX_CONCURRENT_STREAMS = 0x3,
  H2_SETTINGS_STREAM_WINDOW_SIZE = 0x4,  // SETTINGS_INITIAL_WINDOW_SIZE
  H2_SETTINGS_MAX_FRAME_SIZE = 0x5,
  H2_SETTINGS_MAX_HEADER_LIST_SIZE = 0x6,
};

struct H2Settings {
  // What an endpoint assumes of its peer before the peer's SETTINGS arrive.
  static constexpr uint32_t DEFAULT_HEADER_TABLE_SIZE = 4096;
  static constexpr uint32_t DEFAULT_INITIAL_WINDOW_SIZE = 65535;
  static constexpr uint32_t DEFAULT_MAX_FRAME_SIZE = 16384;
  static constexpr uint32_t MAX_WINDOW_SIZE = 2147483647;  // 2^31 - 1
  static constexpr uint32_t MAX_OF_MAX_FRAME_SIZE = 16777215;  // 2^24 - 1
  static constexpr uint32_t UNLIMITED = 4294967295u;

  uint32_t header_table_size = DEFAULT_HEADER_TABLE_SIZE;
  bool enable_push = false;
  uint32_t max_concurrent_streams = UNLIMITED;
  uint32_t stream_window_size = DEFAULT_INITIAL_WINDOW_SIZE;
  uint32_t connection_window_size = DEFAULT_INITIAL_WINDOW_SIZE;
  uint32_t max_frame_size = DEFAULT_MAX_FRAME_SIZE;
  uint32_t max_header_list_size = UNLIMITED;
};

}  // namespace brpc

#endif  // PLATFORM_BRPC_HTTP2_H
