#include "tarn/base/log_file.h"

#include <unistd.h>

#include <cstdio>

#include "tarn/base/file_util.h"
#include "tarn/base/process_info.h"

namespace plinth {

std::atomic<LogFile::SpaceProbe> LogFile::spaceProbe_{&FileUtil::GetAvailableSpace};

namespace {
time_t systemClock() { return ::time(nullptr); }
}  // namespace

std::atomic<LogFile::Clock> LogFile::clock_{&systemClock};

void LogFile::setSpaceProbe(SpaceProbe probe) {
  spaceProbe_.store(probe ? probe : &FileUtil::GetAvailableSpace);
}

void LogFile::setClock(Clock clock) { clock_.store(clock ? clock : &systemClock); }

LogFile::LogFile(const std::string& basename, size_t rollSize, bool threadSafe, bool redirect,
                 int flushInterval, int checkEveryN)
    : basename_(basename),
      rollSize_(rollSize),
      redirect_(redirect),
      flushInterval_(flushInterval),
      checkEveryN_(checkEveryN > 0 ? checkEveryN : 1),
      count_(0),
      mutex_(threadSafe ? new std::mutex : nullptr),
      startOfPeriod_(0),
      lastRoll_(0),
      lastFlush_(0),
      writeRefused_(false) {
  rollFile();
  if (!file_) {
    // Not even a first file; an unopened one drops lines until a roll works.
    file_.reset(new FileUtil::AppendFile(std::string()));
  }
}

LogFile::~LogFile() = default;

void LogFile::append(const char* logline, int len) {
  if (mutex_) {
    std::lock_guard<std::mutex> lock(*mutex_);
    append_unlocked(logline, len);
  } else {
    append_unlocked(logline, len);
  }
}

void LogFile::flush() {
  if (mutex_) {
    std::lock_guard<std::mutex> lock(*mutex_);
    file_->flush();
  } else {
    file_->flush();
  }
}

void LogFile::append_unlocked(const char* logline, int len) {
  if (writeRefused_) {
    // Counted but not written, so the size rule still rolls (and the next
    // roll looks at the free space again).
    file_->DummyIncWrittenBytes(len);
  } else {
    file_->append(logline, len);
  }

  // A file that never opened is retried too (rollFile allows one attempt a
  // second), so a directory created later still gets the log.
  if ((rollSize_ > 0 && file_->writtenBytes() > rollSize_) || !file_->isOpen()) {
    rollFile();
    return;
  }
  if (++count_ >= checkEveryN_) {
    count_ = 0;
    time_t now = clock_.load()();
    time_t thisPeriod = now / kRollPerSeconds * kRollPerSeconds;
    if (thisPeriod != startOfPeriod_) {
      rollFile();
    } else if (now - lastFlush_ > flushInterval_) {
      lastFlush_ = now;
      file_->flush();
    }
  }
}

bool LogFile::rollFile() {
  time_t now = 0;
  std::string filename = getLogFileName(basename_, &now);
  if (now <= lastRoll_) return false;  // at most one new file per second
  lastRoll_ = now;

  std::unique_ptr<FileUtil::AppendFile> next(new FileUtil::AppendFile(filename));
  if (!next->isOpen() && file_) {
    // Keep the working file rather than lose the log; lastRoll_ spaces the
    // retries a second apart.
    return false;
  }
  lastFlush_ = now;
  startOfPeriod_ = now / kRollPerSeconds * kRollPerSeconds;
  file_ = std::move(next);
  fileName_ = filename;
  checkSpace();
  if (redirect_ && file_->isOpen()) {
    fflush(stdout);
    fflush(stderr);
    ::dup2(file_->fd(), STDOUT_FILENO);
    ::dup2(file_->fd(), STDERR_FILENO);
  }
  return file_->isOpen();
}

void LogFile::checkSpace() {
  if (spaceProbe_.load()(fileName_.c_str()) < kMinAvailableSpace) {
    writeRefused_ = true;
    fprintf(stderr, "filesystem available size less than 300M, forbit write\n");
  } else {
    writeRefused_ = false;
  }
}

std::string LogFile::getLogFileName(const std::string& basename, time_t* now) {
  std::string filename;
  filename.reserve(basename.size() + 64);
  filename = basename;

  char timebuf[32];
  struct tm tm;
  *now = clock_.load()();
  ::localtime_r(now, &tm);
  strftime(timebuf, sizeof timebuf, ".%Y%m%d-%H%M%S.", &tm);
  filename += timebuf;
  filename += ProcessInfo::hostname();

  char pidbuf[32];
  snprintf(pidbuf, sizeof pidbuf, ".%d", ProcessInfo::pid());
  filename += pidbuf;
  filename += ".log";
  return filename;
}

}  // namespace plinth
