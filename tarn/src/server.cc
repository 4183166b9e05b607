#include "tarn/server.h"

#include "tarn/base/logging.h"
#include "tarn/polling/spdk_nvme_device.h"
#include "tarn/worker_colony.h"

namespace tarn {

Server::Server(EventWorker* acceptor, const SockAddress& listen, const std::string& name,
               const WorkerOption& option, WorkerColony* colony)
    : acceptor_(acceptor),
      listen_addr_(listen),
      name_(name),
      option_(option),
      colony_(colony),
      outside_colony_(colony != nullptr) {
  if (colony != nullptr) {
    worker_num_ = colony->worker_num();
    option_ = colony->option();
  }
}

Server::~Server() = default;

void Server::set_worker_num(uint32_t n) {
  if (outside_colony_) {
    LOG_WARN << "server's worker_colony is not null, " << "should not set worker_num";
    return;
  }
  if (n == 0) {
    LOG_WARN << "worker_num is 0, will set worker_num 1";
    n = 1;
  }
  worker_num_ = n;
}

void Server::SetCreateUserHandleCb(const CreateUserHandleCb& cb) {
  if (outside_colony_) {
    LOG_WARN << "server's worker_colony is not null, " << "should not set CreateUserHandleCb";
    return;
  }
  create_user_handle_cb_ = cb;
}

void Server::AddSpdkNvmeDevice(const std::shared_ptr<SpdkNvmeDevice>& dev) {
  if (outside_colony_) {
    LOG_WARN << "server's worker_colony is not null, " << "should not set spdk dev: "
             << dev->dev_id();
    return;
  }
  if (!spdk_devs_.emplace(dev->dev_id(), dev).second) {
    LOG_WARN << "this dev id has added, dev_id: " << dev->dev_id();
  }
}

void Server::HandSpdkDevices(WorkerColony* colony) const {
  for (const auto& entry : spdk_devs_) colony->AddSpdkNvmeDevice(entry.second);
}

std::vector<std::shared_ptr<Connection>> Server::connections() const {
  std::vector<std::shared_ptr<Connection>> out;
  out.reserve(conn_map_.size());
  for (const auto& entry : conn_map_) out.push_back(entry.second);
  return out;
}

void Server::InstallCallbacks(Connection* conn) const {
  conn->set_connection_success_cb(connection_success_cb_);
  conn->set_connection_closed_cb(connection_closed_cb_);
  conn->set_message_read_cb(message_read_cb_);
  conn->set_message_write_cb(message_write_cb_);
}

}  // namespace tarn
