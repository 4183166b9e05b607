// Reading the "ORLA" sections of the host's INI configuration: every key,
// its default when absent, its checks and the exact lines they log.
#include <string>

#include <gtest/gtest.h>

#include "butil/logging.h"
#include "control/config.h"
#include "driver/control_support.h"

namespace {

using ctltest::IniFile;
using ctltest::LogTap;

// Every required key, so that a case states only what it is about.
const char* const kBase =
    "use_orla Yes\n"
    "volume_manager_ips 10.0.0.1,10.0.0.2\n"
    "volume_manager_ports 4000,4001\n"
    "rdma_device mlx5_0\n"
    "is_tcp Yes\n"
    "service_ip 10.0.0.9\n"
    "service_port 7000\n";

std::string Orla(const std::string& extra, const char* base = kBase) {
  return std::string("[ORLA]\n") + base + extra;
}

// The base without one of its lines.
std::string Without(const std::string& key) {
  std::string base = kBase;
  const size_t at = base.find(key + " ");
  return base.erase(at, base.find('\n', at) + 1 - at);
}

class ConfigTest : public ::testing::Test {
 protected:
  void SetUp() override {
    pyx::ResetConfigForTest();
    logging::crash_on_fatal_log.store(false);
  }
  void TearDown() override {
    pyx::ResetConfigForTest();
    logging::crash_on_fatal_log.store(false);
  }

  pyx::ConfigResult Read(const std::string& ini) {
    IniFile file(ini);
    EXPECT_TRUE(file.ok());
    tap_.Clear();
    return pyx::ReadConfig();
  }

  LogTap tap_;
};

TEST_F(ConfigTest, BaseSectionIsReadWithTheDefaultsOfAbsentKeys) {
  ASSERT_EQ(Read(Orla("")), pyx::kConfigOk);
  EXPECT_EQ(use_orla, 1);
  EXPECT_EQ(volume_manager_ips, "10.0.0.1,10.0.0.2");
  EXPECT_EQ(volume_manager_ports, "4000,4001");
  EXPECT_EQ(rdma_device, "mlx5_0");
  EXPECT_EQ(service_ip, "10.0.0.9");
  EXPECT_EQ(service_port, 7000);
  // Absent integer keys keep their compiled defaults ...
  EXPECT_EQ(retry_sleep_ms, 500);
  EXPECT_EQ(max_io_size, 16384);
  EXPECT_EQ(max_flighting, 300);
  EXPECT_EQ(polling_interval_ms, 500);
  EXPECT_EQ(retry_pending_ms, 8000);
  EXPECT_EQ(worker_num, 0);
  EXPECT_EQ(client_nums, 1);
  EXPECT_EQ(rpc_timeout, 10000);
  EXPECT_EQ(conn_idle_time, 0u);
  EXPECT_EQ(recv_buff_size, 0);
  EXPECT_EQ(service_worker_num, 0);
  EXPECT_EQ(rdma_port, 0);
  EXPECT_EQ(gazelle_port, 0);
  // ... except the two the reader settles itself.
  EXPECT_EQ(rpc_depth, 2048u);
  EXPECT_EQ(log_size, 8589934592ull);
  // Absent flags and strings.
  EXPECT_EQ(kAsynLog, 1);
  EXPECT_EQ(is_crc, 0);
  EXPECT_EQ(kLogLevel, "info");
  EXPECT_EQ(log_file, "/var/log/orla/pyxdriver");
  EXPECT_TRUE(logging::crash_on_fatal_log.load());
  EXPECT_TRUE(tap_.Has("is_tcp is true"));
  EXPECT_TRUE(tap_.Has("rpc depth is 2048"));
  EXPECT_TRUE(tap_.Has("conn idle time is 0"));
  EXPECT_TRUE(tap_.Has("log size 8589934592 asyn log 1"));
  EXPECT_FALSE(tap_.Has("Failed to int env"));
}

TEST_F(ConfigTest, EveryKeyLandsInItsVariable) {
  ASSERT_EQ(Read(Orla("rdma_port 2\ngazelle_port 100\nrdma_index 3\nkLogLevel debug\n"
                      "retry_sleep_ms 20\nmax_io_size 65536\nmax_flighting 64\n"
                      "polling_interval_ms 30\nretry_pending_ms 900\nworker_num 4\n"
                      "worker_core_mask 0xf0\nis_soc Y\nis_crc true\nenable_metric yes\n"
                      "enable_tarn_metric YES\ntarn_metrics_interval 7\nasyn_log No\n"
                      "log_size 50\nlog_file /tmp/pyx_log\nis_ipv6 n\nclient_nums 3\n"
                      "rpc_timeout 1500\nrpc_depth 64\nconn_idle_time 9\nrecv_buff_size 512\n"
                      "service_worker_num 2\n")),
            pyx::kConfigOk);
  EXPECT_EQ(rdma_port, 2);
  EXPECT_EQ(gazelle_port, 100);
  EXPECT_EQ(rdma_index, 3);
  EXPECT_EQ(kLogLevel, "debug");
  EXPECT_EQ(retry_sleep_ms, 20);
  EXPECT_EQ(max_io_size, 65536);
  EXPECT_EQ(max_flighting, 64);
  EXPECT_EQ(polling_interval_ms, 30);
  EXPECT_EQ(retry_pending_ms, 900);
  EXPECT_EQ(worker_num, 4);
  EXPECT_EQ(worker_core_mask, "0xf0");
  EXPECT_EQ(is_soc, 1);
  EXPECT_EQ(is_crc, 1);
  EXPECT_EQ(enable_metric, 1);
  EXPECT_EQ(enable_tarn_metric, 1);
  EXPECT_EQ(tarn_metrics_interval, 7);
  EXPECT_EQ(kAsynLog, 0);
  EXPECT_EQ(log_size, 52428800u);
  EXPECT_EQ(log_file, "/tmp/pyx_log");
  EXPECT_EQ(is_ipv6, 0);
  EXPECT_EQ(client_nums, 3);
  EXPECT_EQ(rpc_timeout, 1500);
  EXPECT_EQ(rpc_depth, 64u);
  EXPECT_EQ(conn_idle_time, 9u);
  EXPECT_EQ(recv_buff_size, 512);
  EXPECT_EQ(service_worker_num, 2);
  for (const char* line : {"is_soc is true", "is_tcp is true", "is_crc is true",
                           "enable_metric is true", "enable tarn metric is true",
                           "tarn metrics interval is 7", "log size 52428800 asyn log 0",
                           "log file /tmp/pyx_log", "rpc depth is 64", "conn idle time is 9"}) {
    EXPECT_TRUE(tap_.Has(line)) << line;
  }
  EXPECT_FALSE(tap_.Has("ipv6 is true"));
}

struct NumberCase {
  const char* line;
  uint64_t rpc_depth;
  uint64_t log_size;
};

TEST_F(ConfigTest, RpcDepthAndLogSizeAreCapped) {
  const NumberCase cases[] = {
      {"rpc_depth 2048\n", 2048, 8589934592ull},  {"rpc_depth 2049\n", 2048, 8589934592ull},
      {"rpc_depth 0\n", 0, 8589934592ull},        {"rpc_depth -1\n", 2048, 8589934592ull},
      {"log_size 50\n", 2048, 52428800},          {"log_size 9000\n", 2048, 8589934592ull},
      {"log_size 8192\n", 2048, 8589934592ull},   {"log_size -5\n", 2048, 8589934592ull},
  };
  for (const NumberCase& c : cases) {
    ASSERT_EQ(Read(Orla(c.line)), pyx::kConfigOk) << c.line;
    EXPECT_EQ(rpc_depth, c.rpc_depth) << c.line;
    EXPECT_EQ(log_size, c.log_size) << c.line;
    EXPECT_TRUE(tap_.Has("rpc depth is " + std::to_string(c.rpc_depth))) << c.line;
  }
}

TEST_F(ConfigTest, EdgeValuesThatStillServe) {
  ASSERT_EQ(Read(Orla("max_flighting 1\n")), pyx::kConfigOk);
  EXPECT_EQ(max_flighting, 1);
  ASSERT_EQ(Read("[ORLA]\n" + Without("service_port") + "service_port 65535\n"), pyx::kConfigOk);
  EXPECT_EQ(service_port, 65535);
  // The receive buffer is checked over RDMA only.
  ASSERT_EQ(Read("[ORLA]\n" + Without("is_tcp") + "recv_buff_size 261\n"), pyx::kConfigOk);
  ASSERT_EQ(Read(Orla("recv_buff_size 8\n")), pyx::kConfigOk);
}

TEST_F(ConfigTest, WorkerNumSixteenIsTheMost) {
  ASSERT_EQ(Read(Orla("worker_num 16\n")), pyx::kConfigOk);
  EXPECT_EQ(worker_num, 16);
  ASSERT_EQ(Read(Orla("worker_num 1\n")), pyx::kConfigOk);
  EXPECT_EQ(worker_num, 1);
}

struct FailCase {
  std::string ini;
  std::string error;  // the check's own line
};

// Every failed check logs its own ERROR, then "Failed to int env".
TEST_F(ConfigTest, EachFailedCheckLogsItsLineThenFailedToIntEnv) {
  const FailCase cases[] = {
      {Orla("worker_num 17\n"), "error: io worker should less than 16"},
      {Orla("worker_num 0\n"), "error: io worker should be at least 1, got 0"},
      {Orla("worker_num -3\n"), "error: io worker should be at least 1"},
      {"[ORLA]\n" + Without("volume_manager_ips"), "error: ORLA missing volume_manager_ips"},
      {"[ORLA]\n" + Without("volume_manager_ports"), "error: ORLA missing volume_manager_ports"},
      {"[ORLA]\n" + Without("rdma_device"), "error: ORLA missing rdma_device"},
      {"[ORLA]\n" + Without("service_ip"), "ERROR: ORLA missing service ip"},
      {"[ORLA]\n" + Without("service_port"), "ERROR: ORLA missing service port"},
      {Orla("max_io_size 0\n"), "error: max_io_size should be a positive multiple of 4096, got 0"},
      {Orla("max_io_size 6000\n"),
       "error: max_io_size should be a positive multiple of 4096, got 6000"},
      {Orla("max_io_size -4096\n"), "error: max_io_size should be a positive multiple of 4096"},
      {Orla("max_io_size 1052672\n"), "error: max_io_size should be at most 1048576, got 1052672"},
      {Orla("max_io_size 2147479552\n"),
       "error: max_io_size should be at most 1048576, got 2147479552"},
      {Orla("rpc_timeout 0\n"), "error: rpc_timeout should be greater than 0, got 0"},
      {Orla("rpc_timeout -20\n"), "error: rpc_timeout should be greater than 0"},
      {Orla("retry_sleep_ms 0\n"), "error: retry_sleep_ms should be greater than 0, got 0"},
      {Orla("polling_interval_ms 0\n"),
       "error: polling_interval_ms should be greater than 0, got 0"},
      {Orla("polling_interval_ms -2\n"), "error: polling_interval_ms should be greater than 0"},
      {Orla("client_nums 0\n"), "error: client_nums should be at least 1, got 0"},
      {Orla("service_worker_num -1\n"),
       "error: service_worker_num should not be negative, got -1"},
      {Orla("max_flighting 0\n"), "error: max_flighting should be greater than 0, got 0"},
      {Orla("max_flighting -4\n"), "error: max_flighting should be greater than 0"},
      {"[ORLA]\n" + Without("service_port") + "service_port 0\n",
       "error: service_port should be from 1 to 65535, got 0"},
      {"[ORLA]\n" + Without("service_port") + "service_port 65536\n",
       "error: service_port should be from 1 to 65535, got 65536"},
      // Over RDMA only: a receive buffer too small for the largest answer.
      {"[ORLA]\n" + Without("is_tcp") + "recv_buff_size 260\n",
       "error: recv_buff_size 260 KiB is too small for an I/O of 262144 bytes plus its headers, "
       "it should be at least 261 KiB"},
  };
  for (const FailCase& c : cases) {
    EXPECT_EQ(Read(c.ini), pyx::kConfigFailed) << c.error;
    const std::string text = tap_.text();
    const size_t own = text.find(c.error);
    const size_t common = text.find("Failed to int env");
    EXPECT_NE(own, std::string::npos) << c.error << "\n" << text;
    EXPECT_NE(common, std::string::npos) << c.error;
    EXPECT_LT(own, common) << c.error;
    EXPECT_NE(text.find(" ERROR "), std::string::npos) << c.error;
  }
}

// The edges of the two bounds are taken.
TEST_F(ConfigTest, LargestStripeAndShortestTimeoutAreTaken) {
  ASSERT_EQ(Read(Orla("max_io_size 1048576\nrpc_timeout 1\n")), pyx::kConfigOk);
  EXPECT_EQ(max_io_size, 1048576);
  EXPECT_EQ(rpc_timeout, 1);
}

TEST_F(ConfigTest, VolumeManagerListsMustPairUpWithRealPorts) {
  const FailCase cases[] = {
      {Orla("", "use_orla Yes\nvolume_manager_ips 10.0.0.1,10.0.0.2\nvolume_manager_ports 4000\n"
                "rdma_device d\nservice_ip x\nservice_port 1\n"),
       "error: volume_manager_ips has 2 addresses but volume_manager_ports has 1 ports"},
      {Orla("", "use_orla Yes\nvolume_manager_ips 10.0.0.1\nvolume_manager_ports 0\n"
                "rdma_device d\nservice_ip x\nservice_port 1\n"),
       "error: volume manager port \"0\" is not a number from 1 to 65535"},
      {Orla("", "use_orla Yes\nvolume_manager_ips 10.0.0.1\nvolume_manager_ports 65536\n"
                "rdma_device d\nservice_ip x\nservice_port 1\n"),
       "error: volume manager port \"65536\" is not a number from 1 to 65535"},
      {Orla("", "use_orla Yes\nvolume_manager_ips 10.0.0.1,a\nvolume_manager_ports 1, x2\n"
                "rdma_device d\nservice_ip x\nservice_port 1\n"),
       "error: volume manager port \"x2\" is not a number from 1 to 65535"},
  };
  for (const FailCase& c : cases) {
    EXPECT_EQ(Read(c.ini), pyx::kConfigFailed) << c.error;
    EXPECT_TRUE(tap_.Has(c.error)) << c.error << "\n" << tap_.text();
    EXPECT_TRUE(tap_.Has("Failed to int env"));
  }
  EXPECT_EQ(Read(Orla("", "use_orla Yes\nvolume_manager_ips 10.0.0.1\nvolume_manager_ports 65535\n"
                          "rdma_device d\nservice_ip x\nservice_port 1\n")),
            pyx::kConfigOk);
}

TEST_F(ConfigTest, UseOrlaOffStopsTheWalkWithoutFailure) {
  EXPECT_EQ(Read("[ORLA]\nuse_orla No\nworker_num 99\n"), pyx::kConfigNotUsed);
  EXPECT_TRUE(tap_.Has("not use orla"));
  EXPECT_EQ(worker_num, 0);  // nothing after it was read
  EXPECT_EQ(Read("[ORLA]\nworker_num 4\n"), pyx::kConfigNotUsed);
  EXPECT_FALSE(tap_.Has("Failed to int env"));
}

TEST_F(ConfigTest, WithoutAnOrlaSectionTheCompiledDefaultsStay) {
  EXPECT_EQ(Read("[Global]\nworker_num 5\n[Other]\nuse_orla No\n"), pyx::kConfigOk);
  EXPECT_EQ(worker_num, 0);
  EXPECT_EQ(use_orla, 0);
  EXPECT_EQ(is_tcp, 1);
  EXPECT_EQ(rpc_depth, 128u);
  EXPECT_EQ(log_size, 52428800u);
  EXPECT_EQ(tap_.text(), "");
}

TEST_F(ConfigTest, SectionWithoutIsTcpSelectsRdma) {
  ASSERT_EQ(Read("[ORLA]\n" + Without("is_tcp")), pyx::kConfigOk);
  EXPECT_EQ(is_tcp, 0);
  EXPECT_FALSE(tap_.Has("is_tcp is true"));
}

TEST_F(ConfigTest, CrashOnFatalLogIsOnUnlessSaidNo) {
  ASSERT_EQ(Read(Orla("crash_on_fatal_log No\n")), pyx::kConfigOk);
  EXPECT_FALSE(logging::crash_on_fatal_log.load());
  ASSERT_EQ(Read(Orla("")), pyx::kConfigOk);
  EXPECT_TRUE(logging::crash_on_fatal_log.load());
  // A "No" later leaves the flag as it was.
  ASSERT_EQ(Read(Orla("crash_on_fatal_log No\n")), pyx::kConfigOk);
  EXPECT_TRUE(logging::crash_on_fatal_log.load());
}

TEST_F(ConfigTest, EmptyServiceIpIsAccepted) {
  ASSERT_EQ(Read("[ORLA]\n" + Without("service_ip") + "service_ip\n"), pyx::kConfigOk);
  EXPECT_EQ(service_ip, "");
}

TEST_F(ConfigTest, LaterSectionsSetEveryVariableAgain) {
  const std::string first = Orla("worker_num 4\nis_crc Yes\nretry_sleep_ms 20\nrpc_depth 8\n");
  const std::string second = "[ORLA2]\n" + std::string(kBase) + "client_nums 2\n";
  ASSERT_EQ(Read(first + "[Unrelated]\nworker_num 9\n" + second), pyx::kConfigOk);
  EXPECT_EQ(worker_num, 0);
  EXPECT_EQ(is_crc, 0);
  EXPECT_EQ(retry_sleep_ms, 500);
  EXPECT_EQ(rpc_depth, 2048u);
  EXPECT_EQ(client_nums, 2);
  // The first failing section ends the walk; the later one is not read.
  pyx::ResetConfigForTest();
  ASSERT_EQ(Read(Orla("worker_num 17\n") + second), pyx::kConfigFailed);
  EXPECT_EQ(client_nums, 1);
}

TEST_F(ConfigTest, ListsAreCutAtCommasAndTrimmedOfBlanks) {
  EXPECT_EQ(pyx::SplitList("10.0.0.1 , 10.0.0.2,  10.0.0.3  "),
            (std::vector<std::string>{"10.0.0.1", "10.0.0.2", "10.0.0.3"}));
  EXPECT_EQ(pyx::SplitList("4000"), (std::vector<std::string>{"4000"}));
  EXPECT_EQ(pyx::SplitList(""), (std::vector<std::string>{}));
  EXPECT_EQ(pyx::SplitList("a,,b"), (std::vector<std::string>{"a", "", "b"}));
  ASSERT_EQ(Read(Orla("", "use_orla Yes\nvolume_manager_ips 10.0.0.1 , 10.0.0.2\n"
                          "volume_manager_ports 4000 ,4001\nrdma_device d\nservice_ip x\n"
                          "service_port 1\n")),
            pyx::kConfigOk);
}

}  // namespace
