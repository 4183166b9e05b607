// PassiveStatus<T>: a variable whose value comes from a callback, asked each
// time the variable is read.
//
//   bvar::PassiveStatus<int64_t> queue_len("x_queue_len",
//       [this] { return static_cast<int64_t>(queue_.size()); });
//
// The callback runs on the reading thread (the metrics dump) while the
// registry is locked: it must be thread-safe and must not expose or hide
// variables.
#ifndef PLATFORM_BVAR_PASSIVE_STATUS_H
#define PLATFORM_BVAR_PASSIVE_STATUS_H

#include <functional>
#include <string>
#include <type_traits>
#include <utility>

#include "bvar/variable.h"

namespace bvar {

template <typename T>
class PassiveStatus : public Variable {
 public:
  typedef T value_type;

  PassiveStatus(T (*getfn)(void*), void* arg) : fn_(bind(getfn, arg)) {}
  PassiveStatus(const std::string& name, T (*getfn)(void*), void* arg)
      : fn_(bind(getfn, arg)) {
    expose(name);
  }
  PassiveStatus(const std::string& prefix, const std::string& name,
                T (*getfn)(void*), void* arg)
      : fn_(bind(getfn, arg)) {
    expose_as(prefix, name);
  }
  explicit PassiveStatus(std::function<T()> fn) : fn_(std::move(fn)) {}
  PassiveStatus(const std::string& name, std::function<T()> fn)
      : fn_(std::move(fn)) {
    expose(name);
  }
  ~PassiveStatus() override { hide(); }

  T get_value() const { return fn_ ? fn_() : T(); }

  void describe(std::ostream& os, bool quote_string) const override {
    if constexpr (std::is_same<T, std::string>::value) {
      if (quote_string) {
        os << '"' << get_value() << '"';
        return;
      }
      os << get_value();
    } else if constexpr (std::is_arithmetic<T>::value) {
      os << +get_value();
    } else {
      os << get_value();
    }
  }

 private:
  static std::function<T()> bind(T (*getfn)(void*), void* arg) {
    if (getfn == nullptr) return nullptr;
    return [getfn, arg] { return getfn(arg); };
  }

  const std::function<T()> fn_;
};

}  // namespace bvar

#endif  // PLATFORM_BVAR_PASSIVE_STATUS_H
