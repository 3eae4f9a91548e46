// OwnedHandle: a system handle closed when its owner goes, so that every
// early return of a function that opens things closes them.
#pragma once

#include <utility>

namespace kw::os {

// Traits name the handle type, its invalid value and how it is closed:
//   struct Traits {
//     using Handle = ...;
//     static Handle invalid();
//     static void close(Handle handle);  // keeps the thread's last error
//   };
// close must keep the last error: owners are mostly let go on a failure's
// way out, which reports that error.
template <typename Traits>
class OwnedHandle {
 public:
  using Handle = typename Traits::Handle;

  OwnedHandle() = default;
  explicit OwnedHandle(Handle handle) : m_handle(handle) {}
  OwnedHandle(OwnedHandle&& other) noexcept : m_handle(other.release()) {}
  OwnedHandle& operator=(OwnedHandle&& other) noexcept {
    reset(other.release());
    return *this;
  }
  OwnedHandle(const OwnedHandle&) = delete;
  OwnedHandle& operator=(const OwnedHandle&) = delete;
  ~OwnedHandle() { reset(); }

  bool valid() const { return m_handle != Traits::invalid(); }
  Handle get() const { return m_handle; }
  // Gives the handle up without closing it.
  Handle release() { return std::exchange(m_handle, Traits::invalid()); }
  // Closes the handle held, if any, and holds `handle` instead.
  void reset(Handle handle = Traits::invalid()) {
    const Handle old = std::exchange(m_handle, handle);
    if (old != Traits::invalid()) Traits::close(old);
  }

 private:
  Handle m_handle = Traits::invalid();
};

}  // namespace kw::os
