// Shared pieces of the frame-reader fuzz targets: an event worker on the
// fuzzing thread whose loop is turned by hand, local stream sockets and the
// seed writer. Frames are built with tests/support, as in the RPC tests.
//
// Everything runs on the fuzzing thread: the loop is a busy-poll loop, so one
// pass (queued tasks, then one non-blocking libevent pass) never sleeps, and
// the harness decides when the connection under test sees its bytes.
#ifndef TESTS_FUZZ_FRAME_FUZZ_SUPPORT_H_
#define TESTS_FUZZ_FRAME_FUZZ_SUPPORT_H_

#include <errno.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "support/frames.h"
#include "support/worker.h"
#include "tarn/base/logging.h"
#include "tarn/connection.h"
#include "tarn/event/event_worker.h"
#include "tarn/rpc/frame.h"
#include "vovorav.pb.h"

namespace fuzzsupport {

// Passes a connection gets to swallow one input before the harness calls it
// a hang. An input is at most a few hundred KiB and a pass reads at least a
// ring's worth, so a healthy connection needs far fewer.
constexpr int kMaxPasses = 100000;

inline void DiscardLog(const char*, int) {}

inline bool Verbose() {
  static const bool verbose = [] {
    const char* keep = getenv("TARN_FUZZ_LOG");
    return keep != nullptr && keep[0] == '1';
  }();
  return verbose;
}

// Log lines cost more than the reader itself and tell the fuzzer nothing;
// TARN_FUZZ_LOG=1 keeps them for debugging a reproducer.
inline void QuietLogs() {
  if (Verbose()) return;
  plinth::Logger::setLogLevel(plinth::Logger::WARN);
  plinth::Logger::setOutput(DiscardLog);
}

using testsupport::BuildFrame;
using testsupport::RequestHeader;
using testsupport::ResponseHeader;
using testsupport::RunPass;

// The event worker of the fuzzing thread, made on first use and kept for the
// life of the process.
inline tarn::EventWorker* FuzzWorker() {
  static tarn::EventWorker* worker = [] {
    QuietLogs();
    tarn::WorkerOption option;
    option.name_prefix = "fuzz-";
    option.busy_poll = 1;
    option.report_interval = 0;
    return testsupport::NewWorkerOnThisThread(option);
  }();
  return worker;
}

// Writes as much of data as the socket takes now; returns the bytes written.
inline size_t WriteSome(int fd, const uint8_t* data, size_t len) {
  size_t done = 0;
  while (done < len) {
    const ssize_t n = ::send(fd, data + done, len - done, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      break;
    }
  }
  return done;
}

// Reads whatever fd holds now into out (when not null).
inline void Drain(int fd, std::string* out) {
  char buf[65536];
  for (;;) {
    const ssize_t n = ::recv(fd, buf, sizeof(buf), MSG_DONTWAIT);
    if (n > 0) {
      if (out != nullptr) out->append(buf, static_cast<size_t>(n));
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      return;
    }
  }
}

// Passes the connection gets after the last input byte before the end of
// the stream follows, so that work it put off to later passes (answers,
// releases) meets an open connection.
constexpr int kSettlePasses = 4;

// Feeds input to the connection behind `peer` (the other end of its socket),
// then the end of the stream, turning the loop until the connection has
// closed. What the connection sends back is appended to `replies`.
template <typename IsClosed>
void FeedAndClose(tarn::EventWorker* worker, int peer, const uint8_t* data, size_t len,
                  IsClosed is_closed, std::string* replies) {
  size_t sent = 0;
  int settle = kSettlePasses;
  for (int pass = 0; pass < kMaxPasses; ++pass) {
    if (sent < len) sent += WriteSome(peer, data + sent, len - sent);
    if (sent == len && settle >= 0 && settle-- == 0) ::shutdown(peer, SHUT_WR);
    RunPass(worker);
    Drain(peer, replies);
    if (is_closed()) return;
  }
  fprintf(stderr, "connection still open after %d loop passes\n", kMaxPasses);
  abort();
}

// With TARN_FUZZ_WRITE_SEEDS=<dir>, writes each seed as <dir>/<name> and
// ends the process: CI builds its seed corpus from the same code that knows
// the frame layout, so the seeds never drift from it.
template <typename MakeSeeds>
void WriteSeedsIfAsked(MakeSeeds make_seeds) {
  const char* dir = getenv("TARN_FUZZ_WRITE_SEEDS");
  if (dir == nullptr || dir[0] == '\0') return;
  ::mkdir(dir, 0755);
  int count = 0;
  make_seeds([&](const std::string& name, const std::string& bytes) {
    const std::string path = std::string(dir) + "/" + name;
    FILE* f = fopen(path.c_str(), "wb");
    if (f == nullptr || fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size()) {
      fprintf(stderr, "cannot write seed %s\n", path.c_str());
      exit(1);
    }
    fclose(f);
    ++count;
  });
  printf("wrote %d seeds to %s\n", count, dir);
  exit(0);
}

// Checks the frames a server wrote back: every complete frame must have a
// sound head with empty names. A last frame cut short is allowed, since a
// closing connection drops what it had not written yet.
inline void CheckReplies(const std::string& bytes) {
  size_t off = 0;
  while (bytes.size() - off >= tarn::kFrameHeadSize) {
    tarn::FrameHead head;
    if (!head.Decode(bytes.data() + off) || head.Check(UINT32_MAX) != 0 ||
        head.service_len != 0 || head.method_len != 0) {
      fprintf(stderr, "server wrote a malformed response frame at offset %zu\n", off);
      abort();
    }
    if (bytes.size() - off < head.total) return;
    off += head.total;
  }
}

}  // namespace fuzzsupport

#endif  // TESTS_FUZZ_FRAME_FUZZ_SUPPORT_H_
