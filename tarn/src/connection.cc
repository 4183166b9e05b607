#include "tarn/connection.h"

namespace tarn {

std::atomic<int64_t> g_conn_id{0};

Connection::Connection(const std::string& name, int64_t id, const SockAddress& peer,
                       Transport transport)
    : name_(name), id_(id), peer_addr_(peer), transport_(transport) {}

Connection::~Connection() = default;

int Connection::SendDataV(const struct iovec* pieces, int count) {
  for (int i = 0; i < count; ++i) {
    const int rc = SendData(pieces[i].iov_base, pieces[i].iov_len);
    if (rc != 0) return rc;
  }
  return 0;
}

void Connection::RunConnectionSuccessCb(const std::shared_ptr<Connection>& self) {
  if (connection_success_cb_) connection_success_cb_(self);
}

void Connection::RunConnectionClosedCb(const std::shared_ptr<Connection>& self) {
  if (connection_closed_cb_) connection_closed_cb_(self);
}

void Connection::RunMessageReadCb(const std::shared_ptr<Connection>& self) {
  if (message_read_cb_) message_read_cb_(self);
}

void Connection::RunMessageWriteCb(const std::shared_ptr<Connection>& self) {
  if (message_write_cb_) message_write_cb_(self);
}

}  // namespace tarn
