// A simulated storage cluster on loopback ports: volume managers, block
// masters and block servers that answer the driver's calls as a real cluster
// would, over a RAM block store, with deterministic fault controls.
//
//   pyxsim::ClusterOptions opt;
//   opt.block_servers = 3;
//   pyxsim::Cluster cluster(opt);
//   if (cluster.Start() != 0) ...;
//   cluster.CreateDisk("disk0", 1ull << 30);
//   // INI: volume_manager_ips = cluster.volume_manager_ips(), ports likewise
//   cluster.faults().FailCalls(pyxsim::Role::kBlockServer, 0, "Write", -12016, 3);
//   ...
//   EXPECT_EQ(cluster.ReadStored("disk0", 0, 4096), expected);
//
// What the servers answer:
//   Volume managers (volume.VolumeManagerService), disks by name:
//     GetVdiSize, LocateVdi (uuid, block masters with the primary as role 0,
//     every block server, dgs), RegisterVdi / UnregisterVdi (recorded).
//   Block masters (vovorav.BlockMasterService), disks by uuid:
//     QueryPlaneRoute: the disk's term, its geometry and one route per plane,
//     die by die, so that the position of a route in the answer is the plane
//     number Geometry::PlaneOf gives. Only the primary answers; the others
//     say kRcNotLeader.
//   Block servers (vovorav.BlockServerService), disks by uuid:
//     Write / Read of whole 4 KiB blocks. Every answer carries the disk's
//     current route term in latest_route_term, failures included. A request
//     with another term gets kRcStaleRouteTerm; a range on a plane the server
//     does not hold gets kRcPlaneNotHere; a malformed request (unaligned,
//     attachment length other than size, past the disk's end)
//     kRcInvalidArgument; a write that would store new blocks past the
//     cluster's memory budget kRcNoSpace ("memory budget of the cluster
//     spent"). A read of blocks never written answers zerod with no data; a
//     partly written range answers data with zeros in the gaps.
//
// The block servers share each disk's store (as servers over a shared
// storage layer would), so moving a plane between them moves no data and a
// stopped server loses none. Route terms are per disk: a route change raises
// the term of the whole disk, as the driver keeps one term per disk.
//
// Threads: every server runs its own worker colony (block servers with
// `threads` workers, the others with one) and one acceptor thread serves the
// whole cluster. Answers held back wait on timers of their connection's loop.
// While random faults play cluster events they have a thread of their own.
// Every public method is thread-safe.
#ifndef PYXSIM_CLUSTER_H_
#define PYXSIM_CLUSTER_H_

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace pyxsim {

// Result codes of the simulated servers.
constexpr int kRcOk = 0;
constexpr int kRcNotLeader = -10003;       // block master that is not the primary
constexpr int kRcVdiNotFound = -10006;     // volume manager / block master: no such disk
constexpr int kRcStaleRouteTerm = -12003;  // block server: the request's term is not current
constexpr int kRcPlaneNotHere = -12006;    // block server: a plane of the range is elsewhere
constexpr int kRcVdiNotOnServer = -12007;  // block server: no such disk
constexpr int kRcInvalidArgument = -1001;  // malformed request; never worth a retry
// Block server: the write would pass the cluster's memory budget. Outside
// the range a driver retries: more room will not come by waiting.
constexpr int kRcNoSpace = -1028;

constexpr uint64_t kBlockSize = 4096;

// Route geometry of every disk, as the block master reports it. With
// D = die_capacity, P = plane_capacity, B = block_capacity and N = D / P, a
// byte offset lies in plane ((offset % D) / B) % N + (offset / D) * N.
// The defaults give 16 planes per 256 MiB die (64 planes for 1 GiB, 256 for
// 4 GiB), and 1 MiB blocks, a multiple of any I/O stripe up to 256 KiB, so
// that an I/O of one stripe never spans two planes.
struct Geometry {
  uint64_t die_unit_capacity = 64ull << 30;
  uint64_t die_capacity = 256ull << 20;
  uint64_t plane_capacity = 16ull << 20;
  uint64_t block_capacity = 1ull << 20;

  // Non-zero values, P divides D, B a multiple of 4 KiB dividing P.
  bool Valid() const;
  uint64_t planes_per_die() const { return die_capacity / plane_capacity; }
  uint64_t PlaneOf(uint64_t offset) const;
  // Every die of the disk, the last one too when partial, has all its planes.
  uint64_t PlaneCount(uint64_t disk_size) const;
  // The plane's first byte offset (the plane_id of its route).
  uint64_t PlaneStart(uint64_t plane) const;
};

// The driver keeps routes for at most this many planes of a disk.
constexpr uint64_t kMaxPlanes = 8192;

enum class Role { kVolumeManager = 0, kBlockMaster = 1, kBlockServer = 2 };
const char* RoleName(Role role);

struct ClusterOptions {
  std::string ip = "127.0.0.1";  // every server listens here
  bool ipv6 = false;             // ip is an IPv6 address ("::1")
  int volume_managers = 1;
  int block_masters = 1;
  int block_servers = 2;
  int threads = 2;  // worker threads of each block server
  // Block-server loops poll without sleeping: a call is seen without a
  // wake-up, at the price of one busy core per block-server worker.
  bool busy_poll = false;
  Geometry geometry;
  // Fixed ports: volume managers first, then block masters, then block
  // servers; missing or 0 entries take free ports.
  std::vector<uint16_t> ports;
  // Controllers per server worker (answers being built or held back).
  uint32_t pool_size = 4096;
  // Block servers serve over RDMA (transport 1) instead of TCP: the
  // connection handshake runs on their port and the calls on `threads`
  // polling workers each, which spin without sleeping (keep them within the
  // spare cores). The device and GID are the ones that hold `ip`. rdma_srq
  // picks the shared receive queue; rdma_recv_depth is the receives each
  // worker keeps posted. Volume managers and block masters stay on TCP.
  bool rdma = false;
  bool rdma_srq = true;
  uint32_t rdma_recv_depth = 128;
  // Bytes of written blocks the cluster's disks may hold together; writes
  // that would add blocks past it are answered kRcNoSpace. 0: no bound.
  uint64_t memory_budget = 0;
};

// Answer faults of block-server reads and writes (FailCalls covers codes).
// The attachment faults bend answers that carry data, that is reads of
// ranges with written blocks; on other reads they wear off unseen.
enum class IoFault {
  kWrongSize,        // read: `size` one block short of the request
  kShortAttachment,  // read: data one block shorter than `size`
  kLongAttachment,   // read: data one block longer than `size`
  kFlipByte,         // read: one byte of the data flipped
  kForceZerod,       // read: zerod and no data, whatever is stored
  kStaleTerm,        // read or write: latest_route_term not the disk's term
};
const char* IoFaultName(IoFault fault);

// Random faults for a soak: only faults a correct driver survives without
// losing or corrupting data. Per-call rates are probabilities (0..1) applied
// to every block-server read and write; cluster events happen one every
// event_interval_ms, chosen at random among the enabled kinds.
struct RandomFaultRates {
  double retcode = 0;  // a retryable code (-12001, -12016, -12018, -12006, -12007)
  double delay = 0;    // the answer held back delay_ms (data stored first)
  int delay_ms = 0;
  double close = 0;  // the connection closed instead of an answer
  int event_interval_ms = 0;  // 0: no cluster events
  bool route_moves = false;   // a random plane moves to another block server
  bool restarts = false;      // a block server stops, restarts after down_ms
  bool failovers = false;     // volume manager 0 or block master 0 down for down_ms
  int down_ms = 200;
};

struct RandomFaultStats {
  uint64_t retcodes = 0;
  uint64_t delays = 0;
  uint64_t closes = 0;
  uint64_t route_moves = 0;
  uint64_t restarts = 0;
  uint64_t failovers = 0;
};

class Cluster;
class ClusterState;

// Fault controls of one cluster. A call fault matches calls by role, server
// index (kAnyServer: every server of the role) and method name ("" every
// implemented method); `times` calls are hit (kForever: all). The oldest
// matching fault that has not worn off is applied, once per call.
class Faults {
 public:
  static constexpr int kAnyServer = -1;
  static constexpr int kForever = -1;

  // The answer's rc is `retcode` (after delay_ms when non-zero); no work is
  // done. Block-server answers still carry the disk's term.
  void FailCalls(Role role, int index, const std::string& method, int retcode, int times = 1,
                 int delay_ms = 0);
  // The call is served, then its answer held back delay_ms (a write's data is
  // stored before): past the client's timeout the answer arrives late.
  void DelayCalls(Role role, int index, const std::string& method, int delay_ms, int times = 1);
  // No answer at all, no work done.
  void DropCalls(Role role, int index, const std::string& method, int times = 1);
  // The connection is closed instead of an answer, no work done.
  void CloseOnCalls(Role role, int index, const std::string& method, int times = 1);
  // Block server `index` ("Read", "Write" or "") answers with the fault.
  void InjectIoFault(int index, const std::string& method, IoFault fault, int times = 1);
  // Removes every call and I/O fault (random faults stay).
  void ClearCallFaults();
  // Call and I/O faults that have not worn off.
  int PendingFaults() const;

  // Server life. A stopped server's port refuses connections; a restarted
  // one listens on the same port. A server marked down keeps its port but
  // closes the connection of every call until marked up. 0 or -1.
  int StopServer(Role role, int index);
  int RestartServer(Role role, int index);
  int MarkDown(Role role, int index);
  int MarkUp(Role role, int index);
  bool IsRunning(Role role, int index) const;
  bool IsDown(Role role, int index) const;
  // The block master that answers routes (role 0 in LocateVdi); 0 at start.
  int SetPrimaryBlockMaster(int index);
  int primary_block_master() const;

  // Routes. MovePlane gives the plane to another block server and raises the
  // disk's term. UnroutePlanes makes the block master answer the planes (all
  // when the list is empty) with port 0 until RestorePlanes. A disk reported
  // missing is answered kRcVdiNotFound by volume managers and block masters.
  // 0, or -1 for an unknown disk, plane or server.
  int MovePlane(const std::string& disk, uint64_t plane, int block_server);
  int UnroutePlanes(const std::string& disk, const std::vector<uint64_t>& planes = {});
  int RestorePlanes(const std::string& disk, const std::vector<uint64_t>& planes = {});
  int ReportDiskMissing(const std::string& disk, bool missing);

  // Calls that reached server (role, index) (kAnyServer: all of the role)
  // for `method` ("" every method), faulted ones included.
  uint64_t CallCount(Role role, int index, const std::string& method) const;
  void ResetCounts();

  // Starts (or restarts with new rates) the random faults; deterministic for
  // a seed and a given order of calls.
  void SetRandomFaults(uint64_t seed, const RandomFaultRates& rates);
  // Stops them and waits until every server is up and running again.
  void StopRandomFaults();
  RandomFaultStats random_stats() const;

 private:
  friend class Cluster;
  explicit Faults(ClusterState* state) : state_(state) {}
  ClusterState* state_;
};

class Cluster {
 public:
  explicit Cluster(const ClusterOptions& options);
  // Stops the cluster.
  ~Cluster();
  Cluster(const Cluster&) = delete;
  Cluster& operator=(const Cluster&) = delete;

  // Starts every server; 0, or -1 (logged) when options are invalid or a
  // port cannot be bound. Once only.
  int Start();
  // Stops every server; held-back answers are sent first. Idempotent.
  void Stop();

  const ClusterOptions& options() const;
  // For the INI keys volume_manager_ips and volume_manager_ports:
  // "127.0.0.1,127.0.0.1" and "4001,4002".
  std::string volume_manager_ips() const;
  std::string volume_manager_ports() const;
  int count(Role role) const;
  uint16_t port(Role role, int index) const;

  // A disk of `size` bytes (a multiple of 4 KiB, at most kMaxPlanes planes)
  // with a new uuid. 0, or -1 when the name exists or the size is refused.
  int CreateDisk(const std::string& name, uint64_t size, uint64_t dgs = 1);
  bool HasDisk(const std::string& name) const;
  std::vector<std::string> DiskNames() const;
  // Empty / 0 for an unknown disk.
  std::string DiskUuid(const std::string& name) const;
  uint64_t DiskSize(const std::string& name) const;
  uint64_t DiskDgs(const std::string& name) const;  // as LocateVdi answers it
  int SetDiskDgs(const std::string& name, uint64_t dgs);
  uint64_t RouteTerm(const std::string& name) const;
  uint64_t PlaneCount(const std::string& name) const;
  // The block server that holds the plane; -1 when unknown.
  int PlaneServer(const std::string& name, uint64_t plane) const;

  // The stored bytes of a disk range (zeros where never written); empty for
  // an unknown disk or a range past its end. Any alignment.
  std::string ReadStored(const std::string& name, uint64_t offset, uint64_t len) const;
  // Stores bytes as a write would (offset and size 4 KiB aligned); 0 or -1.
  int WriteStored(const std::string& name, uint64_t offset, const std::string& data);
  // 4 KiB blocks of the disk ever written.
  uint64_t WrittenBlocks(const std::string& name) const;

  // Disk name -> endpoint text ("ip:port", "[ip]:port" for IPv6) of the
  // client that registered it last and has not unregistered.
  std::map<std::string, std::string> Registrations() const;

  // Takes a snapshot of a disk as the cluster does: calls the snapshot
  // service of the client that registered the disk
  // (volume.PYXDriverService.CreateSnapshot with the disk's name and dgs)
  // and, when the client answers 0, makes dgs the disk's data generation
  // sequence. The client's retcode goes to *retcode. Returns 0 when the call
  // completed, a negative RPC error (tarn::RpcController), or -1 for an
  // unknown or unregistered disk. Blocks; not on a server's thread.
  int NotifySnapshot(const std::string& name, uint64_t dgs, int* retcode,
                     uint32_t timeout_ms = 10000);

  Faults& faults() { return faults_; }

 private:
  std::unique_ptr<ClusterState> state_;
  Faults faults_;
};

}  // namespace pyxsim

#endif  // PYXSIM_CLUSTER_H_
