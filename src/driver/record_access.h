// Relaxed atomic access to host-record fields that several threads share.
//
// The records are plain C structs owned by the host, so the fields cannot
// become std::atomic; these helpers give the same guarantees on the same
// layout (aligned stores and loads that never tear, race-free to TSan).
#ifndef PYXDRIVER_RECORD_ACCESS_H_
#define PYXDRIVER_RECORD_ACCESS_H_

namespace pyx {

template <typename T>
inline T Load(const T& field) {
  return __atomic_load_n(&field, __ATOMIC_RELAXED);
}

template <typename T, typename V>
inline void Store(T& field, V value) {
  __atomic_store_n(&field, static_cast<T>(value), __ATOMIC_RELAXED);
}

// Adds and returns the value before the addition.
template <typename T, typename V>
inline T FetchAdd(T& field, V value) {
  return __atomic_fetch_add(&field, static_cast<T>(value), __ATOMIC_RELAXED);
}

}  // namespace pyx

#endif  // PYXDRIVER_RECORD_ACCESS_H_
