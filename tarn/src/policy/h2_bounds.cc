#include "tarn/policy/h2_bounds.h"

#include <algorithm>
#include <atomic>

namespace tarn {

namespace {

std::atomic<double> g_stalled_answer_timeout_s{kH2DefaultStalledAnswerTimeoutS};
std::atomic<double> g_unproductive_window_s{kH2DefaultUnproductiveWindowS};
std::atomic<double> g_held_check_s{kH2DefaultHeldCheckS};
std::atomic<double> g_progress_span_s{kH2DefaultProgressSpanS};

}  // namespace

double H2StalledAnswerTimeout() { return g_stalled_answer_timeout_s.load(); }
void SetH2StalledAnswerTimeout(double seconds) { g_stalled_answer_timeout_s.store(seconds); }

double H2ProgressSpan() { return std::min(g_progress_span_s.load(), H2StalledAnswerTimeout()); }
void SetH2ProgressSpan(double seconds) { g_progress_span_s.store(seconds); }

double H2HeldCheckInterval() { return std::min(g_held_check_s.load(), H2ProgressSpan()); }
void SetH2HeldCheckInterval(double seconds) { g_held_check_s.store(seconds); }

double H2UnproductiveWindow() { return g_unproductive_window_s.load(std::memory_order_relaxed); }
void SetH2UnproductiveWindow(double seconds) { g_unproductive_window_s.store(seconds); }

uint64_t H2Progress::piece() const { return std::max(kH2AckPiece, window_ / 8); }

double H2Progress::scale() const {
  return std::min(kH2MaxSpanScale, static_cast<double>(piece()) / static_cast<double>(kH2AckPiece));
}

double H2Progress::span() const { return H2ProgressSpan() * scale(); }

double H2Progress::stall_timeout() const { return H2StalledAnswerTimeout() * scale(); }

void H2Progress::NoteWindow(uint64_t window) { window_ = std::max(window_, window); }

void H2Progress::Start(Clock::time_point now, uint64_t taken, uint64_t outstanding) {
  mark_ = taken;
  need_ = std::max<uint64_t>(1, std::min(piece() / 2, outstanding));
  last_progress_ = now;
  stalled_ = false;
}

H2Progress::Verdict H2Progress::Check(Clock::time_point now, uint64_t taken, uint64_t outstanding,
                                      bool exempt) {
  // Half a piece: a reader's kernel acknowledges at least that much each
  // time it has freed a piece, and a trickle never adds up to it.
  if (exempt || (taken > mark_ && taken - mark_ >= need_)) {
    Start(now, taken, outstanding);
    return kTaking;
  }
  // Less than what counts may be all that is left to take.
  need_ = std::max<uint64_t>(
      1, std::min(need_, taken > mark_ ? outstanding + (taken - mark_) : outstanding));
  const double idle = std::chrono::duration<double>(now - last_progress_).count();
  // A timer may fire a hair early; a millisecond short counts as due.
  if (idle + 0.001 >= stall_timeout()) {
    stalled_ = true;
    return kTimedOut;
  }
  stalled_ = idle + 0.001 >= span();
  return stalled_ ? kStalled : kTaking;
}

}  // namespace tarn
