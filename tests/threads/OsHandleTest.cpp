// The OS layer's handles are types of their own: one facility's handle, or a
// bare HANDLE, does not compile where another facility's is expected.
#include <gtest/gtest.h>

#include <cstddef>
#include <type_traits>

#include "os/ErrorText.h"
#include "os/Library.h"
#include "os/Mutex.h"
#include "os/SharedMemory.h"
#include "os/Thread.h"

namespace {

using namespace kw::os;

template <typename Function, typename... Arguments>
constexpr bool kAccepts = std::is_invocable_v<Function, Arguments...>;

static_assert(kAccepts<decltype(&mutexLock), MutexHandle>);
static_assert(!kAccepts<decltype(&mutexLock), SharedMemoryHandle>);
static_assert(!kAccepts<decltype(&mutexLock), ThreadHandle>);
static_assert(!kAccepts<decltype(&mutexLock), void*>);
static_assert(kAccepts<decltype(&sharedMemoryMap), SharedMemoryHandle, std::size_t>);
static_assert(!kAccepts<decltype(&sharedMemoryMap), MutexHandle, std::size_t>);
static_assert(!kAccepts<decltype(&threadWait), WakeEventHandle, unsigned long>);
static_assert(!kAccepts<decltype(&wakeEventWait), ThreadHandle, unsigned long>);
static_assert(!kAccepts<decltype(&unloadLibrary), MutexHandle>);
// The integrity label takes any kernel object, as the device's interface does.
static_assert(kAccepts<decltype(&lowerIntegrity), MutexHandle>);
static_assert(kAccepts<decltype(&lowerIntegrity), SharedMemoryHandle>);

TEST(OsHandles, ANullHandleFailsWithTheLastErrorSet) {
  setLastError(0);
  EXPECT_EQ(threadWait(nullptr, 0), WaitResult::Failed);
  EXPECT_NE(lastError(), 0);
  setLastError(0);
  EXPECT_EQ(wakeEventWait(nullptr, 0), WaitResult::Failed);
  EXPECT_NE(lastError(), 0);
  setLastError(0);
  unsigned long code = 0;
  EXPECT_FALSE(threadExitCode(nullptr, code));
  EXPECT_NE(lastError(), 0);
}

}  // namespace
