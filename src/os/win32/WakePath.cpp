// Wake-ups between the two sides of a channel on Windows: named auto-reset events.
// Twin: src/os/posix/WakePath.cpp.
#include "os/WakePath.h"

#include <cstring>
#include <new>
#include <string>

#include "os/ErrorText.h"
#include "os/SharedMemory.h"

namespace kw::os {

namespace {

// Named auto-reset events: a bell per side, and a mark per side that
// exists while some process of that side holds it open.

// Words are waited on through a few shared slots of a lock and a condition
// variable (WaitOnAddress needs Windows 8): a wake may reach a waiter of
// another word, which looks again and sleeps on.
struct WordSlot {
  SRWLOCK lock = SRWLOCK_INIT;
  CONDITION_VARIABLE changed = CONDITION_VARIABLE_INIT;
};

WordSlot g_wordSlots[31];

WordSlot& slotOf(const std::atomic<std::uint32_t>& word) {
  return g_wordSlots[(reinterpret_cast<std::uintptr_t>(&word) / sizeof word) % 31];
}

}  // namespace

struct WakePathObject {
  WakeSide side = WakeReader;
  HANDLE bells[2] = {nullptr, nullptr};
  HANDLE mark = nullptr;
  std::wstring peerMark;
};

namespace {

const wchar_t* const kBellSuffix[2] = {L".wake.reader", L".wake.writer"};
const wchar_t* const kMarkSuffix[2] = {L".wake.reader.on", L".wake.writer.on"};

HANDLE openEvent(const std::wstring& name) {
  HANDLE event = CreateEventW(nullptr, FALSE, FALSE, name.c_str());
  if (event) lowerIntegrity(event);  // as the block: low-integrity peers may open it
  return event;
}

}  // namespace

bool wakePathSwitchedOff() {
  char value[8] = {};
  const DWORD length = GetEnvironmentVariableA("KW_TRANSPORT_POLL_ONLY", value, sizeof value);
  return length == 1 && value[0] == '1';
}

WakePathHandle wakePathOpen(const wchar_t* name, WakeSide side) {
  auto* path = new (std::nothrow) WakePathObject;
  if (!path) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  path->side = side;
  const std::wstring base = name;
  path->bells[0] = openEvent(base + kBellSuffix[0]);
  path->bells[1] = openEvent(base + kBellSuffix[1]);
  path->mark = openEvent(base + kMarkSuffix[side]);
  path->peerMark = base + kMarkSuffix[side == WakeReader ? WakeWriter : WakeReader];
  if (!path->bells[0] || !path->bells[1] || !path->mark) {
    keepingLastError([&] { wakePathClose(path); });
    return nullptr;
  }
  return path;
}

void wakePathClose(WakePathHandle path) {
  if (!path) return;
  for (HANDLE object : {path->bells[0], path->bells[1], path->mark})
    if (object) CloseHandle(object);
  delete path;
}

bool wakePathPeerTakesPart(WakePathHandle path) {
  if (!path) return false;
  HANDLE peer = OpenEventW(SYNCHRONIZE, FALSE, path->peerMark.c_str());
  if (!peer) return false;
  CloseHandle(peer);
  return true;
}

void wakePathRing(WakePathHandle path, WakeSide side) {
  if (path) SetEvent(path->bells[side]);
}

bool wakePathWait(WakePathHandle path, unsigned long timeoutMs) {
  return path && WaitForSingleObject(path->bells[path->side], timeoutMs) == WAIT_OBJECT_0;
}

void wakePathRingLocal(WakePathHandle path) {
  if (path) wakePathRing(path, path->side);
}

bool wakePathWaitLocal(WakePathHandle path, unsigned long timeoutMs) {
  return wakePathWait(path, timeoutMs);
}

// Nothing to mark: the peer cannot see it, and rings unconditionally.
void wakePathAwaitPeer(WakePathHandle, bool) {}

void wakePathRingPeerIfAwaited(WakePathHandle path) {
  if (path) wakePathRing(path, path->side == WakeReader ? WakeWriter : WakeReader);
}

// The other side's state is not shared: nothing tells whether it runs.
bool wakePathSpin(WakePathHandle, bool, const std::function<bool()>& done) { return done(); }

void wordWait(const std::atomic<std::uint32_t>& word, std::uint32_t seen, unsigned long timeoutMs) {
  WordSlot& slot = slotOf(word);
  AcquireSRWLockExclusive(&slot.lock);
  // Looked at under the slot's lock, which a waker takes after changing the
  // word: a change is either seen here or wakes the sleep below.
  if (word.load() == seen) SleepConditionVariableSRW(&slot.changed, &slot.lock, timeoutMs, 0);
  ReleaseSRWLockExclusive(&slot.lock);
}

void wordWakeAll(std::atomic<std::uint32_t>& word) {
  WordSlot& slot = slotOf(word);
  AcquireSRWLockExclusive(&slot.lock);
  ReleaseSRWLockExclusive(&slot.lock);
  WakeAllConditionVariable(&slot.changed);
}

}  // namespace kw::os
