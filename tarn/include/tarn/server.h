// The abstract server: a listening endpoint that accepts connections onto the
// event or polling workers of a colony. The RPC server talks to a transport
// only through this interface.
//
// Configure with the setters before Start. A server given an outside colony
// places its connections there and ignores the settings that only matter for
// a colony of its own (worker count, user-handle factory, devices).
#ifndef TARN_SERVER_H_
#define TARN_SERVER_H_

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "tarn/connection.h"
#include "tarn/sock_address.h"
#include "tarn/types.h"

namespace tarn {

class EventWorker;
class Loop;
class SpdkNvmeDevice;
class WorkerColony;

class Server {
 public:
  using CreateUserHandleCb = std::function<UserHandle*(Loop*)>;

  // With a non-null colony the server takes the colony's worker count and
  // option (the option argument is then ignored).
  Server(EventWorker* acceptor, const SockAddress& listen, const std::string& name,
         const WorkerOption& option, WorkerColony* colony);
  virtual ~Server();

  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  virtual int Start() = 0;
  virtual int Stop() = 0;
  virtual int RemoveConnection(const std::shared_ptr<Connection>& conn) = 0;
  virtual int RemoveConnectionBySrcIp(const std::string& ip) = 0;
  virtual int AddBlacklist(const std::string& ip, uint32_t seconds) = 0;
  virtual int RemoveBlacklist(const std::string& ip) = 0;

  void set_worker_num(uint32_t n);
  uint32_t worker_num() const { return worker_num_; }
  void SetCreateUserHandleCb(const CreateUserHandleCb& cb);
  // An SPDK NVMe device for the server's own colony (ignored, with a
  // warning, with an outside colony or an id already registered).
  void AddSpdkNvmeDevice(const std::shared_ptr<SpdkNvmeDevice>& dev);
  const std::map<uint32_t, std::shared_ptr<SpdkNvmeDevice>>& spdk_devs() const {
    return spdk_devs_;
  }

  void set_connection_success_cb(const ConnectionCallback& cb) { connection_success_cb_ = cb; }
  void set_connection_closed_cb(const ConnectionCallback& cb) { connection_closed_cb_ = cb; }
  void set_message_read_cb(const ConnectionCallback& cb) { message_read_cb_ = cb; }
  void set_message_write_cb(const ConnectionCallback& cb) { message_write_cb_ = cb; }

  const std::string& name() const { return name_; }
  const SockAddress& listen_addr() const { return listen_addr_; }
  EventWorker* acceptor() const { return acceptor_; }
  WorkerColony* worker_colony() const { return colony_; }
  const WorkerOption& option() const { return option_; }
  bool started() const { return started_.load(std::memory_order_acquire); }
  // Acceptor loop thread: the connections the server keeps now.
  std::vector<std::shared_ptr<Connection>> connections() const;
  // Whether the colony was given from outside (else the server builds its
  // own, which goes with the server).
  bool outside_colony() const { return outside_colony_; }

 protected:
  // Copies the four callbacks into a new connection.
  void InstallCallbacks(Connection* conn) const;
  // Subclasses building their own colony: registers the server's SPDK NVMe
  // devices with it before it starts.
  void HandSpdkDevices(WorkerColony* colony) const;

  EventWorker* acceptor_;
  SockAddress listen_addr_;
  std::string name_;
  WorkerOption option_;
  std::atomic<bool> started_{false};
  uint32_t worker_num_ = 1;
  std::map<int64_t, std::shared_ptr<Connection>> conn_map_;
  WorkerColony* colony_;
  // Whether colony_ was given from outside (else the server builds its own).
  bool outside_colony_;
  ConnectionCallback connection_success_cb_;
  ConnectionCallback connection_closed_cb_;
  ConnectionCallback message_read_cb_;
  ConnectionCallback message_write_cb_;
  CreateUserHandleCb create_user_handle_cb_;
  std::map<uint32_t, std::shared_ptr<SpdkNvmeDevice>> spdk_devs_;
  std::set<std::string> blacklist_;
};

}  // namespace tarn

#endif  // TARN_SERVER_H_
