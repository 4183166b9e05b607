// One queue pair destroyed at once while the worker's receive completion
// queue holds the messages of all of its queue pairs: six connections
// between two workers, sixteen messages waiting on each, the last one
// filled destroyed (closed and its sends settled, or destroyed now) from a
// task and from a completion callback. Its sixteen messages are still
// delivered, and the other connections' arrive whole and in order, with no
// receive buffer lost or given back twice. Run with receives of each queue
// pair's own and with a shared receive queue deep enough for all.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "rdma/rdma_connection_pair.h"

namespace rdmatest {
namespace {

using tarn::kConnected;
using tarn::kConnecting;

constexpr int kLinks = 6;
constexpr int kPerLink = 16;
constexpr uint32_t kMessageLen = 64;
// The one destroyed: filled last, so its messages lie behind all others.
constexpr int kVictim = kLinks - 1;

// Message `seq` of link `link`: its name, padded.
std::string Text(int link, int seq) {
  char head[32];
  std::snprintf(head, sizeof(head), "link %d seq %02d ", link, seq);
  std::string text(head);
  text.resize(kMessageLen, static_cast<char>('a' + link));
  return text;
}

// One connection between worker a and worker b.
struct Link {
  std::shared_ptr<tarn::RdmaConnection> a_conn;
  std::shared_ptr<tarn::RdmaConnection> b_conn;
  std::shared_ptr<tarn::RdmaQueuePair> a_qp;
  std::shared_ptr<tarn::RdmaQueuePair> b_qp;
  Record b_record;  // what b received on it
};

enum class Where { kTask, kCallback };
enum class How { kDestroyNow, kSettleSends };

struct DestroyCase {
  const char* name;
  Where where;
  How how;
};

class DestroyAmongPairsTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    // With a shared queue every message of every link must find a receive.
    option_ = Option(GetParam(), GetParam() ? kLinks * kPerLink : kPerLink);
    ASSERT_NO_FATAL_FAILURE(StartWorkers());
  }
  void TearDown() override { StopWorkers(); }

  // Two workers on a fabric of their own.
  void StartWorkers() {
    verbs_emu::ResetFabric();
    colony_.reset(new tarn::PollingWorkerColony(2, option_, nullptr));
    ASSERT_TRUE(colony_->Start());
    a_ = static_cast<tarn::PollingWorker*>(colony_->GetWorker(0u));
    b_ = static_cast<tarn::PollingWorker*>(colony_->GetWorker(1u));
  }
  void StopWorkers() {
    if (colony_ != nullptr) colony_->Stop();
    links_.clear();
    colony_.reset();
    verbs_emu::ResetFabric();
  }

  bool Run(tarn::PollingWorker* worker, const std::function<void()>& fn) {
    return testsupport::RunSync(worker, fn);
  }

  std::shared_ptr<tarn::RdmaConnection> MakeConnection(tarn::PollingWorker* worker,
                                                       const std::string& name,
                                                       std::shared_ptr<tarn::RdmaQueuePair>* qp) {
    std::shared_ptr<tarn::RdmaConnection> conn;
    Run(worker, [&] {
      *qp = worker->NewQueuePair();
      ASSERT_NE(*qp, nullptr);
      conn = std::make_shared<tarn::RdmaConnection>(worker, name, tarn::g_conn_id.fetch_add(1),
                                                    tarn::SockAddress("127.0.0.1", 1, false),
                                                    option_.rdma_option);
      conn->set_state(kConnecting);
      conn->set_queue_pair(*qp);
    });
    return conn;
  }

  // kLinks established connections, receives posted on both sides.
  void BuildLinks() {
    links_.clear();
    for (int i = 0; i < kLinks; ++i) {
      links_.emplace_back(new Link);
      Link* link = links_.back().get();
      link->a_conn = MakeConnection(a_, "a-" + std::to_string(i), &link->a_qp);
      link->b_conn = MakeConnection(b_, "b-" + std::to_string(i), &link->b_qp);
      ASSERT_TRUE(link->a_conn != nullptr && link->b_conn != nullptr);
      Record* record = &link->b_record;
      Run(b_, [link, record] {
        link->b_conn->set_message_read_cb([record](const std::shared_ptr<tarn::Connection>& c) {
          void* data = nullptr;
          uint32_t len = 0;
          ASSERT_GE(c->ReceiveDataZeroCopy(&data, &len), 0);
          std::string text(static_cast<const char*>(data), len);
          c->worker()->Free(data);
          std::lock_guard<std::mutex> lock(record->mu);
          record->messages.push_back(std::move(text));
        });
      });
      Join(link->a_qp, link->b_qp);
      Join(link->b_qp, link->a_qp);
      const std::pair<tarn::PollingWorker*, Link*> sides[] = {{a_, link}, {b_, link}};
      for (const auto& side : sides) {
        tarn::PollingWorker* worker = side.first;
        const bool is_a = worker == a_;
        const std::shared_ptr<tarn::RdmaQueuePair>& qp = is_a ? link->a_qp : link->b_qp;
        const std::shared_ptr<tarn::RdmaConnection>& conn = is_a ? link->a_conn : link->b_conn;
        Run(worker, [qp] { ASSERT_EQ(qp->ModifyQpToRts(), 0); });
        worker->rdma_handle()->PostQpRecvWr(qp);  // waits; nothing with a shared queue
        Run(worker, [worker, conn] { worker->AddConnection(conn); });
        worker->SetConnectionPeerReady(qp->qp_num());
      }
    }
    for (auto& link : links_) {
      ASSERT_TRUE(testsupport::WaitFor([&] {
        int a_state = 0;
        int b_state = 0;
        Run(a_, [&] { a_state = link->a_conn->state(); });
        Run(b_, [&] { b_state = link->b_conn->state(); });
        return a_state == kConnected && b_state == kConnected;
      }));
    }
  }

  static void Join(const std::shared_ptr<tarn::RdmaQueuePair>& self,
                   const std::shared_ptr<tarn::RdmaQueuePair>& peer) {
    self->set_peer_qp_num(peer->qp_num());
    self->set_peer_lid(peer->lid());
    self->set_peer_gid(peer->gid());
  }

  // On a's thread: the link's next kPerLink messages, each in worker memory
  // freed as its send completes; *done counts the sends that completed well.
  void SendLink(int index, std::atomic<int>* done) {
    Link* link = links_[index].get();
    tarn::PollingWorker* worker = a_;
    Run(a_, [&] {
      for (int seq = 0; seq < kPerLink; ++seq) {
        const std::string text = Text(index, seq);
        char* data = static_cast<char*>(worker->Malloc(text.size()));
        std::memcpy(data, text.data(), text.size());
        tarn::SgEntry sge;
        sge.addr = reinterpret_cast<uint64_t>(data);
        sge.len = text.size();
        const int ret = link->a_conn->SendSgeZeroCopy(&sge, 1, [worker, data, done](int code) {
          worker->Free(data);
          if (code == 0) done->fetch_add(1);
        });
        ASSERT_EQ(ret, 0);
      }
    });
  }

  // On b's thread, which polls nothing meanwhile: every link's messages
  // arrive in b's receive completion queue, link after link, the victim's
  // last.
  void FillWhileBWaits() {
    std::atomic<int> done{0};
    for (int i = 0; i < kLinks; ++i) {
      SendLink(i, &done);
      ASSERT_TRUE(testsupport::WaitFor([&] { return done.load() == (i + 1) * kPerLink; }));
    }
  }

  // A send of b's on the victim link, completing into `results` under tag.
  int SendFromB(Results* results, int tag, std::function<void(int)> then = nullptr) {
    Link* link = links_[kVictim].get();
    tarn::PollingWorker* worker = b_;
    char* data = static_cast<char*>(worker->Malloc(kMessageLen));
    std::memset(data, 'b', kMessageLen);
    tarn::SgEntry sge;
    sge.addr = reinterpret_cast<uint64_t>(data);
    sge.len = kMessageLen;
    tarn::SendCompleteCallback record = results->Callback(tag);
    return link->b_conn->SendSgeZeroCopy(
        &sge, 1, [worker, data, record, then = std::move(then)](int code) {
          worker->Free(data);
          record(code);
          if (then) then(code);
        });
  }

  // What was received on each link is every message sent on it, in order.
  void ExpectEveryMessageInOrder() {
    for (int i = 0; i < kLinks; ++i) {
      SCOPED_TRACE("link " + std::to_string(i));
      Record* record = &links_[i]->b_record;
      EXPECT_TRUE(testsupport::WaitFor(
          [record] { return record->message_count() >= static_cast<size_t>(kPerLink); }));
      std::vector<std::string> expected;
      for (int seq = 0; seq < kPerLink; ++seq) expected.push_back(Text(i, seq));
      std::lock_guard<std::mutex> lock(record->mu);
      EXPECT_EQ(record->messages, expected);
    }
  }

  // The victim is closed, out of b's table, its queue pair destroyed.
  bool VictimTornDown() {
    Link* link = links_[kVictim].get();
    return testsupport::WaitFor([&] {
      bool done = false;
      Run(b_, [&] {
        done = link->b_conn->IsClosed() && link->b_qp->qp() == nullptr &&
               b_->FindConnection(link->b_qp->qp_num()) == nullptr;
      });
      return done;
    });
  }

  // Receive buffers b has out are exactly those it lists as posted.
  void ExpectReceivesAccountedFor() {
    const uint32_t size =
        option_.rdma_option.max_send_data_size + option_.rdma_option.max_send_meta_size;
    uint64_t out = 0;
    size_t posted = 0;
    Run(b_, [&] {
      std::map<uint64_t, std::pair<uint64_t, uint64_t>> stat;
      b_->GetMemPoolStat(&stat);
      out = stat[size].first - stat[size].second;
      posted = b_->rdma_handle()->posted_buffers().size();
    });
    EXPECT_EQ(out, posted);
  }

  tarn::WorkerOption option_;
  std::unique_ptr<tarn::PollingWorkerColony> colony_;
  tarn::PollingWorker* a_ = nullptr;
  tarn::PollingWorker* b_ = nullptr;
  std::vector<std::unique_ptr<Link>> links_;
};

INSTANTIATE_TEST_SUITE_P(SharedReceiveQueue, DestroyAmongPairsTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? "Srq" : "QpRecv";
                         });

TEST_P(DestroyAmongPairsTest, DestroyedQueuePairStillDeliversWhatItReceived) {
  const DestroyCase cases[] = {
      {"destroyed now from a task", Where::kTask, How::kDestroyNow},
      {"sends settled from a task", Where::kTask, How::kSettleSends},
      {"destroyed now from a callback", Where::kCallback, How::kDestroyNow},
      {"sends settled from a callback", Where::kCallback, How::kSettleSends},
  };
  for (const DestroyCase& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_NO_FATAL_FAILURE(BuildLinks());
    Link* victim = links_[kVictim].get();
    tarn::PollingWorker* b = b_;
    Results results;
    auto destroy = [b, victim, &c] {
      if (c.how == How::kDestroyNow) {
        b->DestroyConnectionNow(victim->b_conn);
      } else {
        victim->b_conn->ForceCloseInLoop();
        b->SettleSendsNow(victim->b_conn);
      }
    };
    Run(b_, [&] {
      ASSERT_NO_FATAL_FAILURE(FillWhileBWaits());
      if (c.where == Where::kTask) {
        // Settling needs a send still outstanding: b polls nothing here.
        if (c.how == How::kSettleSends) {
          ASSERT_EQ(SendFromB(&results, 0), 0);
        }
        destroy();
        EXPECT_EQ(victim->b_qp->qp(), nullptr);
        return;
      }
      // From the completion callback of a send of b's, which b handles
      // before any of its receives; settling finds the second send still
      // outstanding.
      ASSERT_EQ(SendFromB(&results, 0, [destroy](int) { destroy(); }), 0);
      if (c.how == How::kSettleSends) {
        ASSERT_EQ(SendFromB(&results, 1), 0);
      }
    });
    ExpectEveryMessageInOrder();
    EXPECT_TRUE(VictimTornDown());
    // Each send of b's reported once: completed, or failed as its queue
    // pair went.
    size_t sends = c.how == How::kSettleSends ? 1 : 0;
    if (c.where == Where::kCallback) ++sends;
    EXPECT_TRUE(testsupport::WaitFor([&] { return results.Count() == sends; }));
    ExpectReceivesAccountedFor();
    // The others still carry messages, after the ones already taken.
    Record* record = &links_[0]->b_record;
    std::atomic<int> done{0};
    SendLink(0, &done);
    EXPECT_TRUE(testsupport::WaitFor(
        [record] { return record->message_count() == static_cast<size_t>(2 * kPerLink); }));
    StopWorkers();
    ASSERT_NO_FATAL_FAILURE(StartWorkers());
  }
}


// While the victim's destroy takes every receive queued ahead of its own, a
// message of another link makes its read callback destroy that link, its
// own, at once (its sends settled, or destroyed now). Nothing polls from
// inside that callback: what the link's destroy takes off the queue is set
// aside, or waits for the next take, and every link, the two destroyed
// included, still gets its messages whole, once and in order.
TEST_P(DestroyAmongPairsTest, ReadCallbackDestroyingItsOwnLinkDuringTheTake) {
  constexpr int kSelf = 2;  // its messages lie ahead of the victim's
  constexpr int kAt = kPerLink / 2;
  const How hows[] = {How::kDestroyNow, How::kSettleSends};
  for (How how : hows) {
    SCOPED_TRACE(how == How::kDestroyNow ? "destroyed now" : "sends settled");
    ASSERT_NO_FATAL_FAILURE(BuildLinks());
    Link* victim = links_[kVictim].get();
    Link* self = links_[kSelf].get();
    tarn::PollingWorker* b = b_;
    Record* record = &self->b_record;
    Run(b_, [&] {
      self->b_conn->set_message_read_cb(
          [b, self, record, how](const std::shared_ptr<tarn::Connection>& c) {
            void* data = nullptr;
            uint32_t len = 0;
            ASSERT_GE(c->ReceiveDataZeroCopy(&data, &len), 0);
            std::string text(static_cast<const char*>(data), len);
            c->worker()->Free(data);
            size_t count = 0;
            {
              std::lock_guard<std::mutex> lock(record->mu);
              record->messages.push_back(std::move(text));
              count = record->messages.size();
            }
            if (count != static_cast<size_t>(kAt)) return;
            if (how == How::kDestroyNow) {
              b->DestroyConnectionNow(self->b_conn);
            } else {
              self->b_conn->ForceCloseInLoop();
              b->SettleSendsNow(self->b_conn);
            }
          });
    });
    Results results;
    Run(b_, [&] {
      ASSERT_NO_FATAL_FAILURE(FillWhileBWaits());
      // Outstanding when the callback settles: b polls nothing here.
      char* data = static_cast<char*>(b->Malloc(kMessageLen));
      std::memset(data, 'b', kMessageLen);
      tarn::SgEntry sge;
      sge.addr = reinterpret_cast<uint64_t>(data);
      sge.len = kMessageLen;
      tarn::SendCompleteCallback then = results.Callback(0);
      ASSERT_EQ(self->b_conn->SendSgeZeroCopy(&sge, 1,
                                              [b, data, then](int code) {
                                                b->Free(data);
                                                then(code);
                                              }),
                0);
      b->DestroyConnectionNow(victim->b_conn);
      EXPECT_EQ(victim->b_qp->qp(), nullptr);
    });
    ExpectEveryMessageInOrder();
    EXPECT_TRUE(VictimTornDown());
    EXPECT_TRUE(testsupport::WaitFor([&] {
      bool done = false;
      Run(b_, [&] {
        done = self->b_conn->IsClosed() && self->b_qp->qp() == nullptr &&
               b_->FindConnection(self->b_qp->qp_num()) == nullptr;
      });
      return done;
    }));
    EXPECT_TRUE(testsupport::WaitFor([&] { return results.Count() == 1u; }));
    ExpectReceivesAccountedFor();
    Record* first = &links_[0]->b_record;
    std::atomic<int> done{0};
    SendLink(0, &done);
    EXPECT_TRUE(testsupport::WaitFor(
        [first] { return first->message_count() == static_cast<size_t>(2 * kPerLink); }));
    StopWorkers();
    ASSERT_NO_FATAL_FAILURE(StartWorkers());
  }
}


// The worker drops its device while every link's messages wait in its
// receive completion queue. The first link it closes has its closed
// callback settle the sends of every link not closed yet, which destroys
// their queue pairs at once (not in ERROR yet) after setting the receives
// queued so far aside. What was set aside is handed over by the drop like
// the rest: each message at most once and in order on every link, each
// send reported once, and every receive buffer back in the pool once the
// device is gone.
TEST_P(DestroyAmongPairsTest, ReceivesSetAsideWhileTheDeviceIsDroppedAreGivenBack) {
  ASSERT_NO_FATAL_FAILURE(BuildLinks());
  tarn::PollingWorker* b = b_;
  Results results;
  bool settled = false;
  std::vector<std::shared_ptr<tarn::RdmaConnection>> conns;
  for (auto& link : links_) conns.push_back(link->b_conn);
  Run(b_, [&] {
    ASSERT_NO_FATAL_FAILURE(FillWhileBWaits());
    for (int i = 0; i < kLinks; ++i) {
      tarn::RdmaConnection* self = conns[static_cast<size_t>(i)].get();
      self->set_connection_closed_cb([b, self, &conns, &settled](
                                         const std::shared_ptr<tarn::Connection>&) {
        if (settled) return;
        settled = true;
        for (const auto& conn : conns) {
          if (conn.get() != self && !conn->IsClosed()) b->SettleSendsNow(conn);
        }
      });
      char* data = static_cast<char*>(b->Malloc(kMessageLen));
      std::memset(data, 'b', kMessageLen);
      tarn::SgEntry sge;
      sge.addr = reinterpret_cast<uint64_t>(data);
      sge.len = kMessageLen;
      tarn::SendCompleteCallback then = results.Callback(i);
      ASSERT_EQ(self->SendSgeZeroCopy(&sge, 1,
                                      [b, data, then](int code) {
                                        b->Free(data);
                                        then(code);
                                      }),
                0);
    }
    b->ClearRdma();
    EXPECT_EQ(b->rdma_handle(), nullptr);
  });
  EXPECT_TRUE(settled);
  EXPECT_TRUE(testsupport::WaitFor([&] { return results.Count() == static_cast<size_t>(kLinks); }));
  for (int i = 0; i < kLinks; ++i) {
    SCOPED_TRACE("link " + std::to_string(i));
    Record* record = &links_[i]->b_record;
    std::lock_guard<std::mutex> lock(record->mu);
    ASSERT_LE(record->messages.size(), static_cast<size_t>(kPerLink));
    for (size_t seq = 0; seq < record->messages.size(); ++seq) {
      EXPECT_EQ(record->messages[seq], Text(i, static_cast<int>(seq)));
    }
  }
  const uint32_t size =
      option_.rdma_option.max_send_data_size + option_.rdma_option.max_send_meta_size;
  uint64_t out = 1;
  Run(b_, [&] {
    std::map<uint64_t, std::pair<uint64_t, uint64_t>> stat;
    b_->GetMemPoolStat(&stat);
    out = stat[size].first - stat[size].second;
  });
  EXPECT_EQ(out, 0u) << "receive buffers not given back";
  Run(b_, [&] {
    for (auto& conn : conns) conn->set_connection_closed_cb(nullptr);
  });
}

}  // namespace
}  // namespace rdmatest
