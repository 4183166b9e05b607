// What one HTTP/2 client can make the server hold, per connection, and how
// the server judges whether a client takes the answers it waits for.
//
// Each figure below says what it bounds and whom it spares. A client that
// passes one of the connection bounds is sent GOAWAY ENHANCE_YOUR_CALM and
// closed. The figures are stated again in README.md; keep the two in step.
//
// Taking answers. Answers wait in the server for three reasons: the
// server's own output pacing (kH2ResponseOutputBytes), the client's flow
// control windows, and a client that does not read. Only the last two are
// the client's doing. What the client takes is seen through its kernel's
// acknowledgements, which come only once the reader has freed a piece of
// its receive buffer: up to 96 KiB for windows below about 768 KiB (measured
// over loopback and over a 1500-byte MTU alike), and about 1/9 of the
// window the kernel advertises above that (a reader that once read fast has
// a window autotuned to megabytes: up to tcp_rmem's maximum, 6 MiB by
// default). H2Progress judges this:
//   - a piece is max(kH2AckPiece, window / 8), window being the largest the
//     client's kernel advertised on the connection (unknown, so 0, before
//     Linux 5.4);
//   - the progress span and the stalled-answer timeout grow with the piece,
//     by piece / kH2AckPiece, at most kH2MaxSpanScale times (so 20 s and
//     30 s up to 160 s and 240 s);
//   - the client takes its answers when, within the span, its kernel
//     acknowledges at least half a piece of answer bytes (or all it was
//     waiting for); DATA frames cut by a window to below
//     kH2TrickleFrameBytes are no answer bytes, so a window opened a byte at
//     a time, or a reader that lets a trickle through, takes nothing.
// So a reader is served in full, whatever its answers, while it reads at
// least 10 KB/s, and with a window above 10 MB at least 1/1024 of that
// window a second (its kernel then acknowledges a piece within the span).
#ifndef TARN_POLICY_H2_BOUNDS_H_
#define TARN_POLICY_H2_BOUNDS_H_

#include <chrono>
#include <cstddef>
#include <cstdint>

namespace tarn {

// A header block, and its decoded header list. Only the streams that are
// open keep theirs: a stream reset while its call runs drops its headers.
constexpr size_t kH2MaxHeaderListBytes = 64 * 1024;
// HEADERS and CONTINUATION frames of one header block: a 64 KiB block takes
// 5 frames of the default frame size, so 32 leave a client room to cut its
// blocks small, and empty CONTINUATION frames cannot run on.
constexpr size_t kH2MaxHeaderBlockFrames = 32;
// Streams not yet answered (and not yet forgotten); the server's SETTINGS
// advertise it as SETTINGS_MAX_CONCURRENT_STREAMS, so a compliant client
// queues its calls above it. Streams beyond it are refused (REFUSED_STREAM);
// those refused before the client acknowledged the SETTINGS (up to
// kH2MaxUnproductiveFrames of them) are not held against it.
constexpr size_t kH2MaxOpenStreams = 128;
// Calls still running for streams that were reset (the client cancelled
// them or let their deadline expire, or this end reset them): such a stream
// leaves the count of open streams at once, as the client counts it closed,
// while its call runs on (without its request headers). While this many
// such calls run, the server reads nothing more from the connection until
// one of them completes: a client whose deadlines expire is never refused
// for them, and a peer that resets streams as fast as it opens them is
// slowed to the pace its calls end. A paused connection still notices its
// peer leaving. While it is paused and the client has taken every byte
// sent, the client waits only for its window updates to be read: that time
// is spared from the stall check for as long as the calls run, the
// connection then holding only these calls (without their headers) and
// answers within kH2MaxHeldResponseBytes.
constexpr size_t kH2MaxResetCallsRunning = 2 * kH2MaxOpenStreams;
// Bytes queued on the connection and not yet taken by the socket: the
// server's control frames (SETTINGS and PING ACKs, RST_STREAM,
// WINDOW_UPDATE, GOAWAY) and the responses' frames. A client that makes the
// server queue more, because it does not read, is closed.
constexpr size_t kH2MaxUnsentOutput = 4 * 1024 * 1024;
// Response DATA is framed only while the unsent output is below this; the
// rest of a response waits in its stream, so that a slow reader's control
// frames keep room under kH2MaxUnsentOutput. This is the server's own
// pacing: while the client takes its answers, what waits for it is not held
// against the client.
constexpr size_t kH2ResponseOutputBytes = 1024 * 1024;
// Answers held: every response byte built and not yet framed, whatever the
// client's windows. While they reach this, the connection makes no new
// call: its complete requests wait, in order (they stay among the open
// streams, and their bodies count with the request bodies), and their
// calls are made once what is held has fallen below it again. So a
// connection holds at most this plus one answer (and the answers of calls
// already running), a reader with small windows is paced by what it takes
// and never refused, and a client that takes nothing for the progress
// span while more than this waits behind more than one answer is closed.
constexpr size_t kH2MaxHeldResponseBytes = 64 * 1024 * 1024;
// Frames that cost the server work but carry the connection no further:
// SETTINGS and PING (each answered), frames answered with RST_STREAM,
// RST_STREAM from the client (but for a stream whose call runs: those
// calls have kH2MaxResetCallsRunning), DATA without data or END_STREAM, and
// empty CONTINUATION frames. More than this many with no call answered in
// between, within one kH2DefaultUnproductiveWindowS, ends the connection.
// The window lets an idle connection live on keepalive PINGs for ever,
// while a flood still ends after at most kH2MaxUnproductiveFrames answers.
// Frames on a stream the server has reset itself are ignored and not
// counted.
constexpr uint32_t kH2MaxUnproductiveFrames = 1000;
constexpr double kH2DefaultUnproductiveWindowS = 10.0;
// How often a connection holding answers checks what the client took.
constexpr double kH2DefaultHeldCheckS = 1.0;
// The span over which a client with a window of up to 768 KiB that takes
// less than half a piece is judged to take nothing: a steady reader of 10
// KB/s frees a piece in 10 s (13 s measured for one that falls a little
// behind its pace), within the span with room to spare.
constexpr double kH2DefaultProgressSpanS = 20.0;
// A connection holding answers of which the client has taken nothing for
// this long (scaled like the span) is closed.
constexpr double kH2DefaultStalledAnswerTimeoutS = 30.0;
// The piece of its buffer a reader with a small window frees before its
// kernel acknowledges what it read.
constexpr uint64_t kH2AckPiece = 96 * 1024;
// How far a large receive window stretches the span and the timeout.
constexpr double kH2MaxSpanScale = 8.0;
// A DATA frame cut by a flow-control window to fewer payload bytes than
// this (and not ending its answer) is a trickle, not progress.
constexpr uint32_t kH2TrickleFrameBytes = 1024;

// The stalled-answer timeout in force for new checks before scaling
// (process-wide; tests shorten it).
double H2StalledAnswerTimeout();
void SetH2StalledAnswerTimeout(double seconds);
// The held-answer check interval (process-wide; tests shorten it). The
// interval in force is at most the progress span.
void SetH2HeldCheckInterval(double seconds);
double H2HeldCheckInterval();
// The progress span before scaling (process-wide; tests shorten it). The
// span in force is at most the stalled-answer timeout.
void SetH2ProgressSpan(double seconds);
double H2ProgressSpan();
// The window in which frames without progress are counted (process-wide;
// tests shorten it).
void SetH2UnproductiveWindow(double seconds);
double H2UnproductiveWindow();

// Judges, for one connection, whether the client takes the answers that
// wait for it (see the top of this file). Fed by the connection's held
// answer check; holds no reference to it. Loop thread.
class H2Progress {
 public:
  using Clock = std::chrono::steady_clock;
  enum Verdict {
    kTaking,    // the client took its answers within the span
    kStalled,   // it took nothing for a span: what waits is held for it
    kTimedOut,  // it took nothing for the stalled-answer timeout
  };

  // Answers begin to wait (none did): a clean slate. taken counts the
  // answer bytes the client has taken so far, trickles excluded;
  // outstanding the answer bytes it has yet to take.
  void Start(Clock::time_point now, uint64_t taken, uint64_t outstanding);
  // The client's kernel advertises a receive window of window bytes.
  void NoteWindow(uint64_t window);
  // A check. exempt: the time since the last check is not the client's
  // doing (this end read nothing from it).
  Verdict Check(Clock::time_point now, uint64_t taken, uint64_t outstanding, bool exempt);
  // No answers wait any more.
  void Clear() { stalled_ = false; }

  bool stalled() const { return stalled_; }
  // The figures in force for this connection.
  uint64_t piece() const;
  double scale() const;
  double span() const;
  double stall_timeout() const;

 private:
  uint64_t window_ = 0;  // the largest window the client advertised
  uint64_t mark_ = 0;    // taken at the last progress
  uint64_t need_ = 0;    // what counts as progress from the mark
  Clock::time_point last_progress_;
  bool stalled_ = false;
};

}  // namespace tarn

#endif  // TARN_POLICY_H2_BOUNDS_H_
