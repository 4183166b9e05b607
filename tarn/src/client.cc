#include "tarn/client.h"

namespace tarn {

Client::Client(const SockAddress& peer, const std::string& name)
    : peer_addr_(peer),
      name_(name),
      connection_success_cb_(DefaultConnectionSuccessCb),
      connection_closed_cb_(DefaultConnectionClosedCb),
      message_read_cb_(DefaultMessageReadCb) {}

Client::~Client() {
  if (conn_ && !conn_->IsClosed()) {
    conn_->ForceClose();
  }
}

void Client::InstallCallbacks(Connection* conn) const {
  conn->set_connection_success_cb(connection_success_cb_);
  conn->set_connection_closed_cb(connection_closed_cb_);
  conn->set_message_read_cb(message_read_cb_);
  conn->set_message_write_cb(message_write_cb_);
}

}  // namespace tarn
