// An exception that carries the stack trace of the place it was built.
#ifndef TARN_BASE_EXCEPTION_H_
#define TARN_BASE_EXCEPTION_H_

#include <exception>
#include <string>

namespace plinth {

class Exception : public std::exception {
 public:
  explicit Exception(const char* what);
  explicit Exception(const std::string& what);
  ~Exception() noexcept override = default;

  const char* what() const noexcept override { return message_.c_str(); }
  // One raw (not demangled) symbol line per frame.
  const char* stackTrace() const noexcept { return stack_.c_str(); }

 private:
  void fillStackTrace();

  std::string message_;
  std::string stack_;
};

}  // namespace plinth

#endif  // TARN_BASE_EXCEPTION_H_
