// The abstract client: one outgoing connection to one peer, re-created on
// demand. The RPC client talks to a transport only through this interface.
//
// The owner sets the callbacks before connecting; the transport copies them
// into every connection it creates.
#ifndef TARN_CLIENT_H_
#define TARN_CLIENT_H_

#include <memory>
#include <string>

#include "tarn/connection.h"
#include "tarn/sock_address.h"
#include "tarn/types.h"

namespace tarn {

class Client {
 public:
  Client(const SockAddress& peer, const std::string& name);
  // Force-closes the connection when it is still open.
  virtual ~Client();

  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  // Starts connecting; 0 on success (the established callback reports
  // completion).
  virtual int Connect() = 0;
  // Closes the connection (when open) and drops it.
  virtual void DisConnect() = 0;
  // Connects when there is no open connection.
  virtual int TryConnect() = 0;

  const SockAddress& peer_addr() const { return peer_addr_; }
  const std::string& name() const { return name_; }
  const std::shared_ptr<Connection>& conn() const { return conn_; }

  void set_connection_success_cb(const ConnectionCallback& cb) { connection_success_cb_ = cb; }
  void set_connection_closed_cb(const ConnectionCallback& cb) { connection_closed_cb_ = cb; }
  void set_message_read_cb(const ConnectionCallback& cb) { message_read_cb_ = cb; }
  void set_message_write_cb(const ConnectionCallback& cb) { message_write_cb_ = cb; }
  const ConnectionCallback& connection_success_cb() const { return connection_success_cb_; }
  const ConnectionCallback& connection_closed_cb() const { return connection_closed_cb_; }
  const ConnectionCallback& message_read_cb() const { return message_read_cb_; }
  const ConnectionCallback& message_write_cb() const { return message_write_cb_; }

 protected:
  // Copies the four callbacks into a new connection.
  void InstallCallbacks(Connection* conn) const;

  SockAddress peer_addr_;
  std::string name_;
  std::shared_ptr<Connection> conn_;
  ConnectionCallback connection_success_cb_;
  ConnectionCallback connection_closed_cb_;
  ConnectionCallback message_read_cb_;
  ConnectionCallback message_write_cb_;
};

}  // namespace tarn

#endif  // TARN_CLIENT_H_
