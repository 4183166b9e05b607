// Reading the "ORLA" sections of the host's INI configuration.
//
// Keys are read in a fixed order and each value is assigned at once; the
// first failing check ends the walk. Several "ORLA" sections are read one
// after the other, a later one setting every variable again: an absent
// integer key takes its compiled default (except the three settled below),
// an absent flag its documented default.
#include "control/config.h"

#include <cstdlib>
#include <cstring>

#include "butil/logging.h"
#include "spdk/conf.h"
#include "tarn/base/logging.h"

namespace pyx {
namespace {

constexpr uint64_t kMiB = 1048576;
constexpr int kMaxWorkers = 16;

// Compiled defaults of the integer keys that fall back to them when absent.
constexpr int kDefaultRetrySleepMs = 500;
constexpr int kDefaultMaxIoSize = 16384;
constexpr int kMaxStripe = 1048576;
constexpr int64_t kDefaultMaxFlighting = 300;
constexpr int64_t kDefaultPollingIntervalMs = 500;
constexpr int64_t kDefaultRetryPendingMs = 8000;
constexpr int kDefaultClientNums = 1;
constexpr int64_t kDefaultRpcTimeout = 10000;
constexpr uint32_t kMaxRpcDepth = 2048;
constexpr int kMaxPort = 65535;

// recv_buff_size is in KiB; a receive buffer beyond 1 GiB is no size a
// message can have.
constexpr int64_t kMaxRecvBuffKiB = 1048576;
// The largest answer a block server sends: a read (or the read of a
// read-modify-write) of the largest I/O the library accepts, 262144 bytes,
// at an offset that is not 4 KiB-aligned covers 65 blocks of 4 KiB.
constexpr int64_t kLargestIo = 262144;
constexpr int64_t kLargestAnswerData = kLargestIo + 4096;
// Its headers: the RDMA message header (8 bytes), the frame head (20), the
// RPC header and the read answer's message, with room to spare.
constexpr int64_t kAnswerHeaderRoom = 1024;

class SectionReader {
 public:
  explicit SectionReader(spdk_conf_section* sp) : sp_(sp) {}

  bool Has(const char* key) const { return spdk_conf_section_get_val(sp_, key) != nullptr; }

  // The reader's value of a present key (negative when it is not a
  // non-negative decimal integer), else `absent`.
  int64_t Int(const char* key, int64_t absent) const {
    return Has(key) ? spdk_conf_section_get_intval(sp_, key) : absent;
  }
  // -1 for an absent key, as the reader gives it.
  int RawInt(const char* key) const { return spdk_conf_section_get_intval(sp_, key); }

  bool Bool(const char* key, bool absent) const {
    return spdk_conf_section_get_boolval(sp_, key, absent);
  }

  // An absent key reads as an empty string.
  std::string Str(const char* key) const {
    const char* v = spdk_conf_section_get_val(sp_, key);
    return v == nullptr ? std::string() : std::string(v);
  }

 private:
  spdk_conf_section* sp_;
};

// A failed check: its own line, then the common one.
ConfigResult Fail() {
  LOG_ERROR << "Failed to int env";
  return kConfigFailed;
}

// Reads the flags and announces the ones switched on.
void ReadFlag(const SectionReader& r, const char* key, uint8_t* var, const char* on_line) {
  *var = r.Bool(key, false) ? 1 : 0;
  if (*var && on_line != nullptr) {
    LOG_INFO << on_line;
  }
}

ConfigResult ReadRequiredString(const SectionReader& r, const char* key, std::string* var) {
  *var = r.Str(key);
  if (var->empty()) {
    LOG_ERROR << "error: ORLA missing " << key;
    return kConfigFailed;
  }
  return kConfigOk;
}

ConfigResult ReadConnectionKeys(const SectionReader& r) {
  if (ReadRequiredString(r, "volume_manager_ips", &volume_manager_ips) != kConfigOk) return Fail();
  if (ReadRequiredString(r, "volume_manager_ports", &volume_manager_ports) != kConfigOk) {
    return Fail();
  }
  if (ReadRequiredString(r, "rdma_device", &rdma_device) != kConfigOk) return Fail();
  rdma_port = static_cast<int>(r.Int("rdma_port", 0));
  gazelle_port = static_cast<int>(r.Int("gazelle_port", 0));
  rdma_index = static_cast<int>(r.Int("rdma_index", 0));
  kLogLevel = r.Str("kLogLevel");
  if (kLogLevel.empty()) kLogLevel = "info";
  return kConfigOk;
}

// The I/O driver's periods, stripe, limits and worker count.
ConfigResult ReadIoKeys(const SectionReader& r) {
  retry_sleep_ms = static_cast<int>(r.Int("retry_sleep_ms", kDefaultRetrySleepMs));
  if (retry_sleep_ms <= 0) {
    LOG_ERROR << "error: retry_sleep_ms should be greater than 0, got " << retry_sleep_ms;
    return Fail();
  }
  max_io_size = static_cast<int>(r.Int("max_io_size", kDefaultMaxIoSize));
  if (max_io_size <= 0 || max_io_size % 4096 != 0) {
    LOG_ERROR << "error: max_io_size should be a positive multiple of 4096, got " << max_io_size;
    return Fail();
  }
  // Every worker reserves 512 chunks of max_io_size + 8192 bytes for I/O
  // data, while no I/O is longer than 256 KiB: a wider stripe only changes
  // which driver an I/O goes to, and soon costs more memory than a worker
  // can reserve (near 2 GiB the chunk size no longer fits at all).
  if (max_io_size > kMaxStripe) {
    LOG_ERROR << "error: max_io_size should be at most " << kMaxStripe << ", got " << max_io_size;
    return Fail();
  }
  // Nothing would ever be admitted: every I/O would wait in the pending
  // queue until its disk is freed.
  max_flighting = r.Int("max_flighting", kDefaultMaxFlighting);
  if (max_flighting <= 0) {
    LOG_ERROR << "error: max_flighting should be greater than 0, got " << max_flighting;
    return Fail();
  }
  polling_interval_ms = r.Int("polling_interval_ms", kDefaultPollingIntervalMs);
  if (polling_interval_ms <= 0) {
    LOG_ERROR << "error: polling_interval_ms should be greater than 0, got "
              << polling_interval_ms;
    return Fail();
  }
  retry_pending_ms = r.Int("retry_pending_ms", kDefaultRetryPendingMs);
  if (r.Has("worker_num")) {
    worker_num = r.RawInt("worker_num");
    if (worker_num > kMaxWorkers) {
      LOG_ERROR << "error: io worker should less than 16";
      return Fail();
    }
    if (worker_num < 1) {
      LOG_ERROR << "error: io worker should be at least 1, got " << worker_num;
      return Fail();
    }
  } else {
    worker_num = 0;
  }
  worker_core_mask = r.Str("worker_core_mask");
  return kConfigOk;
}

ConfigResult ReadSwitchesAndLog(const SectionReader& r) {
  ReadFlag(r, "is_soc", &is_soc, "is_soc is true");
  ReadFlag(r, "is_tcp", &is_tcp, "is_tcp is true");
  ReadFlag(r, "is_crc", &is_crc, "is_crc is true");
  ReadFlag(r, "enable_metric", &enable_metric, "enable_metric is true");
  ReadFlag(r, "enable_tarn_metric", &enable_tarn_metric, "enable tarn metric is true");
  tarn_metrics_interval = static_cast<int>(r.Int("tarn_metrics_interval", 0));
  if (enable_tarn_metric) {
    LOG_INFO << "tarn metrics interval is " << tarn_metrics_interval;
  }
  kAsynLog = r.Bool("asyn_log", true) ? 1 : 0;

  // In MiB; compared unsigned, so a negative value (and an absent key) gives
  // the largest size.
  const int size_mib = r.RawInt("log_size");
  log_size = static_cast<uint64_t>(static_cast<int64_t>(size_mib)) * kMiB;
  if (size_mib < 0 || log_size > max_log_size) log_size = max_log_size;
  LOG_INFO << "log size " << log_size << " asyn log " << (kAsynLog ? "1" : "0");
  if (r.Has("log_file")) {
    log_file = r.Str("log_file");
    LOG_INFO << "log file " << log_file;
  }
  return kConfigOk;
}

ConfigResult ReadRpcKeys(const SectionReader& r) {
  ReadFlag(r, "is_ipv6", &is_ipv6, "ipv6 is true");
  client_nums = static_cast<int>(r.Int("client_nums", kDefaultClientNums));
  if (client_nums < 1) {
    LOG_ERROR << "error: client_nums should be at least 1, got " << client_nums;
    return Fail();
  }
  rpc_timeout = r.Int("rpc_timeout", kDefaultRpcTimeout);
  // The clients take it as an unsigned count of milliseconds: 0 or a
  // negative value (also what the reader gives for a value it cannot read)
  // is no time-out that can work.
  if (rpc_timeout <= 0) {
    LOG_ERROR << "error: rpc_timeout should be greater than 0, got " << rpc_timeout;
    return Fail();
  }
  // Taken unsigned: an absent key (-1) and anything above the cap give 2048.
  rpc_depth = static_cast<uint32_t>(r.RawInt("rpc_depth"));
  if (rpc_depth > kMaxRpcDepth) rpc_depth = kMaxRpcDepth;
  LOG_INFO << "rpc depth is " << rpc_depth;
  conn_idle_time = static_cast<uint32_t>(r.Int("conn_idle_time", 0));
  LOG_INFO << "conn idle time is " << conn_idle_time;
  recv_buff_size = r.Int("recv_buff_size", 0);
  return kConfigOk;
}

ConfigResult ReadServiceKeys(const SectionReader& r) {
  if (!r.Has("service_ip")) {
    LOG_ERROR << "ERROR: ORLA missing service ip";
    return Fail();
  }
  service_ip = r.Str("service_ip");
  service_port = r.RawInt("service_port");
  if (service_port < 0) {
    LOG_ERROR << "ERROR: ORLA missing service port";
    return Fail();
  }
  // The port is registered at the volume managers as written: one the
  // service cannot listen on (0 picks a random one, above 65535 wraps)
  // would never hear of snapshots.
  if (service_port == 0 || service_port > kMaxPort) {
    LOG_ERROR << "error: service_port should be from 1 to " << kMaxPort << ", got "
              << service_port;
    return Fail();
  }
  service_worker_num = static_cast<int>(r.Int("service_worker_num", 0));
  if (service_worker_num < 0) {
    LOG_ERROR << "error: service_worker_num should not be negative, got " << service_worker_num;
    return Fail();
  }
  return kConfigOk;
}

ConfigResult ReadSection(spdk_conf_section* sp) {
  SectionReader r(sp);
  if (r.Bool("crash_on_fatal_log", true)) logging::crash_on_fatal_log.store(true);
  use_orla = r.Bool("use_orla", false) ? 1 : 0;
  if (!use_orla) {
    LOG_INFO << "not use orla";
    return kConfigNotUsed;
  }
  ConfigResult rc = ReadConnectionKeys(r);
  if (rc == kConfigOk) rc = ReadIoKeys(r);
  if (rc == kConfigOk) rc = ReadSwitchesAndLog(r);
  if (rc == kConfigOk) rc = ReadRpcKeys(r);
  if (rc == kConfigOk) rc = ReadServiceKeys(r);
  return rc;
}

// A port of the volume-manager list: decimal digits only, 1 to 65535.
bool IsPort(const std::string& text) {
  if (text.empty() || text.size() > 5) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  const long port = strtol(text.c_str(), nullptr, 10);
  return port >= 1 && port <= 65535;
}

// The two volume-manager lists are paired by position.
ConfigResult CheckVolumeManagerLists() {
  const std::vector<std::string> ips = SplitList(volume_manager_ips);
  const std::vector<std::string> ports = SplitList(volume_manager_ports);
  if (ips.size() != ports.size()) {
    LOG_ERROR << "error: volume_manager_ips has " << ips.size()
              << " addresses but volume_manager_ports has " << ports.size() << " ports";
    return Fail();
  }
  for (const std::string& port : ports) {
    if (!IsPort(port)) {
      LOG_ERROR << "error: volume manager port \"" << port << "\" is not a number from 1 to 65535";
      return Fail();
    }
  }
  return kConfigOk;
}

// Over RDMA recv_buff_size (KiB) sets the largest data of a message this end
// receives, which it announces to its peers. Smaller than the largest
// answer, the block servers would refuse to send it, and the I/O would time
// out and retry for ever: start-up refuses such a size instead. Absent (0)
// keeps the framework's default, which is large enough.
ConfigResult CheckRecvBuffSize() {
  if (is_tcp || recv_buff_size == 0) return kConfigOk;
  if (recv_buff_size < 0 || recv_buff_size > kMaxRecvBuffKiB) {
    LOG_ERROR << "error: recv_buff_size should be between 1 and " << kMaxRecvBuffKiB
              << " KiB, got " << recv_buff_size;
    return Fail();
  }
  const int64_t need = kLargestAnswerData + kAnswerHeaderRoom;
  if (recv_buff_size * 1024 < need) {
    LOG_ERROR << "error: recv_buff_size " << recv_buff_size << " KiB is too small for an I/O of "
              << kLargestIo << " bytes plus its headers, it should be at least "
              << (need + 1023) / 1024 << " KiB";
    return Fail();
  }
  return kConfigOk;
}

}  // namespace

ConfigResult ReadConfig() {
  for (spdk_conf_section* sp = spdk_conf_first_section(nullptr); sp != nullptr;
       sp = spdk_conf_next_section(sp)) {
    if (!spdk_conf_section_match_prefix(sp, "ORLA")) continue;
    const ConfigResult rc = ReadSection(sp);
    if (rc != kConfigOk) return rc;
  }
  const ConfigResult rc = CheckVolumeManagerLists();
  return rc == kConfigOk ? CheckRecvBuffSize() : rc;
}

std::vector<std::string> SplitList(const std::string& list) {
  std::vector<std::string> pieces;
  if (list.empty()) return pieces;
  size_t begin = 0;
  while (true) {
    const size_t comma = list.find(',', begin);
    const size_t end = comma == std::string::npos ? list.size() : comma;
    size_t first = begin;
    size_t last = end;
    while (first < last && list[first] == ' ') ++first;
    while (last > first && list[last - 1] == ' ') --last;
    pieces.push_back(list.substr(first, last - first));
    if (comma == std::string::npos) break;
    begin = comma + 1;
  }
  return pieces;
}

}  // namespace pyx
