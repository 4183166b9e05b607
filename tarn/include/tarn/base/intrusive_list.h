// IntrusiveList<T, &T::hook>: a doubly linked list threaded through a
// ListHook member of its elements, so that entering an element, taking it
// out from anywhere in the list and walking it cost no allocation.
//
//   struct Call { plinth::ListHook<Call> hook; ... };
//   plinth::IntrusiveList<Call, &Call::hook> waiting;
//   waiting.PushBack(call);
//   for (Call* c = waiting.front(); c != nullptr;) {
//     Call* next = waiting.next(c);   // read before c may be removed
//     ...
//     c = next;
//   }
//
// An element is on at most one list per hook, and its hook names that list:
// entering an element that is on a list, or removing one from a list it is
// not on, is a broken invariant and ends the process. The list does not own
// its elements: Clear only unlinks them, and the destructor leaves them
// alone (they may be gone already), so elements that outlive a list are
// taken off it first. Not thread-safe: a list belongs to one thread.
#ifndef TARN_BASE_INTRUSIVE_LIST_H_
#define TARN_BASE_INTRUSIVE_LIST_H_

#include <cstddef>

#include "tarn/base/logging.h"

namespace plinth {

template <typename T>
struct ListHook {
  T* prev = nullptr;
  T* next = nullptr;
  const void* list = nullptr;  // the list the element is on; null when none

  bool linked() const { return list != nullptr; }
};

template <typename T, ListHook<T> T::*Hook>
class IntrusiveList {
 public:
  IntrusiveList() = default;
  ~IntrusiveList() = default;
  IntrusiveList(const IntrusiveList&) = delete;
  IntrusiveList& operator=(const IntrusiveList&) = delete;

  void PushBack(T* item) {
    ListHook<T>& hook = Enter(item);
    hook.prev = tail_;
    if (tail_ != nullptr) {
      HookOf(tail_).next = item;
    } else {
      head_ = item;
    }
    tail_ = item;
  }

  void PushFront(T* item) {
    ListHook<T>& hook = Enter(item);
    hook.next = head_;
    if (head_ != nullptr) {
      HookOf(head_).prev = item;
    } else {
      tail_ = item;
    }
    head_ = item;
  }

  void Remove(T* item) {
    ListHook<T>& hook = HookOf(item);
    if (hook.list != this) {
      LOG_FATAL << "intrusive list: removing an element that is not on this list";
      return;
    }
    if (hook.prev != nullptr) {
      HookOf(hook.prev).next = hook.next;
    } else {
      head_ = hook.next;
    }
    if (hook.next != nullptr) {
      HookOf(hook.next).prev = hook.prev;
    } else {
      tail_ = hook.prev;
    }
    hook = ListHook<T>();
    --size_;
  }

  // The first element, taken off the list; null when empty.
  T* PopFront() {
    T* item = head_;
    if (item != nullptr) Remove(item);
    return item;
  }

  // Unlinks every element.
  void Clear() {
    while (head_ != nullptr) Remove(head_);
  }

  bool Contains(const T* item) const { return (item->*Hook).list == this; }

  T* front() const { return head_; }
  T* back() const { return tail_; }
  static T* next(const T* item) { return (item->*Hook).next; }
  bool empty() const { return head_ == nullptr; }
  size_t size() const { return size_; }

 private:
  static ListHook<T>& HookOf(T* item) { return item->*Hook; }

  ListHook<T>& Enter(T* item) {
    ListHook<T>& hook = HookOf(item);
    if (hook.linked()) LOG_FATAL << "intrusive list: element entered while on a list";
    hook.list = this;
    hook.prev = hook.next = nullptr;
    ++size_;
    return hook;
  }

  T* head_ = nullptr;
  T* tail_ = nullptr;
  size_t size_ = 0;
};

}  // namespace plinth

#endif  // TARN_BASE_INTRUSIVE_LIST_H_
