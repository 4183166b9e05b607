// One RPC system as bench_rpc_compare measures it: a server that runs in a
// child process of its own, and a client in the benchmark process that
// keeps a given number of echo calls outstanding.
//
// The harness (rpc_compare.cc) starts the server by re-executing the
// benchmark program in server mode, which builds a fresh instance through
// the registry and calls StartServer(); it reads the child's CPU time over a
// control socket before and after every measured run. In the benchmark
// process it builds a second instance, calls ConnectClient() with the
// server's port, RunClient() once to warm up and once measured per depth,
// then DisconnectClient(). An implementation therefore never sees its own
// server and client in the same process.
//
// Every call sends kRequestBytes and is answered with kResponseBytes.
//
// Adding a system: write rpc_compare/<name>.cc with a class derived from
// SystemUnderTest and register it at namespace scope:
//
//   RPC_COMPARE_REGISTER(MyEchoSystem);
//
// The build adds every rpc_compare/*.cc to bench_rpc_compare.
#ifndef BENCH_RPC_COMPARE_SYSTEM_UNDER_TEST_H_
#define BENCH_RPC_COMPARE_SYSTEM_UNDER_TEST_H_

#include <stdint.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace rpc_compare {

constexpr size_t kRequestBytes = 4096;
constexpr size_t kResponseBytes = 64;

typedef std::chrono::steady_clock Clock;

// What a row stands for when the harness prints ratios. Rows are printed
// in this order.
enum class Role {
  kBaseline,           // gRPC: the system to beat
  kCandidateBlocking,  // the framework with event loops that block
  kCandidateBusyPoll,  // the framework with event loops that spin
  kBlockingFloor,      // bare blocking sockets: nothing can be faster
  kSpinningFloor,      // bare busy-polled sockets
};

struct ClientRun {
  int outstanding;         // calls kept in flight, 1 .. MaxOutstanding()
  uint64_t calls;          // calls to complete
  Clock::time_point deadline;  // issue no new call after this; drain and return
};

struct ClientResult {
  uint64_t calls = 0;     // calls answered successfully
  uint64_t failures = 0;  // calls that failed (any failure spoils the row)
  std::vector<uint32_t> latency_ns;  // one per successful call, issue to answer
  std::string error;      // first failure, for the report
};

class SystemUnderTest {
 public:
  virtual ~SystemUnderTest() = default;

  // Unique row name, also used to select the server in the child process.
  virtual std::string Name() const = 0;
  virtual Role role() const = 0;
  // Deepest pipeline the client supports; depths beyond it are skipped.
  virtual int MaxOutstanding() const { return 1 << 20; }
  // A line for the report saying how the system is set up.
  virtual std::string Describe() const { return std::string(); }

  // Server process: listen on 127.0.0.1 at an ephemeral port and serve on
  // threads of the implementation's own; returns the port, or -1.
  virtual int StartServer() = 0;
  // Server process: stop serving. The process exits right after.
  virtual void StopServer() = 0;

  // Benchmark process.
  virtual bool ConnectClient(uint16_t port) = 0;
  virtual ClientResult RunClient(const ClientRun& run) = 0;
  virtual void DisconnectClient() = 0;
};

typedef std::function<std::unique_ptr<SystemUnderTest>()> SystemFactory;

// Registered factories, in registration order; the harness sorts by role.
std::vector<SystemFactory>& Registry();

struct Registrar {
  explicit Registrar(SystemFactory factory) { Registry().push_back(std::move(factory)); }
};

#define RPC_COMPARE_CONCAT_INNER(a, b) a##b
#define RPC_COMPARE_CONCAT(a, b) RPC_COMPARE_CONCAT_INNER(a, b)
#define RPC_COMPARE_REGISTER(Class)                                   \
  static ::rpc_compare::Registrar RPC_COMPARE_CONCAT(g_registrar_, __LINE__)( \
      [] { return std::unique_ptr<::rpc_compare::SystemUnderTest>(new Class); })

}  // namespace rpc_compare

#endif  // BENCH_RPC_COMPARE_SYSTEM_UNDER_TEST_H_
