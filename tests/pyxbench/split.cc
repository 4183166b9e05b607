// The block layer of pyxbench's jobs: I/O larger than the host's module
// takes is cut where a block layer cuts it, its children go out together
// through a real host channel to the library and a cluster, and the parent
// completes once, after its last child, failed when any child failed.
#include "split.h"

#include <errno.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "pyxhost/host.h"
#include "pyxsim/cluster.h"
#include "support/child.h"
#include "support/ports.h"

namespace {

using pyxbench::Child;
using pyxbench::CutChildren;
using pyxbench::MostChildren;
using pyxbench::SplitChannel;

constexpr uint64_t kM = pyxhost::kMaxIoBytes;

struct CutCase {
  uint64_t offset, len;
  std::vector<std::pair<uint64_t, uint64_t>> want;  // offset, length of each child
};

TEST(SplitCuts, ChildrenAtMostTheModulesLargestEndOn4KiBBoundaries) {
  const CutCase cases[] = {
      {0, 4096, {{0, 4096}}},
      // The module takes its largest at any offset: no split.
      {512, kM, {{512, kM}}},
      {0, kM + 1, {{0, kM}, {kM, 1}}},
      {0, 4 * kM, {{0, kM}, {kM, kM}, {2 * kM, kM}, {3 * kM, kM}}},
      // Unaligned: the first child is short so the rest are aligned.
      {512, 4 * kM, {{512, kM - 512}, {kM, kM}, {2 * kM, kM}, {3 * kM, kM}, {4 * kM, 512}}},
      {4096 + 100, kM + 8192, {{4196, kM - 100}, {kM + 4096, 8192 + 100}}},
  };
  for (const CutCase& c : cases) {
    std::vector<Child> out(MostChildren(c.len, kM));
    const int n = CutChildren(c.offset, c.len, kM, out.data());
    std::vector<std::pair<uint64_t, uint64_t>> got;
    for (int i = 0; i < n; ++i) got.emplace_back(out[i].offset, out[i].len);
    EXPECT_EQ(got, c.want) << c.offset << "+" << c.len;
  }
  // Every length up to the largest --bs at offsets of every alignment: the
  // children tile the I/O, none past the module's largest, every cut on a
  // 4 KiB boundary, never more than MostChildren says.
  const uint64_t kLens[] = {1, kM - 1, kM + 512, 3 * kM + 7, 1 << 20, (16 << 20) - 512, 16 << 20};
  const uint64_t kOffsets[] = {0, 1, 512, 4095, 4096, kM - 512, (1ull << 30) + 3};
  for (uint64_t len : kLens) {
    const int most = MostChildren(len, kM);
    std::vector<Child> out(most);
    for (uint64_t offset : kOffsets) {
      const int n = CutChildren(offset, len, kM, out.data());
      ASSERT_LE(n, most) << offset << "+" << len;
      uint64_t pos = offset;
      for (int i = 0; i < n; ++i) {
        EXPECT_EQ(out[i].offset, pos);
        EXPECT_GE(out[i].len, 1u);
        EXPECT_LE(out[i].len, kM);
        pos += out[i].len;
        if (i + 1 < n) {
          EXPECT_EQ(pos % 4096, 0u) << offset << "+" << len << " child " << i;
        }
      }
      EXPECT_EQ(pos, offset + len);
    }
  }
}

// --- Through a real channel, library and cluster (one library per
// process: each case runs in a child) ---

constexpr uint64_t kDiskSize = 64ull << 20;

bool StartLibrary(const pyxsim::Cluster& cluster) {
  char path[] = "/tmp/pyxbench_split.XXXXXX";
  const int fd = mkstemp(path);
  if (fd < 0) return false;
  std::string ini = "[ORLA]\nuse_orla Yes\nrdma_device none\nis_tcp Yes\nasyn_log No\n"
                    "kLogLevel error\nservice_ip 127.0.0.1\nmax_io_size 16384\nworker_num 2\n";
  ini += "service_port " + std::to_string(testsupport::PickFreePort()) + "\n";
  ini += "volume_manager_ips " + cluster.volume_manager_ips() + "\n";
  ini += "volume_manager_ports " + cluster.volume_manager_ports() + "\n";
  const bool written = write(fd, ini.data(), ini.size()) == static_cast<ssize_t>(ini.size());
  close(fd);
  const bool started = written && pyxhost::StartLibrary(path) == 0;
  unlink(path);
  return started;
}

// A parent's end as its caller sees it, with what the channel below had
// still out at that moment.
struct Ends {
  SplitChannel* ch = nullptr;
  int calls = 0;
  int status = 1;
  uint64_t children_out = ~0ull;
  static void Record(void* arg, int status) {
    Ends* e = static_cast<Ends*>(arg);
    ++e->calls;
    e->status = status;
    e->children_out = e->ch->counters().outstanding;
  }
};

bool WaitAll(SplitChannel* ch) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (ch->outstanding() != 0 && std::chrono::steady_clock::now() < until) ch->WaitAndPoll(1000);
  return ch->outstanding() == 0;
}

std::string Bytes(uint64_t len, uint64_t seed) {
  std::string s(len, '\0');
  uint64_t x = seed * 0x9e3779b97f4a7c15ull + 1;
  for (uint64_t i = 0; i < len; ++i) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    s[i] = static_cast<char>(x);
  }
  return s;
}

uint8_t* Data(std::string& s) { return reinterpret_cast<uint8_t*>(&s[0]); }

TEST(SplitChannelTest, ParentsCompleteOnceAfterTheirLastChildFailedWhenAnyFailed) {
  testsupport::ChildResult r = testsupport::RunInChild([] {
    pyxsim::Cluster cluster(pyxsim::ClusterOptions{});
    CHILD_EXPECT(cluster.Start() == 0 && cluster.CreateDisk("split", kDiskSize) == 0);
    CHILD_EXPECT(StartLibrary(cluster));
    std::unique_ptr<pyxhost::Disk> disk = pyxhost::Disk::Open("split", 60);
    CHILD_EXPECT(disk->ok());
    {
      SplitChannel ch(disk.get(), pyxhost::Channel::Options{}, 2, 16ull << 20);

      // The largest parent and an unaligned one, in flight together.
      const uint64_t big_at = 32ull << 20, odd_at = 3 * 4096 + 512, odd_len = (1 << 20) + 1000;
      std::string big = Bytes(16ull << 20, 1), odd = Bytes(odd_len, 2);
      Ends wb{&ch}, wo{&ch};
      CHILD_EXPECT(ch.Write(Data(big), big_at, big.size(), &Ends::Record, &wb) == 0);
      CHILD_EXPECT(ch.Write(Data(odd), odd_at, odd_len, &Ends::Record, &wo) == 0);
      CHILD_EXPECT(ch.outstanding() == 2);
      // The depth counts parents; bad lengths are refused outright.
      Ends never{&ch};
      std::string small(4096, 's');
      CHILD_EXPECT(ch.Read(Data(small), 0, 4096, &Ends::Record, &never) == -EBUSY);
      CHILD_EXPECT(WaitAll(&ch));
      CHILD_EXPECT(ch.Read(Data(small), 0, 0, &Ends::Record, &never) == -EINVAL);
      CHILD_EXPECT(ch.Read(Data(big), 0, (16ull << 20) + 1, &Ends::Record, &never) == -EINVAL);
      CHILD_EXPECT(never.calls == 0);
      CHILD_EXPECT(wb.calls == 1 && wb.status == 0 && wo.calls == 1 && wo.status == 0);
      // 64 children for 16 MiB; 1 MiB + 1000 at 12800: 5.
      pyxhost::Counters c = ch.counters();
      CHILD_EXPECT(c.submitted == 64 + 5 && c.completed == c.submitted && c.failed == 0);
      CHILD_EXPECT(cluster.ReadStored("split", big_at, big.size()) == big);
      CHILD_EXPECT(cluster.ReadStored("split", odd_at, odd_len) == odd);

      // Read back whole into buffers holding something else.
      std::string big_back = Bytes(big.size(), 3), odd_back = Bytes(odd_len, 4);
      Ends rb{&ch}, ro{&ch};
      CHILD_EXPECT(ch.Read(Data(big_back), big_at, big.size(), &Ends::Record, &rb) == 0);
      CHILD_EXPECT(ch.Read(Data(odd_back), odd_at, odd_len, &Ends::Record, &ro) == 0);
      CHILD_EXPECT(WaitAll(&ch));
      CHILD_EXPECT(rb.calls == 1 && rb.status == 0 && big_back == big);
      CHILD_EXPECT(ro.calls == 1 && ro.status == 0 && odd_back == odd);

      // One child of a write and one of a read fail (an answer the library
      // does not retry): each parent fails once, when its last child ended.
      for (const char* method : {"Write", "Read"}) {
        cluster.faults().FailCalls(pyxsim::Role::kBlockServer, pyxsim::Faults::kAnyServer, method,
                                   -14001, 1);
        Ends e{&ch};
        std::string buf = Bytes(1 << 20, 5);
        const int rc = std::string(method) == "Write"
                           ? ch.Write(Data(buf), 8 << 20, buf.size(), &Ends::Record, &e)
                           : ch.Read(Data(buf), 8 << 20, buf.size(), &Ends::Record, &e);
        CHILD_EXPECT(rc == 0);
        CHILD_EXPECT(WaitAll(&ch));
        CHILD_EXPECT(e.calls == 1 && e.status == -1 && e.children_out == 0);
        CHILD_EXPECT(cluster.faults().PendingFaults() == 0);
      }
      c = ch.counters();
      CHILD_EXPECT(c.failed == 2 && c.double_completions == 0);
    }
    disk->Close();
    pyxhost::FinishLibrary();
    cluster.Stop();
    return 0;
  });
  EXPECT_TRUE(r.ok()) << testsupport::Describe(r);
}

}  // namespace
