#include <algorithm>
#include <bit>
#include <chrono>

#include "tftp/engines/loop.h"

namespace quoril::loops {

Slot& SlotAt(Loop& loop, std::uint32_t index) {
  return (*loop.chunks[index / kChunkSlots])[index % kChunkSlots];
}

std::uint32_t AcquireSlot(Loop& loop) {
  if (loop.freeSlots.empty()) {
    const auto first = static_cast<std::uint32_t>(loop.chunks.size() * kChunkSlots);
    loop.chunks.push_back(std::make_unique<std::array<Slot, kChunkSlots>>());
    loop.freeSlots.reserve(loop.chunks.size() * kChunkSlots);
    for (std::uint32_t k = kChunkSlots; k-- > 0;) loop.freeSlots.push_back(first + k);
  }
  const std::uint32_t index = loop.freeSlots.back();
  loop.freeSlots.pop_back();
  return index;
}

namespace {

void Unfile(Loop& loop, std::uint32_t index) {
  Slot& slot = SlotAt(loop, index);
  if (!slot.filed) return;
  TimerList& list = loop.lists[slot.list];
  (slot.previous == kNone ? list.head : SlotAt(loop, slot.previous).next) = slot.next;
  (slot.next == kNone ? list.tail : SlotAt(loop, slot.next).previous) = slot.previous;
  if (list.head == kNone) loop.listsInUse[slot.list / 64] &= ~(1ULL << (slot.list % 64));
  slot.previous = slot.next = kNone;
  slot.filed = false;
}

void FileAtTail(Loop& loop, std::uint32_t index) {
  Unfile(loop, index);
  Slot& slot = SlotAt(loop, index);
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(slot.session->wait);
  slot.list = static_cast<std::uint8_t>(
      std::min<std::int64_t>(std::max<std::int64_t>(seconds.count(), 0), kTimeoutLists - 1));
  TimerList& list = loop.lists[slot.list];
  slot.previous = list.tail;
  (list.tail == kNone ? list.head : SlotAt(loop, list.tail).next) = index;
  list.tail = index;
  loop.listsInUse[slot.list / 64] |= 1ULL << (slot.list % 64);
  slot.filed = true;
}

}  // namespace

std::uint64_t KeyOf(const Slot& slot, std::uint32_t index) {
  return std::uint64_t{slot.generation} << 32 | index;
}

// The slot that a key of the endpoint table names, kNone when its session has gone.
std::uint32_t SlotOfKey(Loop& loop, std::uint64_t key) {
  const auto index = static_cast<std::uint32_t>(key);
  if (index >= loop.chunks.size() * kChunkSlots) return kNone;
  const Slot& slot = SlotAt(loop, index);
  return slot.session && KeyOf(slot, index) == key ? index : kNone;
}

void Release(Loop& loop, std::uint32_t index) {
  Slot& slot = SlotAt(loop, index);
  Unfile(loop, index);
  FinishSession(*slot.session);
  if (loop.lone.aside == index) loop.lone.aside = kNone;
  if (slot.socket.IsOpen()) loop.poller.CloseWatched(slot.socket);
  loop.server.ports.Release(slot.session->localIndex, slot.port);
  slot.port = 0;
  if (slot.waitsForPort) {
    std::erase(loop.portWaiters, index);
    slot.waitsForPort = false;
  }
  slot.session.reset();
  loop.freeSlots.push_back(index);
  --loop.running;
  loop.server.limit.Ended();
}

// Between rounds, when no event names a slot: after a burst the empty pool goes, and the
// next transfer starts a new one.
void ShrinkIfIdle(Loop& loop) {
  if (loop.running != 0 || loop.mostRunning < kReleaseAfterBurst) return;
  loop.mostRunning = 0;
  loop.chunks.clear();
  loop.chunks.shrink_to_fit();
  loop.freeSlots.clear();
  loop.freeSlots.shrink_to_fit();
  platform::ReleaseFreeHeapMemory();
}

// After a call into the session: an ended one lets its slot go, a new deadline moves it to
// the end of its list.
void Settle(Loop& loop, std::uint32_t index, TimePoint deadlineBefore) {
  Slot& slot = SlotAt(loop, index);
  if (SessionEnded(*slot.session)) {
    Release(loop, index);
  } else if (!slot.filed || slot.session->deadline != deadlineBefore) {
    FileAtTail(loop, index);
  }
}

namespace {

// The first list from `from` on that holds a slot; kTimeoutLists when none does.
std::size_t NextListInUse(const Loop& loop, std::size_t from) {
  for (std::size_t word = from / 64; word < loop.listsInUse.size(); ++word) {
    const std::uint64_t bits =
        loop.listsInUse[word] & (~0ULL << (word == from / 64 ? from % 64 : 0));
    if (bits != 0) return word * 64 + static_cast<std::size_t>(std::countr_zero(bits));
  }
  return kTimeoutLists;
}

}  // namespace

// Every deadline that has passed; answers how long the loop may wait for the next one.
std::uint32_t ExpireDeadlines(Loop& loop) {
  const TimePoint now = SessionClock::now();
  std::uint32_t wait = platform::EventPoller::kWaitForever;
  for (std::size_t list = NextListInUse(loop, 0); list < kTimeoutLists;
       list = NextListInUse(loop, list + 1)) {
    for (;;) {
      const std::uint32_t index = loop.lists[list].head;
      if (index == kNone) break;
      Slot& slot = SlotAt(loop, index);
      if (slot.session->deadline > now) {
        wait = std::min(wait, MillisecondsUntil(slot.session->deadline, now));
        break;
      }
      const TimePoint before = slot.session->deadline;
      SlotSink sink(loop, slot);
      OnDeadline(*slot.session, sink, now);
      Settle(loop, index, before);
      // A transfer that sent again is now at the end of its list; the next head follows.
    }
  }
  return wait;
}

}  // namespace quoril::loops
