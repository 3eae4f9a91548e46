// Wake-ups between the two sides of a shared-memory channel, in objects of
// their own beside the block: each side has a bell that the other side (or
// its own process) rings, and a mark that says the side takes part, so that
// a side can tell whether its peer will ever ring.
#pragma once

#include <kw/Platform.h>

#include <atomic>
#include <cstdint>
#include <functional>

namespace kw::os {

// The wake objects of one side of a channel.
struct WakePathObject;
using WakePathHandle = WakePathObject*;

enum WakeSide { WakeReader = 0, WakeWriter = 1 };

// True when the environment switches the wake path off
// (KW_TRANSPORT_POLL_ONLY=1): the transport then only polls.
bool wakePathSwitchedOff();

// Opens the wake objects of the channel `name` (creating them when missing)
// for `side`, and marks that side as taking part while the handle is open.
// Null on failure, with the thread's last error.
WakePathHandle wakePathOpen(const wchar_t* name, WakeSide side);
void wakePathClose(WakePathHandle path);
// Whether some process has the other side's wake path open now.
bool wakePathPeerTakesPart(WakePathHandle path);
// Rings a side's bell: its current or next wait returns at once. Costs a
// system call only when that side sleeps (Linux).
void wakePathRing(WakePathHandle path, WakeSide side);
// Waits up to timeoutMs for this side's bell; true when it had rung.
bool wakePathWait(WakePathHandle path, unsigned long timeoutMs);
// The same for this side's bell within its own process (a push for a
// writer), which the peer does not ring: cheaper on Linux, where it is
// private to the process; the shared bell itself on Windows.
void wakePathRingLocal(WakePathHandle path);
bool wakePathWaitLocal(WakePathHandle path, unsigned long timeoutMs);
// This side starts or stops waiting for its peer to act on the block (a
// writer for its slot to be freed), so that the peer rings it only then.
void wakePathAwaitPeer(WakePathHandle path, bool awaiting);
// Rings the other side if it awaits this one (always on Windows, where
// the mark is not shared).
void wakePathRingPeerIfAwaited(WakePathHandle path);

// Spins for a few microseconds while `done` is false and the other side
// is running (not asleep on its bell) and, with peerMustAwait, awaits this
// one: an answer due within moments then costs no sleep and no wake-up.
// Never with one CPU online, nor on Windows. Returns done().
bool wakePathSpin(WakePathHandle path, bool peerMustAwait, const std::function<bool()>& done);

// The last hop, within one process: a thread sleeps on a word until another
// changes it (an application waiting for its device's worker to queue a
// message). Sleeps up to timeoutMs (INFINITE: no limit) while `word` holds
// `seen`; may return early, so the caller looks again.
void wordWait(const std::atomic<std::uint32_t>& word, std::uint32_t seen, unsigned long timeoutMs);
// Wakes every thread in wordWait on `word`, which the caller has changed.
void wordWakeAll(std::atomic<std::uint32_t>& word);

}  // namespace kw::os
