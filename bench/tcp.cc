// The TCP transport on loopback against plain blocking sockets (the floor a
// transport cannot beat): ping-pong round trips of 64 bytes and 4 KiB with
// one message outstanding, and one-connection throughput of 64 KiB writes.
//
// The framework side runs a TcpServer that echoes (or discards) and a
// TcpClient whose callbacks drive the next message from the client's loop,
// so no thread hand-off sits inside the measured round trip.
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <map>
#include <mutex>
#include <condition_variable>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include "support/sockets.h"
#include "support/worker.h"
#include "tarn/base/logging.h"
#include "tarn/connection.h"
#include "tarn/event/event_worker.h"
#include "tarn/event/tcp_client.h"
#include "tarn/event/tcp_server.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kRoundTrips = 50000;
constexpr size_t kStreamBytes = size_t(1) << 30;  // 1 GiB per throughput run
constexpr size_t kChunk = 64 * 1024;

struct Figures {
  double per_sec = 0;  // round trips/s or bytes/s
  double p50_us = 0;
  double p99_us = 0;
};
std::map<std::string, Figures> g_results;

Figures Summarise(std::vector<double>* lat_us, double seconds, double count) {
  std::sort(lat_us->begin(), lat_us->end());
  Figures f;
  f.per_sec = count / seconds;
  if (!lat_us->empty()) {
    f.p50_us = (*lat_us)[lat_us->size() / 2];
    f.p99_us = (*lat_us)[lat_us->size() * 99 / 100];
  }
  return f;
}

void Report(benchmark::State& state, const std::string& key, const Figures& f, bool bytes) {
  g_results[key] = f;
  if (bytes) {
    state.counters["MiB/s"] = f.per_sec / 1048576.0;
  } else {
    state.counters["rt/s"] = f.per_sec;
    state.counters["p50_us"] = f.p50_us;
    state.counters["p99_us"] = f.p99_us;
  }
}

// ---- the floor: blocking sockets, one thread per end ----

using testsupport::ReadFull;
using testsupport::SendAll;

void BM_FloorPingPong(benchmark::State& state) {
  const size_t size = state.range(0);
  for (auto _ : state) {
    uint16_t port = 0;
    int lfd = testsupport::ListenLoopback(&port);
    std::thread echo([&] {
      int fd = ::accept(lfd, nullptr, nullptr);
      int one = 1;
      ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
      std::vector<char> buf(size);
      while (ReadFull(fd, buf.data(), size) && SendAll(fd, buf.data(), size)) {
      }
      ::close(fd);
    });
    int fd = testsupport::RawConnect(port);
    std::vector<char> msg(size, 'p');
    std::vector<double> lat;
    lat.reserve(kRoundTrips);
    auto begin = Clock::now();
    for (int i = 0; i < kRoundTrips; ++i) {
      auto t0 = Clock::now();
      SendAll(fd, msg.data(), size);
      ReadFull(fd, msg.data(), size);
      lat.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    }
    double secs = std::chrono::duration<double>(Clock::now() - begin).count();
    ::close(fd);
    echo.join();
    ::close(lfd);
    Report(state, "floor_pingpong_" + std::to_string(size), Summarise(&lat, secs, kRoundTrips),
           false);
  }
}

void BM_FloorThroughput(benchmark::State& state) {
  for (auto _ : state) {
    uint16_t port = 0;
    int lfd = testsupport::ListenLoopback(&port);
    std::thread sink([&] {
      int fd = ::accept(lfd, nullptr, nullptr);
      std::vector<char> buf(kChunk);
      size_t got = 0;
      while (got < kStreamBytes) {
        ssize_t r = ::read(fd, buf.data(), buf.size());
        if (r <= 0) break;
        got += r;
      }
      ::write(fd, "k", 1);
      ::close(fd);
    });
    int fd = testsupport::RawConnect(port);
    std::vector<char> chunk(kChunk, 't');
    auto begin = Clock::now();
    for (size_t sent = 0; sent < kStreamBytes; sent += kChunk) SendAll(fd, chunk.data(), kChunk);
    char ack;
    ReadFull(fd, &ack, 1);
    double secs = std::chrono::duration<double>(Clock::now() - begin).count();
    ::close(fd);
    sink.join();
    ::close(lfd);
    std::vector<double> none;
    Report(state, "floor_stream", Summarise(&none, secs, kStreamBytes), true);
  }
}

// ---- the framework: TcpServer and TcpClient ----

struct Framework {
  testsupport::WorkerOnThread acceptor_thread{"bench-acc"};
  testsupport::WorkerOnThread client_thread{"bench-cli"};
  tarn::EventWorker* acceptor = acceptor_thread.worker();
  tarn::EventWorker* client_worker = client_thread.worker();

  ~Framework() {
    client_thread.Stop();
    acceptor_thread.Stop();
  }
  std::unique_ptr<tarn::TcpServer> Server() {
    std::unique_ptr<tarn::TcpServer> s(new tarn::TcpServer(
        acceptor, tarn::SockAddress("127.0.0.1", 0, false), "bench", tarn::WorkerOption(),
        nullptr));
    s->set_worker_num(1);
    return s;
  }
};

struct Done {
  std::mutex mu;
  std::condition_variable cv;
  bool done = false;
  void Set() {
    std::lock_guard<std::mutex> lock(mu);
    done = true;
    cv.notify_all();
  }
  void Wait() {
    std::unique_lock<std::mutex> lock(mu);
    cv.wait(lock, [&] { return done; });
  }
};

void BM_TarnPingPong(benchmark::State& state) {
  const size_t size = state.range(0);
  for (auto _ : state) {
    Framework fw;
    auto server = fw.Server();
    server->set_message_read_cb([](const std::shared_ptr<tarn::Connection>& c) {
      char buf[65536];
      size_t n;
      while ((n = std::min(c->ReadableLength(), sizeof(buf))) > 0) {
        c->RemoveData(buf, n);
        c->SendData(buf, n);
      }
    });
    server->Start();
    tarn::TcpClient client(fw.client_worker, server->listen_addr(), "bench-client");
    std::vector<char> msg(size, 'p');
    std::vector<double> lat;
    lat.reserve(kRoundTrips);
    int done_trips = 0;
    Clock::time_point t0, begin;
    Done done;
    client.set_connection_success_cb([&](const std::shared_ptr<tarn::Connection>& c) {
      begin = t0 = Clock::now();
      c->SendData(msg.data(), size);
    });
    client.set_message_read_cb([&](const std::shared_ptr<tarn::Connection>& c) {
      if (c->ReadableLength() < size) return;
      c->RemoveData(msg.data(), size);
      auto now = Clock::now();
      lat.push_back(std::chrono::duration<double, std::micro>(now - t0).count());
      if (++done_trips == kRoundTrips) {
        done.Set();
        return;
      }
      t0 = now;
      c->SendData(msg.data(), size);
    });
    client.Connect();
    done.Wait();
    double secs = std::chrono::duration<double>(Clock::now() - begin).count();
    client.DisConnect();
    server.reset();
    Report(state, "tarn_pingpong_" + std::to_string(size), Summarise(&lat, secs, kRoundTrips),
           false);
  }
}

void BM_TarnThroughput(benchmark::State& state) {
  for (auto _ : state) {
    Framework fw;
    auto server = fw.Server();
    size_t received = 0;  // server loop only
    server->set_message_read_cb([&](const std::shared_ptr<tarn::Connection>& c) {
      size_t n = c->ReadableLength();
      received += n;
      c->DrainData(n);
      if (received >= kStreamBytes) c->SendData("k", 1);
    });
    server->Start();
    tarn::TcpClient client(fw.client_worker, server->listen_addr(), "bench-client");
    std::vector<char> chunk(kChunk, 't');
    size_t queued = 0;  // client loop only
    // Keeps a few chunks queued: refilled whenever the ring drains.
    auto refill = [&](const std::shared_ptr<tarn::Connection>& c) {
      for (int i = 0; i < 16 && queued < kStreamBytes; ++i, queued += kChunk) {
        c->SendData(chunk.data(), kChunk);
      }
    };
    Clock::time_point begin;
    Done done;
    client.set_connection_success_cb([&](const std::shared_ptr<tarn::Connection>& c) {
      begin = Clock::now();
      refill(c);
    });
    client.set_message_write_cb(refill);
    client.set_message_read_cb([&](const std::shared_ptr<tarn::Connection>&) { done.Set(); });
    client.Connect();
    done.Wait();
    double secs = std::chrono::duration<double>(Clock::now() - begin).count();
    client.DisConnect();
    server.reset();
    std::vector<double> none;
    Report(state, "tarn_stream", Summarise(&none, secs, kStreamBytes), true);
  }
}

BENCHMARK(BM_FloorPingPong)->Arg(64)->Arg(4096)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TarnPingPong)->Arg(64)->Arg(4096)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FloorThroughput)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TarnThroughput)->Iterations(1)->Unit(benchmark::kMillisecond);

void PrintRatios() {
  std::printf("\n%-22s %14s %14s %10s %10s\n", "figure", "tarn", "floor", "ratio", "");
  for (size_t size : {64, 4096}) {
    const Figures& t = g_results["tarn_pingpong_" + std::to_string(size)];
    const Figures& f = g_results["floor_pingpong_" + std::to_string(size)];
    std::string tag = std::to_string(size) + "B";
    std::printf("%-22s %14.0f %14.0f %9.2fx\n", (tag + " round trips/s").c_str(), t.per_sec,
                f.per_sec, t.per_sec / f.per_sec);
    std::printf("%-22s %14.1f %14.1f %9.2fx\n", (tag + " p50 us").c_str(), t.p50_us, f.p50_us,
                t.p50_us / f.p50_us);
    std::printf("%-22s %14.1f %14.1f %9.2fx\n", (tag + " p99 us").c_str(), t.p99_us, f.p99_us,
                t.p99_us / f.p99_us);
  }
  const Figures& t = g_results["tarn_stream"];
  const Figures& f = g_results["floor_stream"];
  std::printf("%-22s %14.0f %14.0f %9.2fx\n", "64KiB stream MiB/s", t.per_sec / 1048576.0,
              f.per_sec / 1048576.0, t.per_sec / f.per_sec);
}

}  // namespace

int main(int argc, char** argv) {
  plinth::Logger::setLogLevel(plinth::Logger::WARN);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  PrintRatios();
  return 0;
}
