// The pyxsim program: starts, prints its ready line, writes the driver's
// INI file, answers its control service and stops on SIGTERM.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "pyxsim/cluster.h"
#include "pyxsim/control_client.h"
#include "sim/sim_test_util.h"
#include "support/child.h"

namespace {

using Clock = std::chrono::steady_clock;
using pyxsim::Role;

// The pyxsim binary of this build: beside the tests' directory, or where
// PYXSIM_BIN says.
std::string ProgramPath() {
  if (const char* env = getenv("PYXSIM_BIN")) return env;
  char self[4096];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
  if (n <= 0) return "pyxsim";
  std::string dir(self, static_cast<size_t>(n));
  dir = dir.substr(0, dir.rfind('/'));
  return dir.substr(0, dir.rfind('/')) + "/sim/pyxsim";
}

Clock::time_point After(double seconds) {
  return Clock::now() +
         std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

// The program in a child process with its output on a pipe, for runs that
// are talked to while they serve.
class Program {
 public:
  explicit Program(const std::vector<std::string>& args) {
    int fds[2];
    if (pipe(fds) != 0) return;
    const std::string path = ProgramPath();
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(path.c_str()));
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
      dup2(fds[1], 1);
      dup2(fds[1], 2);
      close(fds[0]);
      close(fds[1]);
      execv(path.c_str(), argv.data());
      _exit(127);
    }
    close(fds[1]);
    fd_ = fds[0];
  }

  ~Program() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (fd_ >= 0) close(fd_);
  }

  // Reads output until a line starting with prefix; false at the end of the
  // output or after timeout_s.
  bool WaitLine(const std::string& prefix, std::string* line, double timeout_s = 60.0) {
    const Clock::time_point deadline = After(timeout_s);
    for (;;) {
      size_t start = 0;
      for (size_t nl; (nl = output_.find('\n', start)) != std::string::npos; start = nl + 1) {
        if (output_.compare(start, prefix.size(), prefix) == 0) {
          *line = output_.substr(start, nl - start);
          output_.erase(0, nl + 1);
          return true;
        }
      }
      output_.erase(0, start);
      if (!ReadSome(deadline)) return false;
    }
  }

  // Sends sig and waits for the exit status (-1 when a signal ended it or
  // it did not end within timeout_s).
  int Signal(int sig, double timeout_s = 60.0) {
    kill(pid_, sig);
    const Clock::time_point deadline = After(timeout_s);
    while (ReadSome(deadline)) {
    }
    int status = 0;
    while (Clock::now() < deadline) {
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      }
      usleep(1000);
    }
    return -1;
  }

  const std::string& output() const { return all_output_; }

 private:
  bool ReadSome(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (fd_ < 0 || left.count() <= 0) return false;
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
    char buf[4096];
    const ssize_t n = read(fd_, buf, sizeof(buf));
    if (n <= 0) return false;
    output_.append(buf, static_cast<size_t>(n));
    all_output_.append(buf, static_cast<size_t>(n));
    return true;
  }

  pid_t pid_ = -1;
  int fd_ = -1;
  std::string output_;
  std::string all_output_;
};

// "key=value" fields of the ready line.
std::map<std::string, std::string> Fields(const std::string& line) {
  std::map<std::string, std::string> fields;
  std::istringstream in(line);
  std::string word;
  while (in >> word) {
    const size_t eq = word.find('=');
    if (eq != std::string::npos) fields[word.substr(0, eq)] = word.substr(eq + 1);
  }
  return fields;
}

// The [ORLA] keys of an INI file.
std::map<std::string, std::string> ReadIni(const std::string& path) {
  std::map<std::string, std::string> keys;
  std::ifstream in(path);
  std::string line;
  bool in_section = false;
  while (std::getline(in, line)) {
    if (line.empty()) continue;
    if (line[0] == '[') {
      in_section = line == "[ORLA]";
      continue;
    }
    if (!in_section) continue;
    const size_t sp = line.find(' ');
    keys[line.substr(0, sp)] = sp == std::string::npos ? "" : line.substr(sp + 1);
  }
  return keys;
}

TEST(SimProgramTest, ServesUntilSigterm) {
  char dir_template[] = "/tmp/pyxsim-test-XXXXXX";
  ASSERT_NE(mkdtemp(dir_template), nullptr);
  const std::string ini = std::string(dir_template) + "/sim.ini";
  Program program({"--vm", "2", "--bs", "3", "--disk", "d0:64M:4", "--disk", "d1:1G", "--ini",
                   ini, "--ini-set", "worker_num=2", "--ini-set", "is_crc=Yes"});
  std::string line;
  ASSERT_TRUE(program.WaitLine("pyxsim ready", &line)) << program.output();
  std::map<std::string, std::string> ready = Fields(line);
  EXPECT_EQ(ready["volume_manager_ips"], "127.0.0.1,127.0.0.1");
  EXPECT_EQ(ready["ini"], ini);
  const int control_port = atoi(ready["control"].c_str());
  ASSERT_GT(control_port, 0);

  std::map<std::string, std::string> keys = ReadIni(ini);
  EXPECT_EQ(keys["use_orla"], "Yes");
  EXPECT_EQ(keys["volume_manager_ips"], ready["volume_manager_ips"]);
  EXPECT_EQ(keys["volume_manager_ports"], ready["volume_manager_ports"]);
  EXPECT_EQ(keys["rdma_device"], "sim0");
  EXPECT_EQ(keys["is_tcp"], "Yes");
  EXPECT_EQ(keys["worker_num"], "2");
  EXPECT_EQ(keys["is_crc"], "Yes");
  EXPECT_EQ(keys["service_ip"], "127.0.0.1");
  EXPECT_GT(atoi(keys["service_port"].c_str()), 0);

  pyxsim::ControlClient control("127.0.0.1", static_cast<uint16_t>(control_port));
  ASSERT_EQ(control.Connect(), 0);
  pyxsim::DiskInfo disk;
  ASSERT_EQ(control.GetDisk("d0", &disk), 0);
  EXPECT_EQ(disk.size, 64u << 20);
  EXPECT_EQ(disk.dgs, 4u);
  EXPECT_NE(ready["disks"].find("d0:" + disk.uuid), std::string::npos);

  // A fault injected through the control service meets a call to the
  // program's volume manager.
  const std::string vm_ports = ready["volume_manager_ports"];
  const uint16_t vm1 = static_cast<uint16_t>(atoi(vm_ports.substr(vm_ports.find(',') + 1).c_str()));
  ASSERT_EQ(control.FailCalls(Role::kVolumeManager, 1, "GetVdiSize", -31, 1), 0);
  simtest::Caller caller;
  volume::VolumeManagerGetVdiSizeRequest req;
  volume::VolumeManagerGetVdiSizeResponse resp;
  req.mutable_vdi()->set_id("d1");
  for (int expect : {-31, 0}) {
    ASSERT_EQ(caller.Call(vm1, &volume::VolumeManagerService_Stub::GetVdiSize, req, &resp).error, 0);
    EXPECT_EQ(resp.rc().retcode(), expect);
  }
  EXPECT_EQ(resp.size(), 1ull << 30);
  uint64_t count = 0;
  ASSERT_EQ(control.CallCount(Role::kVolumeManager, 1, "GetVdiSize", &count), 0);
  EXPECT_EQ(count, 2u);

  EXPECT_EQ(program.Signal(SIGTERM), 0) << program.output();
  EXPECT_NE(program.output().find("pyxsim stopped by signal"), std::string::npos);
  unlink(ini.c_str());
  rmdir(dir_template);
}

TEST(SimProgramTest, RefusesBadArguments) {
  struct Case {
    std::vector<std::string> args;
    int exit_code;
  } cases[] = {
      {{"--bogus", "1"}, 2},
      {{"--disk", "d0"}, 2},
      {{"--disk", "d0:12Q"}, 2},
      {{"--bs"}, 2},
      {{"--disk", "d0:1000"}, 1},  // not whole blocks
      {{"--bs", "0"}, 1},
      {{"--help"}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[0]);
    std::vector<std::string> argv = {ProgramPath()};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    const testsupport::ChildResult result = testsupport::RunCommand(argv, 60);
    EXPECT_EQ(result.exit_code, c.exit_code) << testsupport::Describe(result);
    if (c.exit_code == 0) {
      EXPECT_NE(result.output.find("usage: pyxsim"), std::string::npos);
    }
  }
}

}  // namespace
