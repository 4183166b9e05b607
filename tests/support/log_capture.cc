#include "support/log_capture.h"

#include <cstdio>
#include <mutex>

#include "support/wait.h"

namespace testsupport {

namespace {

std::mutex g_mutex;
std::string g_text;

void Capture(const char* msg, int len) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_text.append(msg, static_cast<size_t>(len));
}

void ToStderr(const char* msg, int len) { fwrite(msg, 1, static_cast<size_t>(len), stderr); }

}  // namespace

LogCapture::LogCapture() : previous_(plinth::g_output.load()) {
  Clear();
  plinth::Logger::setOutput(&Capture);
}

LogCapture::~LogCapture() {
  plinth::Logger::setOutput(previous_);
}

std::string LogCapture::text() const {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_text;
}

void LogCapture::Clear() {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_text.clear();
}

bool LogCapture::WaitForText(const std::string& needle, double timeout_s) const {
  return WaitFor([&] { return text().find(needle) != std::string::npos; }, timeout_s);
}

std::string LogCapture::LineWith(const std::string& needle) const {
  const std::string all = text();
  const size_t at = all.find(needle);
  if (at == std::string::npos) return "";
  const size_t begin = all.rfind('\n', at);
  const size_t start = begin == std::string::npos ? 0 : begin + 1;
  const size_t end = all.find('\n', at);
  return all.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

void SendLogsToStderr() { plinth::Logger::setOutput(&ToStderr); }

}  // namespace testsupport
