// A storage host's whole run against the simulated cluster: what the library
// still holds when the environment is finished, and a disk record opened
// again after pyx_free. The library starts once per process, so each case
// runs in a child.
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <map>
#include <memory>
#include <thread>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "control/globals.h"
#include "control/startup.h"
#include "pyxdriver/pyxdriver.h"
#include "pyxhost/host.h"
#include "pyxsim/cluster.h"
#include "record_access.h"
#include "spdk/bdev_module.h"
#include "spdk/env.h"
#include "support/child.h"
#include "support/ports.h"
#include "support/wait.h"
#include "tarn/loop.h"
#include "tarn/worker.h"

namespace {

using pyxsim::Role;

constexpr uint64_t kLifecycleDiskSize = 16ull << 20;

bool Start(const pyxsim::Cluster& cluster, const std::string& extra) {
  char path[] = "/tmp/host_lifecycle.XXXXXX";
  const int fd = mkstemp(path);
  if (fd < 0) return false;
  std::string ini = "[ORLA]\nuse_orla Yes\nrdma_device none\nis_tcp Yes\nasyn_log No\n"
                    "crash_on_fatal_log No\nservice_ip 127.0.0.1\n";
  ini += "service_port " + std::to_string(testsupport::PickFreePort()) + "\n";
  ini += "volume_manager_ips " + cluster.volume_manager_ips() + "\n";
  ini += "volume_manager_ports " + cluster.volume_manager_ports() + "\n" + extra;
  const bool written = write(fd, ini.data(), ini.size()) == static_cast<ssize_t>(ini.size());
  close(fd);
  const bool started = written && pyxhost::StartLibrary(path) == 0;
  unlink(path);
  return started;
}

// One host I/O: its buffer and what its callback saw.
struct HostIo {
  explicit HostIo(uint64_t len) : data(len, 'h') {}
  std::string data;
  int calls = 0;
  int status = 1;
  static void Done(void* arg, int status) {
    auto* io = static_cast<HostIo*>(arg);
    ++io->calls;
    io->status = status;
  }
};

int Submit(pyxhost::Channel* ch, bool write, HostIo* io, uint64_t offset) {
  iovec iov{&io->data[0], io->data.size()};
  return write ? ch->Write(&iov, 1, offset, io->data.size(), &HostIo::Done, io)
               : ch->Read(&iov, 1, offset, io->data.size(), &HostIo::Done, io);
}

// Runs fn on driver i's loop and waits for it.
template <typename T>
T OnDriver(size_t i, T (*fn)(PyxDriver*)) {
  T v{};
  PyxDriver* d = pyxdrivers[i];
  d->worker()->loop()->RunInLoop([&v, d, fn] { v = fn(d); }, false);
  return v;
}

uint64_t Calls(pyxsim::Cluster& cluster, const std::string& method) {
  return cluster.faults().CallCount(Role::kBlockServer, pyxsim::Faults::kAnyServer, method);
}

// At pyx_finish_env one driver holds a read and an aligned write at a block
// server (their answers held back 5 s), the read stage of an unaligned write
// there too, a read and a write in its pending queue (admission is full),
// and two unaligned writes on its retry ring (one after a retryable answer,
// one waiting for the other's block). Each completes once with -1 before
// pyx_finish_env returns; an I/O submitted afterwards fails at once.
TEST(HostLifecycle, FinishingTheEnvironmentCompletesEveryHeldIoOnce) {
  const testsupport::ChildResult r = testsupport::RunInChild([] {
    pyxsim::Cluster cluster(pyxsim::ClusterOptions{});
    CHILD_EXPECT(cluster.Start() == 0 && cluster.CreateDisk("vol", kLifecycleDiskSize) == 0);
    CHILD_EXPECT(Start(cluster, "worker_num 1\nmax_flighting 2\nrpc_timeout 30000\n"
                                "retry_sleep_ms 600000\npolling_interval_ms 600000\n"));
    std::unique_ptr<pyxhost::Disk> disk = pyxhost::Disk::Open("vol", 60);
    CHILD_EXPECT(disk->ok());
    pyxhost::Channel ch(disk.get(), pyxhost::Channel::Options());
    pyxsim::Faults& faults = cluster.faults();

    faults.DelayCalls(Role::kBlockServer, pyxsim::Faults::kAnyServer, "Read", 5000, 2);
    faults.DelayCalls(Role::kBlockServer, pyxsim::Faults::kAnyServer, "Write", 5000, 1);
    std::vector<std::unique_ptr<HostIo>> ios;
    auto add = [&](bool write, uint64_t offset, uint64_t len) {
      ios.emplace_back(new HostIo(len));
      return Submit(&ch, write, ios.back().get(), offset);
    };
    CHILD_EXPECT(add(false, 0, 4096) == 0);
    CHILD_EXPECT(add(true, 65536, 4096) == 0);
    CHILD_EXPECT(add(true, 131072 + 100, 512) == 0);
    CHILD_EXPECT(testsupport::WaitFor(
        [&] { return Calls(cluster, "Read") == 2 && Calls(cluster, "Write") == 1; }));
    CHILD_EXPECT(add(false, 4096, 4096) == 0);
    CHILD_EXPECT(add(true, 69632, 4096) == 0);
    CHILD_EXPECT(testsupport::WaitFor(
        [] { return OnDriver<size_t>(0, [](PyxDriver* d) { return d->pending_count(); }) == 2; }));
    faults.FailCalls(Role::kBlockServer, pyxsim::Faults::kAnyServer, "Read", -12016,
                     pyxsim::Faults::kForever);
    CHILD_EXPECT(add(true, 196608 + 100, 512) == 0);
    CHILD_EXPECT(add(true, 196608 + 1000, 512) == 0);
    CHILD_EXPECT(testsupport::WaitFor(
        [] { return OnDriver<size_t>(0, [](PyxDriver* d) { return d->retry_count(); }) == 2; }));
    CHILD_EXPECT(OnDriver<size_t>(0, [](PyxDriver* d) { return d->outstanding_calls(); }) == 3);
    CHILD_EXPECT(ch.Poll() == 0);

    pyx_finish_env();
    // Everything is on the rings already: one look takes it all.
    ch.Poll();
    for (const auto& io : ios) {
      CHILD_EXPECT(io->calls == 1);
      CHILD_EXPECT(io->status == -1);
    }
    const pyxhost::Counters c = ch.counters();
    CHILD_EXPECT(c.completed == 7 && c.failed == 7 && c.double_completions == 0);
    PyxDriver* d = pyxdrivers[0];
    CHILD_EXPECT(d->in_flight() == 0 && d->pending_count() == 0 && d->retry_count() == 0);
    CHILD_EXPECT(d->outstanding_calls() == 0);

    // A later submission fails inside send_pyx_io, on no ring.
    std::vector<uint8_t> bio_memory(sizeof(spdk_bdev_io) + sizeof(bdev_pyx_io), 0);
    auto* bio = reinterpret_cast<spdk_bdev_io*>(bio_memory.data());
    bio->type = SPDK_BDEV_IO_TYPE_READ;
    auto* late = static_cast<bdev_pyx_io*>(spdk_bdev_io_get_driver_ctx(bio));
    std::string buffer(4096, '\0');
    iovec iov{&buffer[0], buffer.size()};
    late->iov = &iov;
    late->iovcnt = 1;
    late->len = 4096;
    late->offset = 8192;
    late->ch = ch.record();
    send_pyx_io(bio);
    CHILD_EXPECT(late->status == -1);
    // So does an aligned write across a stripe, every part of it.
    const uint64_t stripe = static_cast<uint64_t>(get_max_io_size());
    std::string both(8192, 'w');
    iovec across_iov{&both[0], both.size()};
    bio->type = SPDK_BDEV_IO_TYPE_WRITE;
    late->status = 0;
    late->iov = &across_iov;
    late->len = both.size();
    late->offset = stripe - 4096;
    send_pyx_io(bio);
    CHILD_EXPECT(late->status == -1);
    CHILD_EXPECT(ch.Poll() == 0 && ch.counters().double_completions == 0);
    printf("every held io failed once\n");
    fflush(stdout);
    // The held answers still leave the cluster as it stops; nobody reads
    // them any more.
    cluster.Stop();
    return 0;
  }, 120);
  EXPECT_TRUE(r.ok()) << testsupport::Describe(r);
  EXPECT_NE(r.output.find("every held io failed once"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("worker 0 shut down: 7 I/O failed"), std::string::npos) << r.output;
}

// One block I/O record of a host that drives the C interface itself.
struct RawIo {
  RawIo(bdev_pyx_io_channel* ch, uint64_t offset) : memory(sizeof(spdk_bdev_io) + sizeof(bdev_pyx_io)) {
    bio()->type = SPDK_BDEV_IO_TYPE_READ;
    bdev_pyx_io* r = io();
    iov = iovec{&buffer[0], buffer.size()};
    r->iov = &iov;
    r->iovcnt = 1;
    r->len = buffer.size();
    r->offset = offset;
    r->ch = ch;
  }
  spdk_bdev_io* bio() { return reinterpret_cast<spdk_bdev_io*>(memory.data()); }
  bdev_pyx_io* io() { return static_cast<bdev_pyx_io*>(spdk_bdev_io_get_driver_ctx(bio())); }
  std::vector<uint8_t> memory;
  std::string buffer = std::string(4096, '\0');
  iovec iov{};
};

struct RingCase {
  const char* what;
  bool host_polls;  // on a thread of its own while pyx_finish_env runs
};

// At pyx_finish_env six reads are at a block server and the host's
// completion ring takes two. A host that polls on while the library shuts
// down gets all six, each once, before pyx_finish_env returns; one that
// does not is told in the log how many it will never see, after the wait.
TEST(HostLifecycle, FinishingTheEnvironmentHandsOverWhatAFullRingHeldBack) {
  const RingCase cases[] = {{"host polls", true}, {"host does not poll", false}};
  for (const RingCase& c : cases) {
    SCOPED_TRACE(c.what);
    const testsupport::ChildResult r = testsupport::RunInChild([&c] {
      pyxsim::Cluster cluster(pyxsim::ClusterOptions{});
      CHILD_EXPECT(cluster.Start() == 0 && cluster.CreateDisk("vol", kLifecycleDiskSize) == 0);
      CHILD_EXPECT(Start(cluster, "worker_num 1\nrpc_timeout 30000\n"));
      std::unique_ptr<pyxhost::Disk> disk = pyxhost::Disk::Open("vol", 60);
      CHILD_EXPECT(disk->ok());
      std::vector<spdk_ring*> rings;
      for (int i = 0; i < 16; ++i) {
        rings.push_back(spdk_ring_create(SPDK_RING_TYPE_MP_SC, 2, SPDK_ENV_SOCKET_ID_ANY));
      }
      bdev_pyx_io_channel ch{disk->record(), rings.data()};
      cluster.faults().DelayCalls(Role::kBlockServer, pyxsim::Faults::kAnyServer, "Read", 5000, 6);
      std::vector<std::unique_ptr<RawIo>> ios;
      std::map<bdev_pyx_io*, int> seen;
      for (uint64_t i = 0; i < 6; ++i) {
        ios.emplace_back(new RawIo(&ch, i * 4096));
        seen[ios.back()->io()] = 0;
        send_pyx_io(ios.back()->bio());
      }
      CHILD_EXPECT(testsupport::WaitFor([&] { return Calls(cluster, "Read") == 6; }));
      std::atomic<bool> stop{false};
      std::atomic<int> taken{0};
      auto take = [&] {
        void* batch[8];
        const size_t n = spdk_ring_dequeue(rings[0], batch, 8);
        for (size_t k = 0; k < n; ++k) ++seen[static_cast<bdev_pyx_io*>(batch[k])];
        taken += static_cast<int>(n);
      };
      std::thread poller;
      if (c.host_polls) {
        poller = std::thread([&] {
          while (!stop.load()) {
            take();
            usleep(2000);
          }
        });
      } else {
        pyx::finish_ring_wait_ms = 300;
      }
      pyx_finish_env();
      // Every one is on the ring by now, none left with the driver.
      const size_t left_with_driver = pyxdrivers[0]->overflow_count();
      stop = true;
      if (poller.joinable()) poller.join();
      take();
      if (c.host_polls) {
        CHILD_EXPECT(left_with_driver == 0);
        CHILD_EXPECT(taken.load() == 6);
        for (auto& e : seen) CHILD_EXPECT(e.second == 1);
        for (auto& io : ios) CHILD_EXPECT(io->io()->status == -1);
      } else {
        CHILD_EXPECT(left_with_driver == 4);
        CHILD_EXPECT(taken.load() == 2);
      }
      printf("finished with %d taken\n", taken.load());
      fflush(stdout);
      cluster.Stop();
      return 0;
    }, 120);
    EXPECT_TRUE(r.ok()) << testsupport::Describe(r);
    if (c.host_polls) {
      EXPECT_NE(r.output.find("finished with 6 taken"), std::string::npos) << r.output;
    } else {
      EXPECT_NE(r.output.find("finished with 2 taken"), std::string::npos) << r.output;
      EXPECT_NE(r.output.find("pyx_finish_env: 4 finished I/O could not be handed to the host"),
                std::string::npos)
          << r.output;
    }
  }
}

// A host that keeps its record after pyx_free and calls pyx_init on it again
// gets a whole disk: every driver has its lock set and integrity vectors, so
// a block corrupted behind the library's back is caught on read.
TEST(HostLifecycle, ARecordOpenedAgainAfterFreeComesUpWhole) {
  const testsupport::ChildResult r = testsupport::RunInChild([] {
    pyxsim::Cluster cluster(pyxsim::ClusterOptions{});
    CHILD_EXPECT(cluster.Start() == 0 && cluster.CreateDisk("vol", kLifecycleDiskSize) == 0);
    CHILD_EXPECT(Start(cluster, "worker_num 2\nis_crc Yes\nkLogLevel warning\n"));
    std::unique_ptr<pyxhost::Disk> disk = pyxhost::Disk::Open("vol", 60);
    CHILD_EXPECT(disk->ok());
    {
      pyxhost::Channel ch(disk.get(), pyxhost::Channel::Options());
      HostIo w(4096);
      CHILD_EXPECT(Submit(&ch, true, &w, 0) == 0);
      CHILD_EXPECT(ch.Drain(30) && w.status == 0);
    }
    bdev_pyx* record = disk->record();
    pyx_free(record);
    // The same record, as the host keeps it.
    pyx::Store(record->ok, 0);
    CHILD_EXPECT(pyx_init(record) == 0);
    CHILD_EXPECT(testsupport::WaitFor([record] {
      return pyx::Load(record->ok) == 1 && pyx::Load(record->deleting) == 0;
    }));
    CHILD_EXPECT(pyx::Load(record->size) == kLifecycleDiskSize);
    for (size_t i = 0; i < pyxdrivers.size(); ++i) {
      CHILD_EXPECT(OnDriver<size_t>(i, [](PyxDriver* d) { return d->vector_size("vol"); }) ==
                   kLifecycleDiskSize / 4096);
      CHILD_EXPECT(OnDriver<bool>(i, [](PyxDriver* d) { return d->has_route_cache("vol"); }));
    }
    printf("reopened\n");
    fflush(stdout);

    pyxhost::Channel ch(disk.get(), pyxhost::Channel::Options());
    // An aligned write records the block's CRC; an unaligned one in the
    // other driver's stripe goes through its lock set.
    HostIo w(4096), u(100);
    CHILD_EXPECT(Submit(&ch, true, &w, 4096) == 0);
    CHILD_EXPECT(Submit(&ch, true, &u, 16384 + 10) == 0);
    CHILD_EXPECT(ch.Drain(30) && w.status == 0 && u.status == 0);
    CHILD_EXPECT(cluster.ReadStored("vol", 16384 + 10, 100) == u.data);
    CHILD_EXPECT(cluster.WriteStored("vol", 4096, std::string(4096, 'x')) == 0);
    HostIo rd(4096);
    CHILD_EXPECT(Submit(&ch, false, &rd, 4096) == 0);
    CHILD_EXPECT(ch.Drain(30) && rd.status == 0);
    CHILD_EXPECT(ch.Drain(30));
    disk->Close();
    pyx_finish_env();
    cluster.Stop();
    return 0;
  }, 120);
  EXPECT_TRUE(r.ok()) << testsupport::Describe(r);
  const size_t reopened = r.output.find("reopened");
  ASSERT_NE(reopened, std::string::npos) << r.output;
  EXPECT_NE(r.output.find("vol crc noequal,|reqlba: 4096|4klba: 4096", reopened),
            std::string::npos)
      << r.output;
  EXPECT_EQ(r.output.find("go unchecked"), std::string::npos) << r.output;
}

}  // namespace
