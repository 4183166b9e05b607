// The host stand-in's own duties towards the library: splitting I/O at the
// library's stripe, running each completion once and recognising a second
// one, refusing what it cannot submit, and failing submissions cleanly when
// the library has no drivers. The library starts once per process, so each
// case runs in a child.
#include <errno.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "pyxdriver/pyxdriver.h"
#include "pyxhost/host.h"
#include "pyxsim/cluster.h"
#include "spdk/env.h"
#include "support/child.h"
#include "support/ports.h"

namespace {

constexpr uint64_t kModuleDiskSize = 16ull << 20;
constexpr int kStripe = 16384;

// Writes the INI for `cluster` (or for no cluster) and starts the library.
bool Start(const pyxsim::Cluster* cluster, int workers) {
  char path[] = "/tmp/host_module.XXXXXX";
  const int fd = mkstemp(path);
  if (fd < 0) return false;
  std::string ini = "[ORLA]\nuse_orla Yes\nrdma_device none\nis_tcp Yes\nasyn_log No\n"
                    "kLogLevel warning\nservice_ip 127.0.0.1\n";
  ini += "service_port " + std::to_string(testsupport::PickFreePort()) + "\n";
  ini += "max_io_size " + std::to_string(kStripe) + "\n";
  if (workers > 0) ini += "worker_num " + std::to_string(workers) + "\n";
  ini += "volume_manager_ips " + (cluster ? cluster->volume_manager_ips() : "127.0.0.1") + "\n";
  ini += "volume_manager_ports " + (cluster ? cluster->volume_manager_ports() : "1") + "\n";
  const bool written = write(fd, ini.data(), ini.size()) == static_cast<ssize_t>(ini.size());
  close(fd);
  const bool started = written && pyxhost::StartLibrary(path) == 0;
  unlink(path);
  return started;
}

struct Done {
  int calls = 0;
  int status = 1;
  static void Record(void* arg, int status) {
    Done* d = static_cast<Done*>(arg);
    ++d->calls;
    d->status = status;
  }
};

bool WaitDone(pyxhost::Channel* ch, const Done& d) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (d.calls == 0 && std::chrono::steady_clock::now() < until) ch->WaitAndPoll(1000);
  return d.calls > 0;
}

#define CHECK_OR_FAIL(cond)                          \
  do {                                               \
    if (!(cond)) {                                   \
      printf("check failed: %s\n", #cond);           \
      fflush(stdout);                                \
      return 1;                                      \
    }                                                \
  } while (0)

TEST(HostModuleTest, SplitsAtStripesAndCompletesEachIoOnce) {
  testsupport::ChildResult r = testsupport::RunInChild([] {
    pyxsim::Cluster cluster(pyxsim::ClusterOptions{});
    CHECK_OR_FAIL(cluster.Start() == 0 && cluster.CreateDisk("host", kModuleDiskSize) == 0);
    CHECK_OR_FAIL(Start(&cluster, 2));
    std::unique_ptr<pyxhost::Disk> disk = pyxhost::Disk::Open("host", 60);
    CHECK_OR_FAIL(disk->ok() && disk->size() == kModuleDiskSize);
    pyxhost::Channel::Options opt;
    opt.max_outstanding = 2;
    opt.max_iovcnt = 3;
    pyxhost::Channel ch(disk.get(), opt);
    CHECK_OR_FAIL(ch.ring_count() == 2);

    // 256 KiB at byte 1000 touches 17 stripes; three buffers whose edges
    // fall inside stripes.
    const uint64_t offset = 1000, len = 262144;
    std::string data(len, '\0');
    for (uint64_t i = 0; i < len; ++i) data[i] = static_cast<char>(i * 131 + 7);
    iovec iov[3] = {{&data[0], 5000}, {&data[5000], 100000}, {&data[105000], len - 105000}};
    Done w;
    CHECK_OR_FAIL(ch.Write(iov, 3, offset, len, &Done::Record, &w) == 0);
    CHECK_OR_FAIL(WaitDone(&ch, w));
    CHECK_OR_FAIL(w.calls == 1 && w.status == 0);
    pyxhost::Counters c = ch.counters();
    CHECK_OR_FAIL(c.pieces_submitted == 17 && c.pieces_completed == 17);
    CHECK_OR_FAIL(cluster.ReadStored("host", offset, len) == data);

    std::string back(len, 'x');
    iovec one{&back[0], len};
    Done rd;
    CHECK_OR_FAIL(ch.Read(&one, 1, offset, len, &Done::Record, &rd) == 0);
    CHECK_OR_FAIL(WaitDone(&ch, rd) && rd.status == 0 && back == data);

    // Refusals: a length of 0, buffers that do not add up, too many
    // buffers, and a full channel.
    Done never;
    iovec small{&back[0], 4096};
    CHECK_OR_FAIL(ch.Read(&small, 1, 0, 0, &Done::Record, &never) == -EINVAL);
    CHECK_OR_FAIL(ch.Read(&small, 1, 0, 8192, &Done::Record, &never) == -EINVAL);
    iovec four[4] = {small, small, small, small};
    CHECK_OR_FAIL(ch.Read(four, 4, 0, 4 * 4096, &Done::Record, &never) == -EINVAL);
    Done a, b;
    std::string buf_a(4096, 'a'), buf_b(4096, 'b');
    iovec ia{&buf_a[0], 4096}, ib{&buf_b[0], 4096};
    CHECK_OR_FAIL(ch.Read(&ia, 1, 0, 4096, &Done::Record, &a) == 0);
    CHECK_OR_FAIL(ch.Read(&ib, 1, 8192, 4096, &Done::Record, &b) == 0);
    CHECK_OR_FAIL(ch.Read(&small, 1, 0, 4096, &Done::Record, &never) == -EBUSY);
    CHECK_OR_FAIL(ch.Drain(30) && a.calls == 1 && b.calls == 1 && never.calls == 0);

    // The library finishing one I/O twice: take its ring entry off before
    // the host sees it and put it back twice. The callback runs once and
    // the second entry is counted. An entry that never was the host's is
    // counted the same way.
    Done twice;
    CHECK_OR_FAIL(ch.Read(&ia, 1, 0, 4096, &Done::Record, &twice) == 0);
    void* entry = nullptr;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (entry == nullptr && std::chrono::steady_clock::now() < until) {
      for (int i = 0; i < ch.ring_count() && entry == nullptr; ++i) {
        spdk_ring_dequeue(ch.record()->rings[i], &entry, 1);
      }
    }
    CHECK_OR_FAIL(entry != nullptr);
    void* again[2] = {entry, entry};
    CHECK_OR_FAIL(spdk_ring_enqueue(ch.record()->rings[0], again, 2, nullptr) == 2);
    bdev_pyx_io stray{};
    void* foreign = &stray;
    CHECK_OR_FAIL(spdk_ring_enqueue(ch.record()->rings[1], &foreign, 1, nullptr) == 1);
    ch.Poll();
    c = ch.counters();
    CHECK_OR_FAIL(twice.calls == 1 && twice.status == 0);
    CHECK_OR_FAIL(c.double_completions == 2 && c.outstanding == 0);
    CHECK_OR_FAIL(c.completed == c.submitted && c.failed == 0);

    disk->Close();
    pyxhost::FinishLibrary();
    cluster.Stop();
    return 0;
  });
  EXPECT_TRUE(r.ok()) << testsupport::Describe(r);
}

TEST(HostModuleTest, WithoutDriversEverySubmissionFails) {
  testsupport::ChildResult r = testsupport::RunInChild([] {
    // A section without worker_num starts no I/O drivers: no ring to
    // complete on, so the library fails the I/O in send_pyx_io.
    CHECK_OR_FAIL(Start(nullptr, 0));
    CHECK_OR_FAIL(get_cpus_size() == 0);
    std::unique_ptr<pyxhost::Disk> disk = pyxhost::Disk::Open("none", 5);
    CHECK_OR_FAIL(!disk->ok() && disk->error() == "no drivers");
    pyxhost::Channel ch(disk.get(), pyxhost::Channel::Options{});
    CHECK_OR_FAIL(ch.ring_count() == 0);
    std::string buf(65536, 'z');
    iovec iov{&buf[0], buf.size()};
    Done d;
    CHECK_OR_FAIL(ch.Write(&iov, 1, 10000, buf.size(), &Done::Record, &d) == 0);
    CHECK_OR_FAIL(d.calls == 0);  // never on the submitting stack
    ch.Poll();
    pyxhost::Counters c = ch.counters();
    CHECK_OR_FAIL(d.calls == 1 && d.status == -1);
    CHECK_OR_FAIL(c.failed == 1 && c.outstanding == 0 && c.failed_submissions == c.pieces_submitted);
    disk->Close();
    pyxhost::FinishLibrary();
    return 0;
  });
  EXPECT_TRUE(r.ok()) << testsupport::Describe(r);
}

}  // namespace
