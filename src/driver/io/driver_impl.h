// The inside of PyxDriver, shared by the files of the I/O path:
//
//   pyx_driver.cc  construction, admission, the pending queue, the retry ring
//                  and its drains, completion with the overflow list, the
//                  call records, disk attachment
//   route_cache.cc client groups, the plane route cache, target selection
//   response.cc    the ladder every block-server answer goes through
//   read.cc        reads
//   write.cc       aligned writes
//   rmw.cc         unaligned writes and the block lock set
//   integrity.cc   the integrity and location vectors, the dgs map
//
// Everything here is touched on the driver's loop only.
#ifndef PYXDRIVER_IO_DRIVER_IMPL_H_
#define PYXDRIVER_IO_DRIVER_IMPL_H_

#include <google/protobuf/stubs/callback.h>

#include <cstdint>
#include <map>
#include <memory>
#include <memory_resource>
#include <string>
#include <unordered_map>
#include <vector>

#include "bvar/bvar.h"
#include "io/pyx_driver.h"
#include "io/stats_pool.h"
#include "tarn/base/log_stream.h"
#include "tarn/timer_queue.h"
#include "vovorav.pb.h"

namespace tarn {
class RpcClient;
class RpcController;
}  // namespace tarn
struct spdk_ring;

namespace pyx {

constexpr uint64_t kBlockSize = 4096;
constexpr uint64_t kBlockMask = kBlockSize - 1;
constexpr uint64_t kRouteSlots = 8192;
constexpr size_t kRetryRingEntries = 524288;
// Timing records pooled per driver; beyond them I/O take theirs from the
// heap.
constexpr size_t kStatsRecords = 4096;
// How long the loop watches for a host's next post once nothing is out.
constexpr uint32_t kNextPostWaitUs = 20;

inline bool IsAligned4k(uint64_t offset, uint64_t len) { return ((offset | len) & kBlockMask) == 0; }
inline uint64_t AlignDown(uint64_t v) { return v & ~kBlockMask; }
inline uint64_t AlignUp(uint64_t v) { return (v + kBlockMask) & ~kBlockMask; }

// The metrics of one driver, exposed as "pyxdriver worker<id>" + suffix.
struct DriverMetrics {
  explicit DriverMetrics(int id);

  bvar::Adder<uint64_t> reads, read_bytes, writes, write_bytes;  // private counters
  bvar::PerSecond<bvar::Adder<uint64_t>> read_iops, read_bw, write_iops, write_bw;
  bvar::LatencyRecorder read_lat, write_lat;
  bvar::Adder<uint64_t> write_fail_count, read_fail_count;
  bvar::Adder<uint64_t> in_flighting, retry_num, pending_sum;  // gauges
  // Every time admission put an I/O in the pending queue (an I/O issued
  // again from the queue and refused again counts again): what a host reads
  // to see how much waited for the queue's timer.
  bvar::Adder<uint64_t> pending_total;
  bvar::Adder<uint64_t> write_512_sum, read_512_sum, write_4k_sum, read_4k_sum;
  bvar::Adder<uint64_t> query_route_count;
};

// The 4 KiB blocks a read-modify-write holds, from its lock step until it
// ends (across its retries): the whole aligned range it reads and writes
// back, keyed by its first block. The holds of one disk never overlap.
struct BlockHold {
  uint64_t end;           // one past its last block
  const bdev_pyx_io* io;  // the unaligned write holding them
  // Aligned writes of these blocks that were sent before the hold was taken
  // and are not answered yet: the read stage waits for them, or the merged
  // range would bring back what they replace.
  uint32_t sent_before;
};

// One disk as one driver knows it, from attachment to DetachDisk. The
// record pointer is dereferenced only while the disk is attached.
struct DiskState {
  // `holds` takes its nodes from `nodes` (the driver's).
  explicit DiskState(std::pmr::memory_resource* nodes) : holds(nodes) {}

  bdev_pyx* disk = nullptr;
  uint64_t serial = 0;  // tells a re-attached record at the same address apart
  std::string name;     // copies for log lines and keys
  std::string uuid;
  std::unique_ptr<vovorav::PlaneRouteDetail[]> routes;  // kRouteSlots, or none
  // The geometry of the routes in `routes` (0 before the first answer): a
  // plane is always found by the geometry its route was given for.
  uint64_t die_capacity = 0, plane_capacity = 0, block_capacity = 0;
  // Blocks held by unaligned writes. Every write that overlaps a hold waits
  // until it is given back; an empty map costs an aligned write one test.
  std::pmr::map<uint64_t, BlockHold> holds;
  std::vector<uint32_t> crc;
  std::vector<uint8_t> segment_id, stream_id, extent_id;
  std::vector<uint32_t> offset_in_extent;
  bool warned_beyond_vectors = false;
  uint64_t own_counter = 0;  // the throttle's counter when the record has none
};

enum class CallKind : uint8_t { kRead, kWrite, kRmwRead };

// One block-server call of an I/O: the closure its answer runs, with the
// request, response and controller it needs. Reused through a free list.
struct IoCall : public google::protobuf::Closure {
  void Run() override;

  PyxDriver::Impl* impl = nullptr;
  CallKind kind = CallKind::kRead;
  tarn::RpcController* cntl = nullptr;
  // Unaligned writes: the read stage's controller, whose data the write
  // sends; deleted when the write's answer has been handled.
  tarn::RpcController* keep = nullptr;
  bdev_pyx_io* io = nullptr;
  uint32_t ip = 0;    // block-server IPv4 address as routed (0 for IPv6)
  uint32_t port = 0;  // with gazelle_port
  uint64_t disk_serial = 0;
  vovorav::BlockServerReadRequest read_req;
  vovorav::BlockServerReadResponse read_resp;
  vovorav::BlockServerWriteRequest write_req;
  vovorav::BlockServerWriteResponse write_resp;
  IoCall* prev = nullptr;  // outstanding list
  IoCall* next = nullptr;
};

// Where an I/O goes: the routed endpoint and the client taken for it.
struct Target {
  tarn::RpcClient* client = nullptr;
  uint32_t ip = 0;
  uint32_t port = 0;
};

// What a path gives back when it cannot send (its admission) and which fail
// counter a refused I/O counts in. Block locks stay with a retried write and
// go when it fails (Fail).
struct RouteUse {
  bool admitted;
  bool read_counter;
};

struct V4Key {
  uint32_t ip;
  uint32_t port;
  bool operator==(const V4Key& o) const { return ip == o.ip && port == o.port; }
};
struct V4Hash {
  size_t operator()(const V4Key& k) const {
    return static_cast<size_t>((static_cast<uint64_t>(k.port) * 2) ^ k.ip);
  }
};
struct V6Key {
  uint32_t ip[4];
  uint32_t port;
  bool operator==(const V6Key& o) const {
    return ip[0] == o.ip[0] && ip[1] == o.ip[1] && ip[2] == o.ip[2] && ip[3] == o.ip[3] &&
           port == o.port;
  }
};
struct V6Hash {
  size_t operator()(const V6Key& k) const {
    uint64_t h = k.port;
    for (uint32_t w : k.ip) h = h * 0x9E3779B97F4A7C15ull ^ w;
    return static_cast<size_t>(h);
  }
};

// The texts of one handler's ladder.
struct LadderTexts {
  CallKind kind;
  const char* io_line;    // exists 0: the I/O line's first field
  const char* refetch;    // connection failure
  const char* stale;      // stale route term
  const char* missing;    // -12006 / -12007
  const char* no_memory;  // -12016
  const char* not_ready;  // -12018
  const char* generic;    // other -14000 .. -12000
  const char* failed;     // any other code
};

enum class Verdict { kSuccess, kRetry, kFail };

// A Read request for the 4 KiB-aligned range covering the I/O (read.cc).
void FillReadRequest(const DiskState* st, const bdev_pyx_io* io, int id,
                     vovorav::BlockServerReadRequest* req);
// A Write request of [lba, lba + size) with the dgs this driver knows
// (write.cc).
void FillWriteRequest(const DiskState* st, const std::map<std::string, uint64_t>& dgs, int id,
                      uint64_t lba, uint64_t size, vovorav::BlockServerWriteRequest* req);

}  // namespace pyx

struct PyxDriver::Impl {
  Impl(tarn::Transport tp, tarn::Worker* worker, int id);
  ~Impl();
  Impl(const Impl&) = delete;
  Impl& operator=(const Impl&) = delete;

  // ---- Disks (pyx_driver.cc).
  pyx::DiskState* Attach(bdev_pyx* disk);
  pyx::DiskState* Find(bdev_pyx* disk) const;
  pyx::DiskState* FindByName(const std::string& name) const;
  // The disk of an I/O when attached and not being freed.
  pyx::DiskState* LiveDisk(const bdev_pyx_io* io);
  // The disk of a call's I/O when it is still the one the call was sent for.
  pyx::DiskState* CallDisk(const pyx::IoCall* call);
  void Detach(bdev_pyx* disk);

  // ---- Shut-down (pyx_driver.cc): completes with -1 every I/O still held,
  // deletes the client groups; true the first time.
  bool FailEverything();

  // ---- I/O flow (pyx_driver.cc).
  void Issue(bdev_pyx_io* io);  // by type, as the drains do
  bool Admit(bdev_pyx_io* io);
  void GiveBack();
  // Back on the retry ring for the periodic drain (not a block waiter).
  void RetryEnqueue(bdev_pyx_io* io);
  // On the retry ring as a write waiting for blocks: issued again after
  // the next release of blocks (or by the periodic drain).
  void WaitForBlocks(bdev_pyx_io* io);
  void RingPut(bdev_pyx_io* io);
  void DrainRetry(bool lock_waiters_only);
  void PollPending();
  // Fails an I/O (status -1, completion step); an unaligned write gives
  // back the blocks it holds.
  void Fail(bdev_pyx_io* io, bool is_read);
  // The completion step: frees stats, then hands the I/O to the host (or to
  // the overflow list). The I/O must not be touched afterwards.
  void Complete(bdev_pyx_io* io);
  void FlushOverflow();
  // Appends to the overflow list (linked through the record's own links).
  void AppendOverflow(bdev_pyx_io* io);
  void ScheduleFlush(bool progress);
  int64_t LatencyUs(const bdev_pyx_io* io) const;
  void RecordRead(const bdev_pyx_io* io);
  void RecordWrite(const bdev_pyx_io* io);
  void RouteQuery(pyx::DiskState* st);
  bool Throttle(pyx::DiskState* st);

  // ---- Calls (pyx_driver.cc).
  // A call record linked as outstanding, with a new controller on the
  // target client's connection.
  pyx::IoCall* NewCall(pyx::CallKind kind, bdev_pyx_io* io, pyx::DiskState* st,
                       const pyx::Target& target);
  void ReleaseCall(pyx::IoCall* call);
  void OnAnswer(pyx::IoCall* call);

  // ---- Routes and client groups (route_cache.cc).
  // True with a target; otherwise the I/O has been retried or failed (and
  // its admission given back, or its locks released, as asked).
  bool Route(pyx::DiskState* st, bdev_pyx_io* io, const pyx::RouteUse& use, pyx::Target* t);
  ClientManager* GroupV4(uint32_t ip, uint32_t port);
  ClientManager* GroupV6(const ::Ipv6Addr& ip, uint32_t port);
  void SetGroupV4(uint32_t ip, const std::string& text, uint32_t port, int n);
  void SetGroupV6(const ::Ipv6Addr& ip, const std::string& text, uint32_t port, int n);
  void CopyRoutes(const std::string& name,
                  const vovorav::BlockMasterQueryPlaneRouteResponse& resp);

  // ---- The answer ladder (response.cc).
  pyx::Verdict Ladder(const pyx::LadderTexts& t, pyx::DiskState* st, pyx::IoCall* call,
                      const ::ResultCode& rc, uint64_t resp_term);
  void AppendContext(plinth::LogStream& s, const pyx::DiskState* st, pyx::IoCall* call) const;
  void AppendRcTail(plinth::LogStream& s, const pyx::DiskState* st, pyx::IoCall* call,
                    const ::ResultCode& rc) const;
  void FailGone(pyx::IoCall* call, bool is_read);

  // ---- Paths (read.cc, write.cc, rmw.cc).
  void Read(bdev_pyx_io* io);
  void OnReadAnswer(pyx::IoCall* call);
  void ReadDone(pyx::DiskState* st, pyx::IoCall* call);
  void Write(bdev_pyx_io* io);
  void OnWriteAnswer(pyx::IoCall* call);
  void WriteDone(pyx::DiskState* st, pyx::IoCall* call);
  void Rmw(bdev_pyx_io* io);
  void OnRmwAnswer(pyx::IoCall* call);
  void RmwWriteStage(pyx::DiskState* st, pyx::IoCall* call);
  // The hold of the unaligned write `io`, if it has taken one (it keeps it
  // from its lock step until it ends).
  pyx::BlockHold* HoldOf(pyx::DiskState* st, const bdev_pyx_io* io) const;
  // An aligned write: true when it overlaps a hold and has gone to wait for
  // it. Called only while the disk has holds.
  bool WaitsForHold(pyx::DiskState* st, bdev_pyx_io* io);
  // An aligned write's call has ended: holds that waited for it may go on.
  // Called only while the disk has holds.
  void AlignedWriteEnded(pyx::DiskState* st, const bdev_pyx_io* io);
  // Aligned writes of the disk sent and not answered that overlap blocks
  // [first, end).
  uint32_t SentWritesIn(const pyx::DiskState* st, uint64_t first, uint64_t end) const;
  // Gives back the blocks `io` holds (never another write's); 1 when it
  // held any.
  int ReleaseLocks(pyx::DiskState* st, const bdev_pyx_io* io);
  // Lets every write waiting for blocks try again after the current task.
  void ScheduleBlockWaiters();
  // The blocks `io` holds, if any, when it ends another way than its paths'
  // own exits (failed while retrying, its disk going away).
  void DropBlocksOf(const bdev_pyx_io* io);

  // ---- Integrity (integrity.cc).
  // How many of blocks [first, first + n) a vector of `size` entries holds;
  // the rest skip their bookkeeping (one WARN per disk).
  uint64_t VectorsCover(pyx::DiskState* st, uint64_t first, uint64_t n, size_t size);
  void CheckReadCrc(pyx::DiskState* st, pyx::IoCall* call, const char* data, bool zerod);
  void RecordLocations(pyx::DiskState* st, const bdev_pyx_io* io,
                       const vovorav::BlockServerWriteResponse& resp);

  tarn::Transport transport;
  tarn::Worker* worker;
  int id;
  pyx::DriverMetrics metrics;
  // Expires with the driver: tasks and timers posted earlier check it.
  std::shared_ptr<bool> alive;
  // Set by Shutdown: the worker is about to stop, every I/O fails at once.
  bool finished = false;
  tarn::TimerId retry_timer;
  tarn::TimerId pending_timer;

  // The timing records of this driver's I/O; outlives every I/O the
  // destructor fails.
  pyx::StatsPool stats_pool{pyx::kStatsRecords};
  // The nodes of every disk's holds: a node freed by a release is the next
  // hold's, so locking allocates only while more writes hold blocks at once
  // than ever before. Declared before the disks, whose maps use it.
  std::pmr::unsynchronized_pool_resource lock_nodes;
  std::unordered_map<bdev_pyx*, std::unique_ptr<pyx::DiskState>> disks;
  bdev_pyx* last_disk = nullptr;  // the last disk looked up, and its state
  pyx::DiskState* last_state = nullptr;
  std::unordered_map<std::string, pyx::DiskState*> disks_by_name;
  uint64_t next_serial = 1;
  std::map<std::string, uint64_t> dgs;

  std::unordered_map<pyx::V4Key, ClientManager*, pyx::V4Hash> groups_v4;
  std::unordered_map<pyx::V6Key, ClientManager*, pyx::V6Hash> groups_v6;

  int64_t poll_ms = 1;    // the pending poll's period, as its countdown step
  int64_t in_flight = 0;  // mirrors "_in_flighting"
  bdev_pyx_io* pending_head = nullptr;
  bdev_pyx_io** pending_tail = &pending_head;
  size_t pending = 0;

  spdk_ring* retry_ring = nullptr;
  size_t retry_entries = 0;
  std::unique_ptr<void*[]> batch;  // one drain's entries
  bool retry_now_scheduled = false;

  bdev_pyx_io* overflow_head = nullptr;  // linked through link.tqe_next
  bdev_pyx_io* overflow_tail = nullptr;
  size_t overflow = 0;
  bool flush_scheduled = false;
  bool overflow_episode = false;  // warned once; ends when the list empties
  uint64_t overflow_late = 0;     // I/O delivered late in this episode

  pyx::IoCall outstanding;  // sentinel of the calls awaiting an answer
  size_t outstanding_count = 0;
  size_t outstanding_peak = 0;  // most calls out at once since it was last 0
  std::vector<pyx::IoCall*> free_calls;
};

#endif  // PYXDRIVER_IO_DRIVER_IMPL_H_
