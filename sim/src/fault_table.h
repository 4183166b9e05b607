// The call faults of a cluster and its random-fault generator.
//
// Every implemented server method asks Decide() what to do with a call. With
// no fault pending and random faults off this is one relaxed atomic load, so
// a cluster without faults pays nothing for them.
#ifndef PYXSIM_FAULT_TABLE_H_
#define PYXSIM_FAULT_TABLE_H_

#include <atomic>
#include <cstdint>
#include <list>
#include <mutex>
#include <random>
#include <string>

#include "pyxsim/cluster.h"

namespace pyxsim {

// What to do with one call.
struct Verdict {
  enum Kind { kServe, kRetcode, kDelay, kDrop, kClose, kIoFault };
  Kind kind = kServe;
  int retcode = 0;   // kRetcode
  int delay_ms = 0;  // kRetcode (optional) and kDelay
  IoFault io_fault = IoFault::kWrongSize;  // kIoFault
};

class FaultTable {
 public:
  // A fault for `times` calls (Faults::kForever: all) of `method` ("" any)
  // on server (role, index) (Faults::kAnyServer: any). times 0 adds nothing.
  void Add(Role role, int index, const std::string& method, const Verdict& verdict, int times);
  void Clear();
  int Pending() const;

  Verdict Decide(Role role, int index, const std::string& method);

  void StartRandom(uint64_t seed, const RandomFaultRates& rates);
  void StopRandom();
  bool random_on() const;
  RandomFaultRates random_rates() const;
  // A number from the random generator (cluster events draw from it too).
  uint64_t Draw();
  RandomFaultStats stats() const;
  void CountEvent(uint64_t RandomFaultStats::*field);

 private:
  struct Rule {
    Role role;
    int index;
    std::string method;
    Verdict verdict;
    int remaining;  // -1: forever
  };

  static bool Matches(const Rule& rule, Role role, int index, const std::string& method);
  Verdict DecideRandom(Role role, const std::string& method);

  // Rules pending plus one while random faults are on.
  std::atomic<int> active_{0};
  mutable std::mutex mutex_;
  std::list<Rule> rules_;
  bool random_on_ = false;
  RandomFaultRates rates_;
  std::mt19937_64 rng_;
  RandomFaultStats stats_;
};

}  // namespace pyxsim

#endif  // PYXSIM_FAULT_TABLE_H_
