// Verified blocks that describe themselves, and what a run knows of them
// from one run to the next.
//
// Every unit a write under --verify covers starts with a header (32 bytes,
// little-endian): a magic, a CRC32C of the rest of the unit, the unit's
// offset on the disk, the id of the writing run, the write's number and
// the unit's length; the rest are bytes generated from the run's id, the
// write's number and their place on the disk. Any run then checks any
// block it reads, whoever wrote it: a header that holds at its own offset
// is verified, an all-zero unit was never written, anything else is a
// mismatch. A run that knows which write last touched a unit (its own, or
// an earlier run's through a state file) also finds a unit that holds
// another write than that one: a lost write.
//
// Write numbers grow across the runs that share a state file: a run
// numbers its writes from where the last one stopped, so a unit's state
// stays one 32-bit number and the run that wrote it is found by its number
// (VerifyLineage).
#ifndef PYXBENCH_VERIFY_H_
#define PYXBENCH_VERIFY_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace pyxbench {

// What a unit's state holds besides a write's number.
constexpr uint32_t kNeverWritten = 0;  // known to be zeros (a disk just made)
constexpr uint32_t kUnknown = ~0u;     // unknown: any block that holds passes
// The largest write number; a run past it writes kUnnumbered blocks, which
// are checked by their headers alone.
constexpr uint32_t kMaxWriteNumber = ~0u - 16;
constexpr uint32_t kUnnumbered = ~0u - 1;

constexpr size_t kBlockHeaderBytes = 32;

// The runs of a state file in the order they ran: run i wrote the numbers
// from first[i] up to the next run's first.
class VerifyLineage {
 public:
  struct Run {
    uint64_t id = 0;
    uint32_t first = 1;
  };
  // The id of the run that wrote `number` (0 when none did).
  uint64_t RunOf(uint32_t number) const;
  // A run writing from `first` on (above every number of the runs before).
  void Add(uint64_t id, uint32_t first);
  const std::vector<Run>& runs() const { return runs_; }
  // Keeps only the runs whose numbers `units` still hold.
  void Prune(const std::vector<uint32_t>& units);

 private:
  std::vector<Run> runs_;
};

// What a check of one unit found.
enum class UnitCheck { kVerified, kNeverWritten, kMismatch, kUnchecked };

// The bytes a write puts into [pos, pos + len) of the disk: each unit (of
// `unit` bytes on the disk's grid from `grid`) a header, then its pattern.
// `pos` and `len` cover whole units, but for a short last one.
void StampWrite(uint64_t run_id, uint32_t number, uint64_t grid, uint64_t unit, uint64_t pos,
                uint64_t len, uint8_t* out);

// Checks the `len` bytes read at disk offset `pos`, one unit (or a short
// last one) of `unit` bytes, against the state `expected` (a write's
// number, kNeverWritten or kUnknown) of `lineage`. On a mismatch `what`
// says what was found (a text built only then).
UnitCheck CheckUnit(const uint8_t* got, uint64_t pos, uint64_t len, uint64_t unit,
                    uint32_t expected, const VerifyLineage& lineage, std::string* what);

// A new run id: random, never 0.
uint64_t NewRunId();
std::string RunIdText(uint64_t id);

// The state a run saves at its end and the next loads at its start: for
// every unit of [offset, offset + size) of a disk the number of the write
// that last touched it, and the runs those numbers belong to.
struct VerifyStateFile {
  std::string disk;
  uint64_t disk_size = 0;
  uint64_t offset = 0;
  uint64_t size = 0;
  uint64_t unit = 0;
  uint32_t next_number = 1;  // the next run numbers its writes from here
  VerifyLineage lineage;
  std::vector<uint32_t> units;
};

// False with the reason in `error` ("it does not exist", unreadable,
// damaged).
bool LoadVerifyState(const std::string& path, VerifyStateFile* out, std::string* error);
// Written to a new file renamed over `path`; false with the reason.
// `running`: saved as the state of a run under way, which a load refuses
// until that run saves it again at its end (a run that never got there
// left what it wrote unknown).
bool SaveVerifyState(const std::string& path, const VerifyStateFile& state, std::string* error,
                     bool running = false);

}  // namespace pyxbench

#endif  // PYXBENCH_VERIFY_H_
