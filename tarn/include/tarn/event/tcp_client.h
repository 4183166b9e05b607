// A client over one TCP connection to one peer, owned by one event worker's
// loop, re-created on demand.
//
// Connect, DisConnect and TryConnect run on the worker's loop: called there
// they run at once; called from any other thread they are handed to the loop
// and the caller waits. When DisConnect returns, the dropped connection is
// closed and none of its callbacks runs any more.
#ifndef TARN_EVENT_TCP_CLIENT_H_
#define TARN_EVENT_TCP_CLIENT_H_

#include <string>

#include "tarn/client.h"

namespace tarn {

class EventWorker;

class TcpClient : public Client {
 public:
  TcpClient(EventWorker* worker, const SockAddress& peer, const std::string& name);
  // DisConnect, on the loop: from another thread it waits until the close
  // has run there, so no callback of the connection runs after the client
  // (and whoever its callbacks call back) is gone. Do not destroy a client
  // from a thread its own loop may be waiting on.
  ~TcpClient() override;

  // Starts a connect unless a connection is held (open or closed). 0 when
  // started, -1 when it failed at once (the connection is then closed).
  int Connect() override;
  void DisConnect() override;
  // Connects when there is no connection, reconnects a closed one; 0.
  int TryConnect() override;

  EventWorker* worker() const { return worker_; }

 private:
  bool InLoopThread() const;
  int ConnectInLoop();
  void DisConnectInLoop();

  EventWorker* worker_;
};

}  // namespace tarn

#endif  // TARN_EVENT_TCP_CLIENT_H_
