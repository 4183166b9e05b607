// The metrics HTTP server.
//
// StartDummyServerAt(port) serves, on its own thread, every exposed metric
// variable over HTTP/1.1 on all local addresses:
//   GET /vars         "name : value", one variable per line, sorted by name
//   GET /vars/NAME    the value of one variable (404 when unknown)
//   GET /metrics      the numeric variables in the Prometheus text format
// It runs until the process exits.
#ifndef PLATFORM_BRPC_SERVER_H
#define PLATFORM_BRPC_SERVER_H

namespace brpc {

// Returns 0 when the server is running (also when it already was, on
// whatever port), -1 when the port is invalid or cannot be listened on (one
// line on standard error says why). Port 0 takes any free port.
int StartDummyServerAt(int port);

// The port the server listens on, 0 while it is not running.
int DummyServerPort();

}  // namespace brpc

#endif  // PLATFORM_BRPC_SERVER_H
