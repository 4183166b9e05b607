#include "driver_keys.h"

#include <arpa/inet.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdint>
#include <functional>
#include <sstream>

namespace pyxbench {

namespace {

using Check = std::function<bool(const std::string&)>;

struct Key {
  const char* name;
  std::string allowed;  // what --help and a refusal state
  Check ok;
};

const std::string kIntMax = std::to_string(INT_MAX);

// Decimal digits only, at most INT_MAX: what the configuration reader
// reads as a number (a sign, blanks or hex make it -1).
bool ReaderInt(const std::string& v, int64_t* out) {
  if (v.empty() || v.size() > 10) return false;
  for (char c : v) {
    if (!isdigit(static_cast<unsigned char>(c))) return false;
  }
  *out = std::stoll(v);
  return *out <= INT_MAX;
}

Key Int(const char* name, int64_t lo, int64_t hi, const std::string& also = "") {
  const std::string text =
      std::to_string(lo) + " to " + (hi == INT_MAX ? kIntMax : std::to_string(hi)) + also;
  return {name, text, [lo, hi](const std::string& v) {
            int64_t n;
            return ReaderInt(v, &n) && n >= lo && n <= hi;
          }};
}

// What the reader takes as a flag; anything else is the flag's default.
bool IsFlag(const std::string& v) {
  std::string lower = v;
  for (char& c : lower) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  for (const char* word : {"yes", "no", "true", "false", "y", "n"}) {
    if (lower == word) return true;
  }
  return false;
}

Key Flag(const char* name) {
  return {name, "yes, no, true, false, y or n (any case)", IsFlag};
}

bool IsAddress(const std::string& v) {
  unsigned char buf[16];
  return inet_pton(AF_INET, v.c_str(), buf) == 1 || inet_pton(AF_INET6, v.c_str(), buf) == 1;
}

// "a, b ,c": the pieces between commas, blanks trimmed, as the library cuts
// the volume-manager lists.
std::vector<std::string> Pieces(const std::string& list) {
  std::vector<std::string> out;
  std::istringstream in(list);
  std::string piece;
  while (std::getline(in, piece, ',')) {
    const size_t b = piece.find_first_not_of(' ');
    const size_t e = piece.find_last_not_of(' ');
    out.push_back(b == std::string::npos ? "" : piece.substr(b, e - b + 1));
  }
  if (!list.empty() && list.back() == ',') out.push_back("");
  return out;
}

bool EachPiece(const std::string& list, const Check& ok) {
  const std::vector<std::string> pieces = Pieces(list);
  return !pieces.empty() && std::all_of(pieces.begin(), pieces.end(), ok);
}

bool IsPort(const std::string& v) {
  int64_t n;
  return ReaderInt(v, &n) && n >= 1 && n <= 65535;
}

// Over RDMA the receive buffer must hold the largest answer: 256 KiB of
// data at an offset that is not 4 KiB-aligned (65 blocks) and 1 KiB of
// headers; over TCP the key is not read.
constexpr int64_t kMinRecvBuffKiB = (262144 + 4096 + 1024) / 1024;
constexpr int64_t kMaxRecvBuffKiB = 1048576;

const std::vector<Key>& Keys() {
  static const std::vector<Key> keys = {
      Flag("asyn_log"),
      Int("client_nums", 1, INT_MAX),
      Int("conn_idle_time", 0, INT_MAX, " (0: never)"),
      Flag("crash_on_fatal_log"),
      Flag("enable_metric"),
      Flag("enable_tarn_metric"),
      Int("gazelle_port", 0, 65535),
      Flag("is_crc"),
      Flag("is_ipv6"),
      Flag("is_soc"),
      Flag("is_tcp"),
      // Empty: the driver takes info.
      {"kLogLevel", "trace, debug, info, warning, error or fatal (empty: info)",
       [](const std::string& v) {
         if (v.empty()) return true;
         for (const char* level : {"trace", "debug", "info", "warning", "error", "fatal"}) {
           if (v == level) return true;
         }
         return false;
       }},
      {"log_file", "a path in a folder that exists",
       [](const std::string& v) {
         if (v.empty() || v.back() == '/') return false;
         const size_t slash = v.rfind('/');
         const std::string dir = slash == std::string::npos ? "." : v.substr(0, slash + 1);
         struct stat st;
         return stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
       }},
      Int("log_size", 1, 8192, " (MiB)"),
      Int("max_flighting", 1, INT_MAX),
      {"max_io_size", "multiples of 4096 from 4096 to 1048576",
       [](const std::string& v) {
         int64_t n;
         return ReaderInt(v, &n) && n >= 4096 && n <= 1048576 && n % 4096 == 0;
       }},
      Int("polling_interval_ms", 1, INT_MAX),
      {"rdma_device", "a device name (letters, digits, '_', '-', '.')",
       [](const std::string& v) {
         return !v.empty() && std::all_of(v.begin(), v.end(), [](char c) {
           return isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-' || c == '.';
         });
       }},
      Int("rdma_index", 0, 255),
      Int("rdma_port", 0, 255),
      {"recv_buff_size",
       "0 (the framework's size), or " + std::to_string(kMinRecvBuffKiB) + " to " +
           std::to_string(kMaxRecvBuffKiB) + " (KiB)",
       [](const std::string& v) {
         int64_t n;
         return ReaderInt(v, &n) && (n == 0 || (n >= kMinRecvBuffKiB && n <= kMaxRecvBuffKiB));
       }},
      Int("retry_pending_ms", 0, INT_MAX),
      Int("retry_sleep_ms", 1, INT_MAX),
      Int("rpc_depth", 0, 2048, " (0: no limit)"),
      Int("rpc_timeout", 10, 600000, ", as --rpc-timeout-ms"),
      {"service_ip", "an IPv4 or IPv6 address", IsAddress},
      {"service_port", "1 to 65535", IsPort},
      Int("service_worker_num", 0, INT_MAX),
      Int("tarn_metrics_interval", 0, INT_MAX, " (seconds)"),
      {"use_orla", "yes, true or y (pyxbench needs the library started)",
       [](const std::string& v) { return IsFlag(v) && (v[0] == 'y' || v[0] == 'Y' ||
                                                       v[0] == 't' || v[0] == 'T'); }},
      {"volume_manager_ips", "IPv4 or IPv6 addresses separated by commas",
       [](const std::string& v) { return EachPiece(v, IsAddress); }},
      {"volume_manager_ports", "ports (1 to 65535) separated by commas, one per address",
       [](const std::string& v) { return EachPiece(v, IsPort); }},
      // Empty: no mask (the framework picks the cores); the framework reads
      // the prefix in either case.
      {"worker_core_mask", "hexadecimal digits, with or without 0x or 0X, or empty (no mask)",
       [](const std::string& v) {
         if (v.empty()) return true;
         const bool prefixed = v.size() >= 2 && v[0] == '0' && (v[1] == 'x' || v[1] == 'X');
         const std::string digits = prefixed ? v.substr(2) : v;
         return !digits.empty() && std::all_of(digits.begin(), digits.end(), [](char c) {
           return isxdigit(static_cast<unsigned char>(c)) != 0;
         });
       }},
      Int("worker_num", 1, 16, ", as --drivers"),
  };
  return keys;
}

const Key* Find(const std::string& name) {
  for (const Key& k : Keys()) {
    if (name == k.name) return &k;
  }
  return nullptr;
}

}  // namespace

const std::vector<std::string>& DriverKeyNames() {
  static const std::vector<std::string> names = [] {
    std::vector<std::string> out;
    for (const Key& k : Keys()) out.push_back(k.name);
    return out;
  }();
  return names;
}

std::string DriverValueProblem(const std::string& key, const std::string& value) {
  const Key* k = Find(key);
  if (k == nullptr) return "no key of the driver's configuration";
  // The value goes into the file as a line of its own: a line break would
  // add keys, a '#' would cut it short.
  for (char c : value) {
    if (c == '#' || iscntrl(static_cast<unsigned char>(c))) {
      return k->allowed + ", without '#' or control characters";
    }
  }
  return k->ok(value) ? "" : k->allowed;
}

std::string DriverKeysHelp() {
  std::string out;
  for (const Key& k : Keys()) out += std::string("  ") + k.name + ": " + k.allowed + "\n";
  return out;
}

}  // namespace pyxbench
