#include "verify.h"

#include <fcntl.h>
#include <isa-l/crc.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace pyxbench {

namespace {

constexpr uint32_t kBlockMagic = 0x56425850;  // "PXBV"
constexpr char kStateMagic[8] = {'P', 'X', 'B', 'S', 'T', 'A', 'T', '1'};
// The state of a run under way: what that run writes is known once it
// saves the state at its end, never before.
constexpr char kRunningMagic[8] = {'P', 'X', 'B', 'S', 'R', 'U', 'N', '1'};

uint64_t Mix(uint64_t z) {
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
  return z ^ (z >> 31);
}

uint32_t Crc(const uint8_t* p, uint64_t n, uint32_t crc = ~0u) {
  return crc32_iscsi(const_cast<uint8_t*>(p), static_cast<int>(n), crc);
}

// The word of write `key` at disk offset `at`: the place spread by an odd
// multiplier (a bijection: distinct for every place of one write) under the
// write's key. Successive words differ by one addition, so the write path's
// 512 words per 4 KiB cost an addition and an exclusive or each.
constexpr uint64_t kSpread = 0x9e3779b97f4a7c15ull;
inline uint64_t Word(uint64_t key, uint64_t at) { return key ^ (at * kSpread); }

// One 64-bit word per aligned 8 bytes of the disk, from the write's run and
// number and the word's place.
void Pattern(uint64_t run_id, uint32_t number, uint64_t pos, uint64_t len, uint8_t* out) {
  const uint64_t key = Mix(run_id ^ (kSpread * number));
  const uint64_t end = pos + len;
  uint64_t at = pos;
  if (at % 8 == 0) {
    uint64_t spread = at * kSpread;
    for (; at + 8 <= end; at += 8, spread += 8 * kSpread) {
      const uint64_t word = key ^ spread;
      memcpy(out + (at - pos), &word, 8);
    }
  }
  while (at < end) {
    const uint64_t word_at = at & ~uint64_t{7};
    const uint64_t word = Word(key, word_at);
    const uint64_t from = at - word_at;
    const uint64_t n = std::min<uint64_t>(8 - from, end - at);
    memcpy(out + (at - pos), reinterpret_cast<const uint8_t*>(&word) + from, n);
    at += n;
  }
}

struct Header {
  uint32_t magic;
  uint32_t crc;  // of the unit's bytes after this field
  uint64_t offset;
  uint64_t run;
  uint32_t number;
  uint32_t len;
};
static_assert(sizeof(Header) == kBlockHeaderBytes, "the header's layout is its bytes");

// The unit at [pos, pos + len): its pattern, then its header.
void StampUnit(uint64_t run_id, uint32_t number, uint64_t pos, uint64_t len, uint8_t* out) {
  Pattern(run_id, number, pos, len, out);
  if (len < kBlockHeaderBytes) return;  // a short tail has no room for one
  Header h{kBlockMagic, 0, pos, run_id, number, static_cast<uint32_t>(len)};
  memcpy(out, &h, sizeof(h));
  h.crc = Crc(out + 8, len - 8);
  memcpy(out + 4, &h.crc, 4);
}

bool AllZero(const uint8_t* p, uint64_t len) {
  uint64_t i = 0;
  for (; i + 8 <= len; i += 8) {
    uint64_t w;
    memcpy(&w, p + i, 8);
    if (w != 0) return false;
  }
  for (; i < len; ++i) {
    if (p[i] != 0) return false;
  }
  return true;
}

std::string Printf(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Printf(const char* format, ...) {
  char buf[512];
  va_list args;
  va_start(args, format);
  vsnprintf(buf, sizeof(buf), format, args);
  va_end(args);
  return buf;
}

using ull = unsigned long long;

bool IsNumber(uint32_t state) { return state != kNeverWritten && state <= kMaxWriteNumber; }

std::string WriteText(uint32_t number, uint64_t run) {
  return Printf("write %u of run %s", number, RunIdText(run).c_str());
}

// The first byte of `got` that differs from what write (run, number) put
// there: "byte B is 0xGG, written 0xWW".
std::string FirstDifference(const uint8_t* got, uint64_t pos, uint64_t len, uint64_t run,
                            uint32_t number) {
  std::vector<uint8_t> want(len);
  StampUnit(run, number, pos, len, want.data());
  uint64_t i = 0;
  while (i < len && got[i] == want[i]) ++i;
  if (i == len) return "every byte as written";
  return Printf("byte %llu is 0x%02x, written 0x%02x", static_cast<ull>(pos + i), got[i], want[i]);
}

std::string FirstBytes(const uint8_t* got, uint64_t len) {
  std::string text;
  for (uint64_t i = 0; i < std::min<uint64_t>(len, 8); ++i) text += Printf("%02x", got[i]);
  return text;
}

}  // namespace

uint64_t VerifyLineage::RunOf(uint32_t number) const {
  auto it = std::upper_bound(runs_.begin(), runs_.end(), number,
                             [](uint32_t n, const Run& r) { return n < r.first; });
  return it == runs_.begin() ? 0 : std::prev(it)->id;
}

void VerifyLineage::Add(uint64_t id, uint32_t first) { runs_.push_back(Run{id, first}); }

void VerifyLineage::Prune(const std::vector<uint32_t>& units) {
  std::vector<bool> used(runs_.size(), false);
  for (uint32_t n : units) {
    if (!IsNumber(n)) continue;
    auto it = std::upper_bound(runs_.begin(), runs_.end(), n,
                               [](uint32_t v, const Run& r) { return v < r.first; });
    if (it != runs_.begin()) used[std::prev(it) - runs_.begin()] = true;
  }
  std::vector<Run> kept;
  for (size_t i = 0; i < runs_.size(); ++i) {
    if (used[i]) kept.push_back(runs_[i]);
  }
  runs_.swap(kept);
}

void StampWrite(uint64_t run_id, uint32_t number, uint64_t grid, uint64_t unit, uint64_t pos,
                uint64_t len, uint8_t* out) {
  const uint64_t end = pos + len;
  for (uint64_t at = pos; at < end;) {
    const uint64_t next = std::min(end, grid + ((at - grid) / unit + 1) * unit);
    StampUnit(run_id, number, at, next - at, out + (at - pos));
    at = next;
  }
}

UnitCheck CheckUnit(const uint8_t* got, uint64_t pos, uint64_t len, uint64_t unit,
                    uint32_t expected, const VerifyLineage& lineage, std::string* what) {
  const uint64_t want_run = IsNumber(expected) ? lineage.RunOf(expected) : 0;
  // Texts are made on a mismatch only: a check that holds allocates nothing.
  auto wanted = [&] {
    return IsNumber(expected) ? "; expected " + WriteText(expected, want_run) : std::string();
  };
  Header h;
  if (len >= kBlockHeaderBytes) memcpy(&h, got, sizeof(h));
  if (len < kBlockHeaderBytes || h.magic != kBlockMagic) {
    if (AllZero(got, len)) {
      if (!IsNumber(expected)) return UnitCheck::kNeverWritten;
      *what = "zeros (never written)" + wanted();
      return UnitCheck::kMismatch;
    }
    if (len < kBlockHeaderBytes) {
      // A tail too short for a header: only its state tells what it holds.
      if (!IsNumber(expected)) return UnitCheck::kUnchecked;
      std::vector<uint8_t> want(len);
      StampUnit(want_run, expected, pos, len, want.data());
      if (memcmp(got, want.data(), len) == 0) return UnitCheck::kVerified;
      *what = "other bytes than " + WriteText(expected, want_run) + " (" +
              FirstDifference(got, pos, len, want_run, expected) + ")";
      return UnitCheck::kMismatch;
    }
    *what = "foreign bytes (no block header: " + FirstBytes(got, len) + "...)" + wanted();
    return UnitCheck::kMismatch;
  }
  if (h.len != len) {
    *what = Printf(
        "the header of a %u-byte unit, where this run's units are %llu bytes (verify "
        "with the block size that wrote it)",
        h.len, static_cast<ull>(unit));
    return UnitCheck::kMismatch;
  }
  if (Crc(got + 8, len - 8) != h.crc) {
    *what = "a bad checksum: the header of " + WriteText(h.number, h.run) + " for offset " +
            std::to_string(h.offset) + ", " + FirstDifference(got, h.offset, len, h.run, h.number);
    return UnitCheck::kMismatch;
  }
  if (h.offset != pos) {
    *what = Printf("the block of offset %llu (", static_cast<ull>(h.offset)) +
            WriteText(h.number, h.run) + ") at the wrong offset";
    return UnitCheck::kMismatch;
  }
  if (IsNumber(expected)) {
    if (h.number == expected && h.run == want_run) return UnitCheck::kVerified;
    const bool older = h.number < expected && lineage.RunOf(h.number) == h.run;
    *what =
        WriteText(h.number, h.run) + (older ? ", an older write (a lost write)" : "") + wanted();
    return UnitCheck::kMismatch;
  }
  if (expected == kNeverWritten) {
    *what = WriteText(h.number, h.run) + " where nothing was written";
    return UnitCheck::kMismatch;
  }
  return UnitCheck::kVerified;
}

uint64_t NewRunId() {
  uint64_t id = 0;
  while (id == 0) {
    if (getrandom(&id, sizeof(id), 0) != static_cast<ssize_t>(sizeof(id))) {
      // No entropy source: the time and the process make it unique enough.
      timespec ts;
      clock_gettime(CLOCK_REALTIME, &ts);
      id = Mix(static_cast<uint64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec) ^ Mix(getpid());
    }
  }
  return id;
}

std::string RunIdText(uint64_t id) { return Printf("%016llx", static_cast<ull>(id)); }

namespace {

// The state file's description, in order (its units are written from
// their own vector).
class Writer {
 public:
  template <typename T>
  void Put(const T& v) {
    Bytes(&v, sizeof(v));
  }
  void Bytes(const void* p, size_t n) {
    const uint8_t* b = static_cast<const uint8_t*>(p);
    data_.insert(data_.end(), b, b + n);
  }
  std::vector<uint8_t>& data() { return data_; }

 private:
  std::vector<uint8_t> data_;
};

// Reads a file's bytes in order, keeping the CRC of what it read.
class FileReader {
 public:
  explicit FileReader(FILE* f) : f_(f) {}
  template <typename T>
  bool Get(T* v) {
    return Bytes(v, sizeof(*v));
  }
  bool Bytes(void* out, uint64_t n) {
    uint8_t* p = static_cast<uint8_t*>(out);
    while (n > 0) {
      const size_t k = fread(p, 1, std::min<uint64_t>(n, 1 << 20), f_);
      if (k == 0) return false;
      crc_ = Crc(p, k, crc_);
      p += k;
      n -= k;
    }
    return true;
  }
  uint32_t crc() const { return crc_; }

 private:
  FILE* f_;
  uint32_t crc_ = ~0u;
};

}  // namespace

bool LoadVerifyState(const std::string& path, VerifyStateFile* out, std::string* error) {
  // Opened without waiting: a FIFO (or a device) given for FILE is refused
  // as no file, never waited on for a writer.
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0) {
    *error = errno == ENOENT ? "it does not exist" : strerror(errno);
    if (fd >= 0) close(fd);
    return false;
  }
  if (!S_ISREG(st.st_mode)) {
    *error = "it is not a file";
    close(fd);
    return false;
  }
  FILE* f = fdopen(fd, "rb");
  if (f == nullptr) {
    *error = strerror(errno);
    close(fd);
    return false;
  }
  const uint64_t file_len = static_cast<uint64_t>(st.st_size);
  FileReader r(f);
  const std::string damaged = "it is damaged: ";
  char magic[sizeof(kStateMagic)];
  uint32_t runs = 0, name_len = 0;
  uint64_t units = 0;
  bool ok = false;
  const bool read = r.Bytes(magic, sizeof(magic));
  if (read && memcmp(magic, kRunningMagic, sizeof(magic)) == 0) {
    *error =
        "the run that last used it never ended (it was ended at once, given up or killed), so "
        "what that run wrote is not known: verify with a new state file";
  } else if (!read || memcmp(magic, kStateMagic, sizeof(magic)) != 0) {
    *error = "it is no pyxbench verify state (it does not start as one)";
  } else if (!r.Get(&out->disk_size) || !r.Get(&out->offset) || !r.Get(&out->size) ||
             !r.Get(&out->unit) || !r.Get(&out->next_number) || !r.Get(&runs) ||
             !r.Get(&name_len) || name_len > 4096 || runs > (1u << 24)) {
    *error = damaged + "it ends within its description";
  } else {
    out->disk.resize(name_len);
    ok = r.Bytes(&out->disk[0], name_len);
    // Numbers grow from run to run (a run that wrote nothing starts where
    // the next one does): any other order is no state a run saved.
    uint32_t last_first = 1;
    bool in_order = out->next_number != 0;
    for (uint32_t i = 0; ok && in_order && i < runs; ++i) {
      VerifyLineage::Run run;
      ok = r.Get(&run.id) && r.Get(&run.first);
      in_order = run.first >= last_first && run.first <= out->next_number;
      last_first = run.first;
      if (ok && in_order) out->lineage.Add(run.id, run.first);
    }
    if (!ok) *error = damaged + "it ends within its runs";
    if (ok && !in_order) {
      *error = damaged + "its write numbers are out of order";
      ok = false;
    }
    // The units' count must match the file's length before they take
    // memory: a damaged count asks for no more than the file holds (the
    // length is divided, never the count multiplied, which could wrap).
    const uint64_t head = sizeof(kStateMagic) + 8 * 4 + 4 * 3 + name_len + 12ull * runs + 8;
    const uint64_t tail = file_len >= head + 4 ? file_len - head - 4 : 1;
    if (ok && (!r.Get(&units) || out->unit == 0 || out->size % out->unit != 0 ||
               units != out->size / out->unit || tail % 4 != 0 || units != tail / 4)) {
      *error = damaged + "its units do not cover its size";
      ok = false;
    }
    if (ok) {
      out->units.resize(units);
      ok = r.Bytes(out->units.data(), units * 4);
      const uint32_t want = r.crc();
      uint32_t crc = 0;
      ok = ok && fread(&crc, 1, 4, f) == 4 && crc == want;
      if (!ok) *error = damaged + "its checksum does not match its bytes";
    }
  }
  fclose(f);
  if (!ok) out->units.clear();
  return ok;
}

bool SaveVerifyState(const std::string& path, const VerifyStateFile& state, std::string* error,
                     bool running) {
  Writer w;
  w.Bytes(running ? kRunningMagic : kStateMagic, sizeof(kStateMagic));
  w.Put(state.disk_size);
  w.Put(state.offset);
  w.Put(state.size);
  w.Put(state.unit);
  w.Put(state.next_number);
  w.Put(static_cast<uint32_t>(state.lineage.runs().size()));
  w.Put(static_cast<uint32_t>(state.disk.size()));
  w.Bytes(state.disk.data(), state.disk.size());
  for (const VerifyLineage::Run& run : state.lineage.runs()) {
    w.Put(run.id);
    w.Put(run.first);
  }
  w.Put(static_cast<uint64_t>(state.units.size()));
  // The units go from their own vector: the state is not copied whole.
  uint32_t crc = Crc(w.data().data(), w.data().size());
  const uint8_t* units = reinterpret_cast<const uint8_t*>(state.units.data());
  const uint64_t units_len = state.units.size() * 4;
  for (uint64_t at = 0; at < units_len;) {
    const uint64_t n = std::min<uint64_t>(units_len - at, 1 << 30);
    crc = Crc(units + at, n, crc);
    at += n;
  }
  const std::string tmp = path + ".new";
  const int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    *error = "cannot write " + tmp + ": " + strerror(errno);
    return false;
  }
  auto put = [fd](const uint8_t* p, uint64_t n) {
    while (n > 0) {
      const ssize_t k = write(fd, p, n);
      if (k < 0 && errno == EINTR) continue;
      if (k <= 0) return false;
      p += k;
      n -= static_cast<uint64_t>(k);
    }
    return true;
  };
  const bool ok = put(w.data().data(), w.data().size()) && put(units, units_len) &&
                  put(reinterpret_cast<const uint8_t*>(&crc), 4) && fsync(fd) == 0;
  const int saved_errno = errno;
  close(fd);
  if (!ok || rename(tmp.c_str(), path.c_str()) != 0) {
    *error = "cannot write " + tmp + ": " + strerror(ok ? errno : saved_errno);
    unlink(tmp.c_str());
    return false;
  }
  return true;
}

}  // namespace pyxbench
