#include "brpc/server.h"

#include <arpa/inet.h>
#include <errno.h>
#include <event2/buffer.h>
#include <event2/event.h>
#include <event2/http.h>
#include <event2/listener.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "bvar/variable.h"

namespace brpc {
namespace {

// How long accepting rests after a failed accept, and how often at most a
// failure is reported.
constexpr timeval kAcceptPause = {0, 100 * 1000};
constexpr std::chrono::seconds kReportInterval(1);

struct DummyServer {
  event_base* base = nullptr;
  evhttp* http = nullptr;
  evconnlistener* listener = nullptr;  // owned by http
  event* wake = nullptr;
  event* resume = nullptr;  // ends a pause of accepting
  int wake_fd = -1;
  int port = 0;
  // Server thread only: the last failure report and the pauses since.
  std::chrono::steady_clock::time_point last_report;
  bool reported = false;
  uint64_t unreported_pauses = 0;
  std::thread thread;
};

std::mutex g_mu;
DummyServer* g_server = nullptr;  // never freed: it serves until exit

void reply(evhttp_request* req, int code, const char* reason, const std::string& body) {
  evbuffer* buf = evbuffer_new();
  if (buf == nullptr) {
    evhttp_send_error(req, HTTP_INTERNAL, nullptr);
    return;
  }
  evbuffer_add(buf, body.data(), body.size());
  evhttp_add_header(evhttp_request_get_output_headers(req), "Content-Type",
                    "text/plain; charset=utf-8");
  evhttp_send_reply(req, code, reason, buf);
  evbuffer_free(buf);
}

std::string vars_page() {
  std::vector<std::pair<std::string, std::string>> vars;
  bvar::Variable::dump_exposed(&vars);
  std::string body;
  for (const auto& kv : vars) body += kv.first + " : " + kv.second + "\n";
  return body;
}

bool is_number(const std::string& s) {
  if (s.empty()) return false;
  char* end = nullptr;
  std::strtod(s.c_str(), &end);
  return end == s.c_str() + s.size();
}

bool is_metric_name(const std::string& s) {
  if (s.empty() || (s[0] >= '0' && s[0] <= '9')) return false;
  for (char c : s) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                    (c >= '0' && c <= '9') || c == '_' || c == ':';
    if (!ok) return false;
  }
  return true;
}

std::string metrics_page() {
  std::vector<std::pair<std::string, std::string>> vars;
  bvar::Variable::dump_exposed(&vars);
  std::string body;
  for (const auto& kv : vars) {
    if (!is_metric_name(kv.first) || !is_number(kv.second)) continue;
    body += "# TYPE " + kv.first + " gauge\n" + kv.first + " " + kv.second + "\n";
  }
  return body;
}

void on_request(evhttp_request* req, void* /*arg*/) {
  const evhttp_uri* uri = evhttp_request_get_evhttp_uri(req);
  const char* raw = uri != nullptr ? evhttp_uri_get_path(uri) : nullptr;
  const std::string path = raw != nullptr ? raw : "";
  if (path == "/vars" || path == "/vars/") {
    reply(req, HTTP_OK, "OK", vars_page());
  } else if (path == "/metrics") {
    reply(req, HTTP_OK, "OK", metrics_page());
  } else if (path.compare(0, 6, "/vars/") == 0) {
    std::ostringstream value;
    if (bvar::Variable::describe_exposed(path.substr(6), value) == 0) {
      reply(req, HTTP_OK, "OK", value.str() + "\n");
    } else {
      reply(req, HTTP_NOTFOUND, "Not Found", "no such variable\n");
    }
  } else {
    reply(req, HTTP_NOTFOUND, "Not Found", "not found\n");
  }
}

void on_wake(evutil_socket_t fd, short /*what*/, void* arg) {
  uint64_t n = 0;
  if (read(fd, &n, sizeof(n)) < 0) {
    // Nothing to drain; the loop stops all the same.
  }
  event_base_loopbreak(static_cast<event_base*>(arg));
}

// A failed accept (out of descriptors, most likely) leaves the connection
// waiting and the listening socket readable: accepting again at once would
// fail again at once, forever, at full speed. Accepting rests for a moment
// instead, while waiting clients stay in the backlog, and the failure is
// reported at most once a second.
void on_accept_error(evconnlistener* listener, void* /*http*/) {
  const int err = EVUTIL_SOCKET_ERROR();
  // Set before the server thread, the only caller, started; never changed.
  DummyServer* s = g_server;
  evconnlistener_disable(listener);
  evtimer_add(s->resume, &kAcceptPause);
  const auto now = std::chrono::steady_clock::now();
  if (s->reported && now - s->last_report < kReportInterval) {
    ++s->unreported_pauses;
    return;
  }
  std::fprintf(stderr,
               "metrics server: accept failed: %s; accepting paused, %llu earlier pauses "
               "not reported\n",
               std::strerror(err), static_cast<unsigned long long>(s->unreported_pauses));
  s->reported = true;
  s->last_report = now;
  s->unreported_pauses = 0;
}

void on_resume(evutil_socket_t /*fd*/, short /*what*/, void* arg) {
  evconnlistener_enable(static_cast<DummyServer*>(arg)->listener);
}

void stop_at_exit() {
  DummyServer* s = nullptr;
  {
    std::lock_guard<std::mutex> lock(g_mu);
    s = g_server;
  }
  if (s == nullptr || !s->thread.joinable()) return;
  const uint64_t one = 1;
  if (write(s->wake_fd, &one, sizeof(one)) == sizeof(one)) s->thread.join();
}

// A non-blocking listening IPv4 socket on all addresses, or -1.
int listen_on(int port, int* bound_port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  const int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
  sockaddr_in addr;
  std::memset(&addr, 0, sizeof(addr));
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  socklen_t len = sizeof(addr);
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
      listen(fd, 128) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    const int saved = errno;
    close(fd);
    errno = saved;
    return -1;
  }
  *bound_port = ntohs(addr.sin_port);
  return fd;
}

void destroy(DummyServer* s) {
  if (s->wake != nullptr) event_free(s->wake);
  if (s->resume != nullptr) event_free(s->resume);
  if (s->http != nullptr) evhttp_free(s->http);  // closes the listener
  if (s->base != nullptr) event_base_free(s->base);
  if (s->wake_fd >= 0) close(s->wake_fd);
  delete s;
}

}  // namespace

int StartDummyServerAt(int port) {
  std::lock_guard<std::mutex> lock(g_mu);
  if (g_server != nullptr) return 0;
  if (port < 0 || port > 65535) {
    std::fprintf(stderr, "metrics server: invalid port %d\n", port);
    return -1;
  }
  int bound = 0;
  const int fd = listen_on(port, &bound);
  if (fd < 0) {
    std::fprintf(stderr, "metrics server: cannot listen on port %d: %s\n", port,
                 std::strerror(errno));
    return -1;
  }
  DummyServer* s = new DummyServer;
  s->port = bound;
  s->base = event_base_new();
  s->http = s->base != nullptr ? evhttp_new(s->base) : nullptr;
  s->wake_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (s->http == nullptr || s->wake_fd < 0) {
    std::fprintf(stderr, "metrics server: cannot set up the HTTP server on port %d\n",
                 bound);
    close(fd);
    destroy(s);
    return -1;
  }
  evhttp_bound_socket* bound_socket = evhttp_accept_socket_with_handle(s->http, fd);
  if (bound_socket == nullptr) {
    // Whether libevent kept the descriptor is unknown here: leave it be.
    std::fprintf(stderr, "metrics server: cannot accept on port %d\n", bound);
    destroy(s);
    return -1;
  }
  s->listener = evhttp_bound_socket_get_listener(bound_socket);
  s->resume = evtimer_new(s->base, on_resume, s);
  if (s->listener == nullptr || s->resume == nullptr) {
    std::fprintf(stderr, "metrics server: cannot set up the HTTP server on port %d\n",
                 bound);
    destroy(s);
    return -1;
  }
  evconnlistener_set_error_cb(s->listener, on_accept_error);
  // Requests come from the network: keep them small and never idle forever.
  evhttp_set_allowed_methods(s->http, EVHTTP_REQ_GET | EVHTTP_REQ_HEAD);
  evhttp_set_max_headers_size(s->http, 16384);
  evhttp_set_max_body_size(s->http, 4096);
  evhttp_set_timeout(s->http, 30);
  evhttp_set_gencb(s->http, on_request, nullptr);
  s->wake = event_new(s->base, s->wake_fd, EV_READ | EV_PERSIST, on_wake, s->base);
  if (s->wake == nullptr || event_add(s->wake, nullptr) != 0) {
    std::fprintf(stderr, "metrics server: cannot set up the HTTP server on port %d\n",
                 bound);
    destroy(s);
    return -1;
  }
  g_server = s;
  s->thread = std::thread([s] { event_base_dispatch(s->base); });
  std::atexit(stop_at_exit);
  return 0;
}

int DummyServerPort() {
  std::lock_guard<std::mutex> lock(g_mu);
  return g_server != nullptr ? g_server->port : 0;
}

}  // namespace brpc
