// Other programs pyxbench runs: the simulated cluster (pyxsim) in its own
// process for the length of the run, and its control tool (pyxsimctl) for
// single requests; plus the INI edits pyxbench makes to the driver's
// configuration.
#ifndef PYXBENCH_PROCESSES_H_
#define PYXBENCH_PROCESSES_H_

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace pyxbench {

// The folder this program lies in ("" when unknown).
std::string SelfDir();

// A program next to this one, or `explicit_path` when given.
std::string FindProgram(const std::string& name, const std::string& explicit_path);

class SimProcess {
 public:
  SimProcess() = default;
  ~SimProcess();  // Stop()
  SimProcess(const SimProcess&) = delete;
  SimProcess& operator=(const SimProcess&) = delete;

  // Starts `path` with `args`, its standard output and error going to
  // `log_path`, and waits (at most timeout_s) until it prints its ready line
  // (which names the control port). false with `error` set otherwise.
  // `cancelled` is asked while it waits: true gives up (error empty).
  bool Start(const std::string& path, const std::vector<std::string>& args,
             const std::string& log_path, double timeout_s, std::string* error,
             const std::function<bool()>& cancelled);
  // Asks it to stop (SIGTERM), waits, and kills it (SIGKILL) after
  // kStopWaitS, or at once when it is stopped (SIGSTOP), as it would take
  // no SIGTERM until continued. `note`, when given, is told what takes
  // time: a stopped process killed, a wait of more than a moment.
  static constexpr double kStopWaitS = 20;
  void Stop(const std::function<void(const std::string&)>& note = nullptr);
  // Whether it has ended by itself (reaped then, with how in `how`: "exited
  // with status 1", "killed by signal 9 (Killed)"). Never blocks.
  bool Ended(std::string* how);

  pid_t pid() const { return pid_; }
  uint16_t control_port() const { return control_port_; }
  // CPU seconds (user + system) the process has used so far (once it
  // ended, as last read).
  double CpuSeconds() const;

 private:
  pid_t pid_ = -1;
  mutable double last_cpu_s_ = 0;
  uint16_t control_port_ = 0;
};

// Runs `path args...` to its end (at most timeout_s), returning its exit
// status (-1 when it could not run or was killed) and its standard output.
int RunTool(const std::string& path, const std::vector<std::string>& args, std::string* out,
            double timeout_s = 60);

// Sets `keys` in every "ORLA" section of an INI text, replacing a key's line
// where it is and adding it at the section's end where it is not.
std::string EditIni(const std::string& text, const std::map<std::string, std::string>& keys);

bool ReadFile(const std::string& path, std::string* out);
bool WriteFile(const std::string& path, const std::string& text);

// CPU seconds (user + system) of this process so far.
double SelfCpuSeconds();
// CPU seconds (user + system) so far of this process's threads whose name
// starts with `prefix` (the library's own loops, as opposed to the host's
// threads). Tick-grained (usually 10 ms per thread).
double ThreadsCpuSeconds(const std::string& prefix);

}  // namespace pyxbench

#endif  // PYXBENCH_PROCESSES_H_
