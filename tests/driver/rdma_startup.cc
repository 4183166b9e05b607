// Start-up of the library over RDMA (is_tcp off) against a simulated cluster
// whose block servers serve RDMA over the emulated verbs device: the I/O on
// four "pyx-polling-" workers, the manager on the one-worker event colony
// "pyx-event-0", the polling workers' RDMA options from the configuration,
// and recv_buff_size absent, fitting or too small. Start-up acts once per
// process, so every case runs in a child of its own.
#include <cerrno>
#include <cstdio>
#include <memory>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "control/globals.h"
#include "io/pyx_driver.h"
#include "driver/control_support.h"
#include "driver/start_ini.h"
#include "pyxdriver/pyxdriver.h"
#include "pyxhost/host.h"
#include "pyxsim/cluster.h"
#include "support/child.h"
#include "support/threads.h"
#include "support/wait.h"
#include "tarn/worker_colony.h"
#include "verbs_emu/verbs_emu.h"

namespace {

using ctltest::IniFile;

std::string RdmaIni(int workers, const std::string& vm_ips, const std::string& vm_ports,
                    const std::string& extra) {
  return ctltest::StartIni(tarn::kRdma, workers, vm_ips, vm_ports, "asyn_log No\n" + extra);
}

// A cluster of one block server serving RDMA on one thread.
pyxsim::ClusterOptions OneRdmaBlockServer() {
  pyxsim::ClusterOptions copt;
  copt.block_servers = 1;
  copt.threads = 1;
  copt.rdma = true;
  return copt;
}

// One I/O through a channel, waited for; its status.
int SyncIo(pyxhost::Channel* ch, bool write, std::string* data, uint64_t offset) {
  struct Done {
    bool done = false;
    int status = -2;
  } done;
  iovec iov{&(*data)[0], data->size()};
  auto cb = [](void* arg, int status) {
    auto* d = static_cast<Done*>(arg);
    d->done = true;
    d->status = status;
  };
  const int rc = write ? ch->Write(&iov, 1, offset, data->size(), cb, &done)
                       : ch->Read(&iov, 1, offset, data->size(), cb, &done);
  if (rc != 0) return rc;
  for (int i = 0; i < 600 && !done.done; ++i) ch->WaitAndPoll(100000);
  return done.done ? done.status : -3;
}

TEST(RdmaStartUp, FourPollingWorkersCarryTheIoAndOneEventWorkerTheManager) {
  const testsupport::ChildResult r = testsupport::RunInChild([] {
    pyxsim::Cluster cluster(OneRdmaBlockServer());
    CHILD_EXPECT(cluster.Start() == 0);
    CHILD_EXPECT(cluster.CreateDisk("vol", 16ull << 20) == 0);
    IniFile ini(RdmaIni(4, cluster.volume_manager_ips(), cluster.volume_manager_ports(), ""));
    CHILD_EXPECT(pyx_init_env() == 0);
    CHILD_EXPECT(tp == tarn::kRdma && tp_manager == tarn::kTcp);
    CHILD_EXPECT(eventworker_colony != nullptr && eventworker_colony->worker_num() == 1);
    CHILD_EXPECT(worker_colony->worker_num() == 4);
    CHILD_EXPECT(pyx::ManagerWorker() == eventworker_colony->GetWorker(0u));
    CHILD_EXPECT(pyxdrivers.size() == 4);
    for (int i = 0; i < 4; ++i) {
      CHILD_EXPECT(pyxdrivers[i]->worker() == worker_colony->GetWorker(static_cast<uint32_t>(i)));
    }
    const std::set<std::string> names = testsupport::ThreadNames();
    CHILD_EXPECT(testsupport::CountPrefix(names, "pyx-polling-") == 4);
    for (int i = 0; i < 4; ++i) CHILD_EXPECT(names.count("pyx-polling-" + std::to_string(i)));
    CHILD_EXPECT(testsupport::CountPrefix(names, "pyx-event-") == 1 && names.count("pyx-event-0") == 1);

    // The polling workers' RDMA options as the configuration gives them;
    // recv_buff_size absent keeps the framework's message size.
    const tarn::WorkerOption& option = worker_colony->option();
    const tarn::WorkerOption::RdmaOption& rdma = option.rdma_option;
    CHILD_EXPECT(option.enable_rdma == 1 && option.name_prefix == "pyx-polling-");
    CHILD_EXPECT(option.max_io_chunk_size == 16384 + 8192 && option.max_io_chunk_count == 512);
    CHILD_EXPECT(rdma.device_name == "emu_0" && rdma.port_id == 1 && rdma.gid_index == 3);
    CHILD_EXPECT(rdma.use_srq && rdma.recv_depth == 1024 && rdma.traffic_class == 105);
    CHILD_EXPECT(rdma.max_send_data_size == tarn::WorkerOption::RdmaOption().max_send_data_size);

    // One block on each driver's stripe, written and read back over RDMA.
    std::unique_ptr<pyxhost::Disk> disk = pyxhost::Disk::Open("vol", 60);
    CHILD_EXPECT(disk->ok());
    {
      pyxhost::Channel ch(disk.get(), pyxhost::Channel::Options());
      for (int i = 0; i < 4; ++i) {
        const uint64_t offset = static_cast<uint64_t>(i) * 16384 + 512;
        std::string data(6000, static_cast<char>('a' + i));
        CHILD_EXPECT(SyncIo(&ch, true, &data, offset) == 0);
        std::string back(6000, '\0');
        CHILD_EXPECT(SyncIo(&ch, false, &back, offset) == 0);
        CHILD_EXPECT(back == data);
        CHILD_EXPECT(cluster.ReadStored("vol", offset, 6000) == data);
      }
      CHILD_EXPECT(ch.Drain(30));
    }
    disk->Close();
    pyx_finish_env();
    CHILD_EXPECT(!worker_colony->started() && !eventworker_colony->started());
    cluster.Stop();
    printf("rdma start-up checked\n");
    return 0;
  }, 240);
  EXPECT_TRUE(r.ok()) << testsupport::Describe(r);
  EXPECT_NE(r.output.find("rdma start-up checked"), std::string::npos) << r.output;
}

// The smallest receive buffer start-up takes carries the largest answer: a
// read of 262144 bytes at an offset that is not 4 KiB-aligned (65 blocks),
// and the read-modify-write of such a write.
TEST(RdmaStartUp, SmallestRecvBuffSizeCarriesTheLargestIo) {
  const testsupport::ChildResult r = testsupport::RunInChild([] {
    pyxsim::Cluster cluster(OneRdmaBlockServer());
    CHILD_EXPECT(cluster.Start() == 0);
    CHILD_EXPECT(cluster.CreateDisk("vol", 16ull << 20) == 0);
    // A stripe wider than the I/O, so that the host hands it over whole.
    IniFile ini(RdmaIni(1, cluster.volume_manager_ips(), cluster.volume_manager_ports(),
                        "recv_buff_size 261\nmax_io_size 266240\nrpc_timeout 5000\n"));
    CHILD_EXPECT(pyx_init_env() == 0);
    std::unique_ptr<pyxhost::Disk> disk = pyxhost::Disk::Open("vol", 60);
    CHILD_EXPECT(disk->ok());
    {
      pyxhost::Channel ch(disk.get(), pyxhost::Channel::Options());
      const uint64_t offset = 512;
      std::string data(262144, '\0');
      for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7 + i / 4096);
      CHILD_EXPECT(SyncIo(&ch, true, &data, offset) == 0);
      std::string back(262144, '\0');
      CHILD_EXPECT(SyncIo(&ch, false, &back, offset) == 0);
      CHILD_EXPECT(back == data);
      CHILD_EXPECT(cluster.ReadStored("vol", offset, data.size()) == data);
      CHILD_EXPECT(ch.Drain(30));
    }
    disk->Close();
    pyx_finish_env();
    cluster.Stop();
    printf("largest io carried\n");
    return 0;
  }, 240);
  EXPECT_TRUE(r.ok()) << testsupport::Describe(r);
  EXPECT_NE(r.output.find("largest io carried"), std::string::npos) << r.output;
}

// Over RDMA too, pyx_finish_env completes once with -1 what a driver
// holds: a read and the read stage of an unaligned write at the block
// server (their answers held back), and an aligned write waiting for the
// unaligned write's block. The clients go while their calls are out.
TEST(RdmaStartUp, FinishingTheEnvironmentFailsTheIoOutOnce) {
  const testsupport::ChildResult r = testsupport::RunInChild([] {
    pyxsim::Cluster cluster(OneRdmaBlockServer());
    CHILD_EXPECT(cluster.Start() == 0);
    CHILD_EXPECT(cluster.CreateDisk("vol", 16ull << 20) == 0);
    IniFile ini(RdmaIni(1, cluster.volume_manager_ips(), cluster.volume_manager_ports(),
                        "rpc_timeout 30000\nretry_sleep_ms 100\n"));
    CHILD_EXPECT(pyx_init_env() == 0);
    std::unique_ptr<pyxhost::Disk> disk = pyxhost::Disk::Open("vol", 60);
    CHILD_EXPECT(disk->ok());
    pyxhost::Channel ch(disk.get(), pyxhost::Channel::Options());
    // The driver's connection to the block server is up before the held
    // calls go (a first call that finds it still connecting is retried).
    std::string warm(4096, 'w');
    CHILD_EXPECT(SyncIo(&ch, true, &warm, 0) == 0);
    cluster.faults().DelayCalls(pyxsim::Role::kBlockServer, pyxsim::Faults::kAnyServer, "Read",
                                5000, 2);
    struct Io {
      std::string data;
      int calls = 0;
      int status = 1;
    } ios[3];
    auto cb = [](void* arg, int status) {
      auto* io = static_cast<Io*>(arg);
      ++io->calls;
      io->status = status;
    };
    const uint64_t offsets[3] = {0, 65536 + 100, 65536};
    const uint64_t lens[3] = {4096, 512, 4096};
    for (int i = 0; i < 3; ++i) {
      ios[i].data.assign(lens[i], 'r');
      iovec iov{&ios[i].data[0], lens[i]};
      CHILD_EXPECT((i == 0 ? ch.Read(&iov, 1, offsets[i], lens[i], cb, &ios[i])
                           : ch.Write(&iov, 1, offsets[i], lens[i], cb, &ios[i])) == 0);
      if (i == 1) {
        CHILD_EXPECT(testsupport::WaitFor([&] {
          return cluster.faults().CallCount(pyxsim::Role::kBlockServer,
                                            pyxsim::Faults::kAnyServer, "Read") == 2;
        }));
      }
    }
    CHILD_EXPECT(testsupport::WaitFor([] {
      size_t n = 0;
      PyxDriver* d = pyxdrivers[0];
      d->worker()->loop()->RunInLoop([&n, d] { n = d->retry_count(); }, false);
      return n == 1;
    }));
    pyx_finish_env();
    ch.Poll();
    for (const Io& io : ios) CHILD_EXPECT(io.calls == 1 && io.status == -1);
    CHILD_EXPECT(ch.counters().double_completions == 0);
    cluster.Stop();
    printf("rdma io failed once\n");
    return 0;
  }, 120);
  EXPECT_TRUE(r.ok()) << testsupport::Describe(r);
  EXPECT_NE(r.output.find("rdma io failed once"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("worker 0 shut down: 3 I/O failed"), std::string::npos) << r.output;
}

struct NoDeviceCase {
  const char* what;
  void (*machine)();  // what the machine lacks
  std::string ini;    // the [ORLA] section, in place of a working one
  std::vector<std::string> lines;
};

std::string WithoutWorkerNum(std::string ini) {
  const size_t at = ini.find("worker_num ");
  return ini.erase(at, ini.find('\n', at) + 1 - at);
}

// RDMA mode on a machine that cannot give the I/O workers their device (or
// with a configuration the workers cannot start on): pyx_init_env logs why,
// the system's own words among it, and returns -1; the host's process goes
// on, with no library thread left, and finishes the environment as usual.
TEST(RdmaStartUp, WithoutItsDeviceStartUpFailsAndTheHostRunsOn) {
  const std::string good = RdmaIni(2, "127.0.0.1", "1", "");
  const NoDeviceCase cases[] = {
      {"no rdma device at all", [] { verbs_emu::RemoveAllDevices(); }, good,
       {"device_ is null, device_name: emu_0", "No such device", "init rdma failed",
        "the rdma io workers cannot start on device emu_0"}},
      {"the device refuses to open", [] { verbs_emu::FailNextCall("ibv_open_device", EACCES, 100); },
       good, {"ibv_open_device failed", "Permission denied", "init rdma failed"}},
      {"worker_num absent", [] {}, WithoutWorkerNum(good),
       {"io worker should be at least 1 over rdma, got 0", "Failed to int env"}},
      {"a core mask of one core for two workers", [] {},
       RdmaIni(2, "127.0.0.1", "1", "worker_core_mask 1\n"),
       {"worker_core_mask 1 names 1 cores of this machine for worker_num 2", "Failed to int env"}},
  };
  for (const NoDeviceCase& c : cases) {
    SCOPED_TRACE(c.what);
    const testsupport::ChildResult r = testsupport::RunInChild([&c] {
      c.machine();
      IniFile ini(c.ini);
      const size_t threads = testsupport::ThreadNames().size();
      CHILD_EXPECT(pyx_init_env() == -1);
      CHILD_EXPECT(pyxdrivers.empty() && worker_colony == nullptr);
      CHILD_EXPECT(eventworker_colony == nullptr && pyx::ManagerWorker() == nullptr);
      CHILD_EXPECT(testsupport::SettledThreadsNamed("pyx-", 0) == 0);
      bdev_pyx disk{};
      disk.name = const_cast<char*>("vol");
      CHILD_EXPECT(get_vdisk_size(&disk) == -1);
      pyx_finish_env();
      printf("host still runs, %zu threads before\n", threads);
      fflush(stdout);
      return 0;
    }, 60);
    EXPECT_TRUE(r.ok()) << testsupport::Describe(r);
    EXPECT_NE(r.output.find("host still runs"), std::string::npos) << r.output;
    for (const std::string& line : c.lines) {
      EXPECT_NE(r.output.find(line), std::string::npos) << line << "\n" << r.output;
    }
    EXPECT_EQ(r.output.find("FATAL"), std::string::npos) << r.output;
  }
}

// A host whose first start found no RDMA device, and that finished the
// environment after it, starts the library again once the device is there:
// the second pyx_init_env comes up whole and carries I/O, and the next
// pyx_finish_env stops it.
TEST(RdmaStartUp, AStartThatFailedForWantOfTheDeviceCanBeTriedAgain) {
  const testsupport::ChildResult r = testsupport::RunInChild([] {
    {
      IniFile ini(RdmaIni(2, "127.0.0.1", "1", ""));
      verbs_emu::RemoveAllDevices();
      CHILD_EXPECT(pyx_init_env() == -1);
      CHILD_EXPECT(pyxdrivers.empty() && worker_colony == nullptr);
      // The host cleans up after the failed start as after any other.
      pyx_finish_env();
    }
    verbs_emu::DefineDevices({verbs_emu::DefaultDevice()});
    pyxsim::Cluster cluster(OneRdmaBlockServer());
    CHILD_EXPECT(cluster.Start() == 0);
    CHILD_EXPECT(cluster.CreateDisk("vol", 16ull << 20) == 0);
    IniFile ini(RdmaIni(2, cluster.volume_manager_ips(), cluster.volume_manager_ports(), ""));
    CHILD_EXPECT(pyx_init_env() == 0);
    CHILD_EXPECT(pyxdrivers.size() == 2);
    std::unique_ptr<pyxhost::Disk> disk = pyxhost::Disk::Open("vol", 60);
    CHILD_EXPECT(disk->ok());
    {
      pyxhost::Channel ch(disk.get(), pyxhost::Channel::Options());
      std::string data(16384, 'r');
      CHILD_EXPECT(SyncIo(&ch, true, &data, 16384 - 4096) == 0);
      CHILD_EXPECT(cluster.ReadStored("vol", 16384 - 4096, 16384) == data);
      CHILD_EXPECT(ch.Drain(30));
    }
    disk->Close();
    pyx_finish_env();
    CHILD_EXPECT(!worker_colony->started() && !eventworker_colony->started());
    cluster.Stop();
    printf("second start carried the I/O\n");
    return 0;
  }, 120);
  EXPECT_TRUE(r.ok()) << testsupport::Describe(r);
  EXPECT_NE(r.output.find("second start carried the I/O"), std::string::npos) << r.output;
}

struct RecvBuffCase {
  const char* what;
  std::string extra;
  int result;
  uint32_t data_size;  // the polling workers' max_send_data_size when started
  bool srq;
  const char* line;
};

TEST(RdmaStartUp, RecvBuffSizeAndSharedReceiveQueue) {
  const RecvBuffCase cases[] = {
      {"fits", "recv_buff_size 261\nmax_io_size 65536\n", 0, 267264, true, nullptr},
      {"soc", "recv_buff_size 300\nis_soc Yes\n", 0, 307200, false, nullptr},
      {"too small", "recv_buff_size 8\n", -1, 0, true,
       "error: recv_buff_size 8 KiB is too small for an I/O of 262144 bytes plus its headers"},
      // The library takes I/O of 262144 bytes whatever its stripe.
      {"covers max_io_size only", "recv_buff_size 64\nmax_io_size 65536\n", -1, 0, true,
       "error: recv_buff_size 64 KiB is too small for an I/O of 262144 bytes plus its headers, "
       "it should be at least 261 KiB"},
      {"the largest I/O without headers", "recv_buff_size 256\n", -1, 0, true,
       "error: recv_buff_size 256 KiB is too small for an I/O of 262144 bytes"},
      {"not a size", "recv_buff_size many\n", -1, 0, true,
       "error: recv_buff_size should be between 1 and"},
  };
  for (const RecvBuffCase& c : cases) {
    const testsupport::ChildResult r = testsupport::RunInChild([&] {
      IniFile ini(RdmaIni(1, "127.0.0.1", "1", c.extra));
      CHILD_EXPECT(pyx_init_env() == c.result);
      if (c.result != 0) {
        // Refused before anything started.
        CHILD_EXPECT(worker_colony == nullptr && eventworker_colony == nullptr);
        CHILD_EXPECT(testsupport::SettledThreadsNamed("pyx-", 0) == 0);
        return 0;
      }
      const tarn::WorkerOption::RdmaOption& rdma = worker_colony->option().rdma_option;
      CHILD_EXPECT(rdma.max_send_data_size == c.data_size);
      CHILD_EXPECT(rdma.use_srq == c.srq);
      pyx_finish_env();
      return 0;
    });
    EXPECT_TRUE(r.ok()) << c.what << "\n" << testsupport::Describe(r);
    if (c.line != nullptr) {
      EXPECT_NE(r.output.find(c.line), std::string::npos) << c.what;
    }
  }
}

}  // namespace
