// Fault controls of a cluster, and the thread that plays cluster events
// (route moves, restarts, fail-overs) while random faults are on.
#include <chrono>

#include "cluster_state.h"
#include "pyxsim/cluster.h"

namespace pyxsim {

namespace {

Verdict MakeVerdict(Verdict::Kind kind, int retcode = 0, int delay_ms = 0) {
  Verdict verdict;
  verdict.kind = kind;
  verdict.retcode = retcode;
  verdict.delay_ms = delay_ms < 0 ? 0 : delay_ms;
  return verdict;
}

// Waits ms or until the events are asked to stop; true when asked.
bool Pause(ClusterState* s, int ms) {
  std::unique_lock<std::mutex> lock(s->events_mutex);
  return s->events_cond.wait_for(lock, std::chrono::milliseconds(ms < 0 ? 0 : ms),
                                 [s] { return s->events_stop; });
}

// Changes one plane's server and raises the disk's term.
void MoveRoute(Disk* disk, uint64_t plane, int block_server) {
  std::lock_guard<std::mutex> lock(disk->route_mutex);
  disk->owner[plane].store(block_server);
  disk->term.fetch_add(1);
}

enum class Event { kMove, kRestart, kFailover };

// One cluster event of the random faults; every server it takes away is
// back when it returns.
void PlayEvent(ClusterState* s, const RandomFaultRates& rates) {
  std::vector<Event> kinds;
  const int servers = s->count(Role::kBlockServer);
  const bool can_fail_over = s->count(Role::kVolumeManager) > 1 || s->count(Role::kBlockMaster) > 1;
  if (rates.route_moves && servers > 1) kinds.push_back(Event::kMove);
  if (rates.restarts) kinds.push_back(Event::kRestart);
  if (rates.failovers && can_fail_over) kinds.push_back(Event::kFailover);
  if (kinds.empty()) return;
  switch (kinds[s->faults.Draw() % kinds.size()]) {
    case Event::kMove: {
      std::vector<Disk*> disks = s->disks.All();
      if (disks.empty()) return;
      Disk* disk = disks[s->faults.Draw() % disks.size()];
      const uint64_t plane = s->faults.Draw() % disk->planes;
      const int from = disk->owner[plane].load();
      const int to = static_cast<int>((from + 1 + s->faults.Draw() % (servers - 1)) % servers);
      MoveRoute(disk, plane, to);
      s->faults.CountEvent(&RandomFaultStats::route_moves);
      return;
    }
    case Event::kRestart: {
      ServerSlot* slot = s->slot(Role::kBlockServer, static_cast<int>(s->faults.Draw() % servers));
      if (slot->Stop() != 0) return;
      Pause(s, rates.down_ms);
      slot->Restart();
      s->faults.CountEvent(&RandomFaultStats::restarts);
      return;
    }
    case Event::kFailover: {
      const bool vm = s->count(Role::kVolumeManager) > 1 &&
                      (s->count(Role::kBlockMaster) < 2 || s->faults.Draw() % 2 == 0);
      if (vm) {
        ServerSlot* first = s->slot(Role::kVolumeManager, 0);
        first->set_down(true);
        Pause(s, rates.down_ms);
        first->set_down(false);
      } else {
        ServerSlot* first = s->slot(Role::kBlockMaster, 0);
        s->primary_block_master.store(1);
        first->set_down(true);
        Pause(s, rates.down_ms);
        first->set_down(false);
        s->primary_block_master.store(0);
      }
      s->faults.CountEvent(&RandomFaultStats::failovers);
      return;
    }
  }
}

void EventsThread(ClusterState* s) {
  for (;;) {
    const RandomFaultRates rates = s->faults.random_rates();
    if (Pause(s, rates.event_interval_ms)) return;
    PlayEvent(s, rates);
  }
}

}  // namespace

void Faults::FailCalls(Role role, int index, const std::string& method, int retcode, int times,
                       int delay_ms) {
  state_->faults.Add(role, index, method, MakeVerdict(Verdict::kRetcode, retcode, delay_ms), times);
}

void Faults::DelayCalls(Role role, int index, const std::string& method, int delay_ms, int times) {
  state_->faults.Add(role, index, method, MakeVerdict(Verdict::kDelay, 0, delay_ms), times);
}

void Faults::DropCalls(Role role, int index, const std::string& method, int times) {
  state_->faults.Add(role, index, method, MakeVerdict(Verdict::kDrop), times);
}

void Faults::CloseOnCalls(Role role, int index, const std::string& method, int times) {
  state_->faults.Add(role, index, method, MakeVerdict(Verdict::kClose), times);
}

void Faults::InjectIoFault(int index, const std::string& method, IoFault fault, int times) {
  Verdict verdict = MakeVerdict(Verdict::kIoFault);
  verdict.io_fault = fault;
  state_->faults.Add(Role::kBlockServer, index, method, verdict, times);
}

void Faults::ClearCallFaults() { state_->faults.Clear(); }

int Faults::PendingFaults() const { return state_->faults.Pending(); }

int Faults::StopServer(Role role, int index) {
  ServerSlot* slot = state_->slot(role, index);
  return slot == nullptr ? -1 : slot->Stop();
}

int Faults::RestartServer(Role role, int index) {
  ServerSlot* slot = state_->slot(role, index);
  // Held across the restart, so that a cluster stopping meanwhile stops the
  // restarted server too.
  std::lock_guard<std::mutex> lock(state_->life_mutex);
  if (slot == nullptr || !state_->started || state_->stopped) return -1;
  return slot->Restart();
}

int Faults::MarkDown(Role role, int index) {
  ServerSlot* slot = state_->slot(role, index);
  if (slot == nullptr) return -1;
  slot->set_down(true);
  return 0;
}

int Faults::MarkUp(Role role, int index) {
  ServerSlot* slot = state_->slot(role, index);
  if (slot == nullptr) return -1;
  slot->set_down(false);
  return 0;
}

bool Faults::IsRunning(Role role, int index) const {
  ServerSlot* slot = state_->slot(role, index);
  return slot != nullptr && slot->running();
}

bool Faults::IsDown(Role role, int index) const {
  ServerSlot* slot = state_->slot(role, index);
  return slot != nullptr && slot->down();
}

int Faults::SetPrimaryBlockMaster(int index) {
  if (state_->slot(Role::kBlockMaster, index) == nullptr) return -1;
  state_->primary_block_master.store(index);
  return 0;
}

int Faults::primary_block_master() const { return state_->primary_block_master.load(); }

int Faults::MovePlane(const std::string& disk_name, uint64_t plane, int block_server) {
  Disk* disk = state_->disks.ByName(disk_name);
  if (disk == nullptr || plane >= disk->planes ||
      state_->slot(Role::kBlockServer, block_server) == nullptr) {
    return -1;
  }
  MoveRoute(disk, plane, block_server);
  return 0;
}

namespace {

int SetUnrouted(ClusterState* s, const std::string& name, const std::vector<uint64_t>& planes,
                bool unrouted) {
  Disk* disk = s->disks.ByName(name);
  if (disk == nullptr) return -1;
  for (uint64_t plane : planes) {
    if (plane >= disk->planes) return -1;
  }
  std::lock_guard<std::mutex> lock(disk->route_mutex);
  if (planes.empty()) {
    for (uint64_t p = 0; p < disk->planes; ++p) disk->unrouted[p].store(unrouted);
  } else {
    for (uint64_t plane : planes) disk->unrouted[plane].store(unrouted);
  }
  return 0;
}

}  // namespace

int Faults::UnroutePlanes(const std::string& disk, const std::vector<uint64_t>& planes) {
  return SetUnrouted(state_, disk, planes, true);
}

int Faults::RestorePlanes(const std::string& disk, const std::vector<uint64_t>& planes) {
  return SetUnrouted(state_, disk, planes, false);
}

int Faults::ReportDiskMissing(const std::string& name, bool missing) {
  Disk* disk = state_->disks.ByName(name);
  if (disk == nullptr) return -1;
  disk->missing.store(missing);
  return 0;
}

uint64_t Faults::CallCount(Role role, int index, const std::string& method) const {
  if (index != kAnyServer) {
    ServerSlot* slot = state_->slot(role, index);
    return slot == nullptr ? 0 : slot->CallCount(method);
  }
  uint64_t sum = 0;
  for (int i = 0; i < state_->count(role); ++i) sum += state_->slot(role, i)->CallCount(method);
  return sum;
}

void Faults::ResetCounts() {
  for (int r = 0; r < 3; ++r) {
    for (auto& slot : state_->slots[r]) slot->ResetCounts();
  }
}

void Faults::SetRandomFaults(uint64_t seed, const RandomFaultRates& rates) {
  ClusterState* s = state_;
  s->faults.StartRandom(seed, rates);
  std::lock_guard<std::mutex> lock(s->life_mutex);
  if (rates.event_interval_ms > 0 && !s->events_thread.joinable() && !s->stopped) {
    {
      std::lock_guard<std::mutex> events_lock(s->events_mutex);
      s->events_stop = false;
    }
    s->events_thread = std::thread(EventsThread, s);
  }
}

void Faults::StopRandomFaults() {
  ClusterState* s = state_;
  s->faults.StopRandom();
  std::lock_guard<std::mutex> lock(s->life_mutex);
  if (!s->events_thread.joinable()) return;
  {
    std::lock_guard<std::mutex> events_lock(s->events_mutex);
    s->events_stop = true;
  }
  s->events_cond.notify_all();
  s->events_thread.join();
}

RandomFaultStats Faults::random_stats() const { return state_->faults.stats(); }

}  // namespace pyxsim
