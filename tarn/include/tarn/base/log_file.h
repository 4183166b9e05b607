// A log file that rolls to a new file by size and by UTC day, refuses to
// write while its file system is nearly full, and can point the process's
// standard output and standard error at the current file.
//
// File names: <basename>.<YYYYmmdd-HHMMSS>.<host>.<pid>.log (local time).
#ifndef TARN_BASE_LOG_FILE_H_
#define TARN_BASE_LOG_FILE_H_

#include <time.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

namespace plinth {

namespace FileUtil {
class AppendFile;
}

class LogFile {
 public:
  // Below this many free bytes a new file is left empty.
  static const uint64_t kMinAvailableSpace = 314572800;  // 300 MiB

  typedef uint64_t (*SpaceProbe)(const char* path);
  // Seconds since the epoch, as time(nullptr).
  typedef time_t (*Clock)();

  // rollSize 0 means no size limit (the file still rolls every day).
  LogFile(const std::string& basename, size_t rollSize, bool threadSafe = true,
          bool redirect = false, int flushInterval = 3, int checkEveryN = 1024);
  ~LogFile();
  LogFile(const LogFile&) = delete;
  LogFile& operator=(const LogFile&) = delete;

  void append(const char* logline, int len);
  void flush();
  // Opens the next file, at most once per second. When the new file cannot
  // be opened the current one stays in use and the next roll tries again.
  // Returns true when a new file was taken.
  bool rollFile();

  bool writeRefused() const { return writeRefused_; }
  const std::string& fileName() const { return fileName_; }

  // The free-space query used at each roll; FileUtil::GetAvailableSpace
  // unless replaced (tests). nullptr restores the default.
  static void setSpaceProbe(SpaceProbe probe);
  // The clock that names files and decides the daily roll; time(nullptr)
  // unless replaced (tests). nullptr restores the default.
  static void setClock(Clock clock);

  static std::string getLogFileName(const std::string& basename, time_t* now);

 private:
  void append_unlocked(const char* logline, int len);
  void checkSpace();

  static const int kRollPerSeconds = 60 * 60 * 24;

  const std::string basename_;
  const size_t rollSize_;
  const bool redirect_;
  const int flushInterval_;
  const int checkEveryN_;

  int count_;
  std::unique_ptr<std::mutex> mutex_;
  time_t startOfPeriod_;
  time_t lastRoll_;
  time_t lastFlush_;
  std::unique_ptr<FileUtil::AppendFile> file_;
  std::string fileName_;
  bool writeRefused_;

  static std::atomic<SpaceProbe> spaceProbe_;
  static std::atomic<Clock> clock_;
};

}  // namespace plinth

#endif  // TARN_BASE_LOG_FILE_H_
