// The blocks pyxbench writes under --verify, as a later run reads them: what
// each kind of block found against each kind of state says, and the state
// file read back as written.
#include <gtest/gtest.h>
#include <isa-l/crc.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "pyxbench/bench_child.h"
#include "verify.h"

namespace {

using pyxbench::CheckUnit;
using pyxbench::kNeverWritten;
using pyxbench::kUnknown;
using pyxbench::StampWrite;
using pyxbench::UnitCheck;
using pyxbench::VerifyLineage;

constexpr uint64_t kUnit = 4096;
constexpr uint64_t kRunA = 0x1111, kRunB = 0x2222;

// Two runs: A wrote numbers 1 to 99, B from 100 on.
VerifyLineage Lineage() {
  VerifyLineage l;
  l.Add(kRunA, 1);
  l.Add(kRunB, 100);
  return l;
}

std::vector<uint8_t> Block(uint64_t run, uint32_t number, uint64_t pos, uint64_t len = kUnit) {
  std::vector<uint8_t> b(len);
  StampWrite(run, number, 0, kUnit, pos, len, b.data());
  return b;
}

TEST(PyxbenchVerifyFormat, EachBlockAgainstEachStateSaysWhatItFound) {
  const VerifyLineage lineage = Lineage();
  const uint64_t at = 5 * kUnit;
  std::vector<uint8_t> flipped = Block(kRunB, 120, at);
  flipped[700] ^= 0x01;
  std::vector<uint8_t> foreign(kUnit, 0xab);
  struct Case {
    const char* name;
    std::vector<uint8_t> got;
    uint32_t expected;
    UnitCheck check;
    std::string said;  // in the text of a mismatch
  };
  const Case kCases[] = {
      {"the write expected", Block(kRunB, 120, at), 120, UnitCheck::kVerified, ""},
      {"any write, nothing known", Block(kRunA, 7, at), kUnknown, UnitCheck::kVerified, ""},
      {"zeros, nothing known", std::vector<uint8_t>(kUnit), kUnknown, UnitCheck::kNeverWritten, ""},
      {"zeros, never written", std::vector<uint8_t>(kUnit), kNeverWritten, UnitCheck::kNeverWritten,
       ""},
      {"zeros where a write was", std::vector<uint8_t>(kUnit), 120, UnitCheck::kMismatch,
       "zeros (never written); expected write 120 of run 0000000000002222"},
      {"an older write", Block(kRunA, 7, at), 120, UnitCheck::kMismatch,
       "write 7 of run 0000000000001111, an older write (a lost write); expected write 120"},
      {"another run's write of that number", Block(kRunA, 120, at), 120, UnitCheck::kMismatch,
       "write 120 of run 0000000000001111; expected write 120 of run 0000000000002222"},
      {"a write where none was", Block(kRunB, 120, at), kNeverWritten, UnitCheck::kMismatch,
       "write 120 of run 0000000000002222 where nothing was written"},
      {"a byte changed", flipped, 120, UnitCheck::kMismatch,
       "a bad checksum: the header of write 120 of run 0000000000002222 for offset 20480, byte "
       "21180 is "},
      {"a changed byte, nothing known", flipped, kUnknown, UnitCheck::kMismatch, "bad checksum"},
      {"another offset's block", Block(kRunB, 120, at + kUnit), 120, UnitCheck::kMismatch,
       "the block of offset 24576 (write 120 of run 0000000000002222) at the wrong offset"},
      {"foreign bytes", foreign, kUnknown, UnitCheck::kMismatch,
       "foreign bytes (no block header: abababababababab...)"},
  };
  for (const Case& c : kCases) {
    std::string what;
    EXPECT_EQ(CheckUnit(c.got.data(), at, kUnit, kUnit, c.expected, lineage, &what), c.check)
        << c.name << ": " << what;
    EXPECT_NE(what.find(c.said), std::string::npos) << c.name << ": " << what;
  }
  // Units of another size than the writer's: said so, never verified.
  const std::vector<uint8_t> full = Block(kRunB, 120, at);
  const std::vector<uint8_t> half(full.begin(), full.begin() + 2048);
  std::string what;
  EXPECT_EQ(CheckUnit(half.data(), at, 2048, 2048, kUnknown, lineage, &what), UnitCheck::kMismatch);
  EXPECT_NE(what.find("the header of a 4096-byte unit, where this run's units are 2048 bytes"),
            std::string::npos)
      << what;
}

TEST(PyxbenchVerifyFormat, AWriteOfManyUnitsAndAShortTail) {
  const VerifyLineage lineage = Lineage();
  // A write of three units and a tail too short for a header, at 1 MiB.
  const uint64_t pos = 1 << 20, len = 3 * kUnit + 24;
  std::vector<uint8_t> w(len);
  StampWrite(kRunB, 150, 0, kUnit, pos, len, w.data());
  for (uint64_t u = 0; u < 4; ++u) {
    const uint64_t n = std::min(kUnit, len - u * kUnit);
    std::string what;
    EXPECT_EQ(CheckUnit(w.data() + u * kUnit, pos + u * kUnit, n, kUnit, 150, lineage, &what),
              UnitCheck::kVerified)
        << u << ": " << what;
  }
  // The tail is checked against its state only.
  const uint8_t* tail = w.data() + 3 * kUnit;
  std::string what;
  EXPECT_EQ(CheckUnit(tail, pos + 3 * kUnit, 24, kUnit, kUnknown, lineage, &what),
            UnitCheck::kUnchecked);
  EXPECT_EQ(CheckUnit(tail, pos + 3 * kUnit, 24, kUnit, 151, lineage, &what), UnitCheck::kMismatch);
  // Two writes never look alike: another number, other bytes after the
  // header too.
  std::vector<uint8_t> other(len);
  StampWrite(kRunB, 151, 0, kUnit, pos, len, other.data());
  EXPECT_NE(memcmp(w.data() + 64, other.data() + 64, kUnit - 64), 0);
}

TEST(PyxbenchVerifyFormat, StateFileReadsBackAsSaved) {
  pyxbench::VerifyStateFile s;
  s.disk = "d0";
  s.disk_size = 64 << 20;
  s.offset = 1 << 20;
  s.size = 8 << 20;
  s.unit = 512;
  s.next_number = 1234;
  s.lineage = Lineage();
  for (uint64_t i = 0; i < s.size / s.unit; ++i) {
    s.units.push_back(i % 3 == 0 ? kUnknown : static_cast<uint32_t>(i % 1000 + 1));
  }
  const std::string path = benchchild::TempPath("verify_format.state");
  std::string error;
  ASSERT_TRUE(pyxbench::SaveVerifyState(path, s, &error)) << error;
  pyxbench::VerifyStateFile back;
  ASSERT_TRUE(pyxbench::LoadVerifyState(path, &back, &error)) << error;
  EXPECT_EQ(back.disk, s.disk);
  EXPECT_EQ(back.disk_size, s.disk_size);
  EXPECT_EQ(back.offset, s.offset);
  EXPECT_EQ(back.size, s.size);
  EXPECT_EQ(back.unit, s.unit);
  EXPECT_EQ(back.next_number, s.next_number);
  EXPECT_EQ(back.units, s.units);
  ASSERT_EQ(back.lineage.runs().size(), 2u);
  EXPECT_EQ(back.lineage.RunOf(99), kRunA);
  EXPECT_EQ(back.lineage.RunOf(100), kRunB);
  EXPECT_EQ(back.lineage.RunOf(0), 0u);
  // Saved over: the new file replaces the old whole, no file left beside.
  s.units.assign(s.units.size(), 5);
  ASSERT_TRUE(pyxbench::SaveVerifyState(path, s, &error)) << error;
  ASSERT_TRUE(pyxbench::LoadVerifyState(path, &back, &error)) << error;
  EXPECT_EQ(back.units, s.units);
  EXPECT_NE(access((path + ".new").c_str(), F_OK), 0);
  // A file that cannot be written: said why, the old one kept.
  EXPECT_FALSE(pyxbench::SaveVerifyState("/nonexistent/dir/state", s, &error));
  EXPECT_NE(error.find("cannot write /nonexistent/dir/state.new"), std::string::npos) << error;
  unlink(path.c_str());
}

// A state file's field at byte `at`, rewritten.
template <typename T>
void Put(std::string* file, size_t at, T value) {
  memcpy(&(*file)[at], &value, sizeof(value));
}

// The file's last four bytes made the checksum of the rest again: a file
// made to look whole, as a careless tool or a hostile user might write it.
void Reseal(std::string* file) {
  const size_t n = file->size() - 4;
  Put(file, n, crc32_iscsi(reinterpret_cast<uint8_t*>(&(*file)[0]), static_cast<int>(n), ~0u));
}

// Damaged and made-up state files are refused with their reason, each
// before its units take more memory than the file holds.
TEST(PyxbenchVerifyFormat, StateFileDamagedOrMadeUpIsRefused) {
  pyxbench::VerifyStateFile s;
  s.disk = "d0";
  s.disk_size = 64 << 20;
  s.size = 1 << 20;
  s.unit = 4096;
  s.next_number = 300;
  s.lineage = Lineage();
  s.units.assign(s.size / s.unit, 7);
  const std::string path = benchchild::TempPath("verify_format_damaged.state");
  std::string error;
  ASSERT_TRUE(pyxbench::SaveVerifyState(path, s, &error)) << error;
  const std::string good = benchchild::ReadAll(path);
  // The layout: magic, disk size, offset, size, unit, next number, runs,
  // name length, name, runs of 12 bytes, units' count, units, checksum.
  const size_t kSize = 24, kUnitAt = 32, kNext = 40, kRuns = 44, kName = 48;
  const size_t first_run = 52 + s.disk.size(), count = first_run + 2 * 12;
  const uint64_t n = s.units.size();
  struct Case {
    const char* name;
    std::function<void(std::string*)> damage;
    std::string said;
  };
  const Case kCases[] = {
      {"a count of units that wraps the file's length",
       [&](std::string* f) {
         Put<uint64_t>(f, kUnitAt, 1);
         Put<uint64_t>(f, kSize, (1ull << 62) + n);
         Put<uint64_t>(f, count, (1ull << 62) + n);
       },
       "its units do not cover its size"},
      {"more units than the file holds",
       [&](std::string* f) {
         Put<uint64_t>(f, kSize, (n + 1) * s.unit);
         Put<uint64_t>(f, count, n + 1);
       },
       "its units do not cover its size"},
      {"a unit of 0", [&](std::string* f) { Put<uint64_t>(f, kUnitAt, 0); },
       "its units do not cover its size"},
      {"a name longer than any", [&](std::string* f) { Put<uint32_t>(f, kName, 1u << 31); },
       "it ends within its description"},
      {"more runs than the file holds", [&](std::string* f) { Put<uint32_t>(f, kRuns, 1u << 24); },
       "it is damaged: "},
      {"more runs than any", [&](std::string* f) { Put<uint32_t>(f, kRuns, ~0u); },
       "it ends within its description"},
      {"a next number of 0",
       [&](std::string* f) {
         Put<uint32_t>(f, kNext, 0);
         Reseal(f);
       },
       "its write numbers are out of order"},
      {"runs out of order",
       [&](std::string* f) {
         Put<uint32_t>(f, first_run + 12 + 8, 0);
         Reseal(f);
       },
       "its write numbers are out of order"},
      {"a run past the next number",
       [&](std::string* f) {
         Put<uint32_t>(f, kNext, 99);
         Reseal(f);
       },
       "its write numbers are out of order"},
      {"a unit changed", [&](std::string* f) { (*f)[count + 8 + 5] ^= 1; },
       "its checksum does not match its bytes"},
      {"cut short", [&](std::string* f) { f->resize(f->size() - 1); },
       "its units do not cover its size"},
      {"empty", [&](std::string* f) { f->clear(); }, "it is no pyxbench verify state"},
  };
  for (const Case& c : kCases) {
    std::string bytes = good;
    c.damage(&bytes);
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
    pyxbench::VerifyStateFile back;
    error.clear();
    EXPECT_FALSE(pyxbench::LoadVerifyState(path, &back, &error)) << c.name;
    EXPECT_NE(error.find(c.said), std::string::npos) << c.name << ": " << error;
    EXPECT_TRUE(back.units.empty()) << c.name;
  }
  // The file resealed untouched is still taken.
  std::string same = good;
  Reseal(&same);
  EXPECT_EQ(same, good);
  unlink(path.c_str());
}

}  // namespace
