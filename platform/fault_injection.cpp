#include <orv_platform/fault_injection_test_helper.h>

#if defined(_WIN32)
#include "windows/fault_hooks.h"
#endif

#include <array>
#include <atomic>

namespace orv::platform::fault {
namespace {

constexpr size_t kOps = static_cast<size_t>(Op::kCount);

struct Slot {
  std::atomic<uint64_t> calls{0};
  std::atomic<uint64_t> failAt{0};     // first call number that fails; 0 = disarmed
  std::atomic<uint64_t> failUntil{0};  // last call number that fails
  std::atomic<int> error{0};
};

std::array<Slot, kOps>& Slots() {
  static std::array<Slot, kOps> slots;
  return slots;
}

std::atomic<uint64_t>& FiredCount() {
  static std::atomic<uint64_t> fired{0};
  return fired;
}

// Windows: the system's calls are counted only once the program's imports are hooked.
void ReadyToCount() {
#if defined(_WIN32)
  InstallHooks();
#endif
}

}  // namespace

const char* Name(Op op) {
  static constexpr std::array<const char*, kOps> kNames = {
      "open",      "read",      "write",          "seek",           "length",
      "close",     "flush",     "delete",         "create folder",  "remove folder",
      "get times", "set times", "get attributes", "set attributes", "start engine"};
  const auto i = static_cast<size_t>(op);
  return i < kOps ? kNames[i] : "?";
}

void FailNth(Op op, uint64_t nth, int err, uint64_t count) {
  ReadyToCount();
  Slot& slot = Slots()[static_cast<size_t>(op)];
  const uint64_t first = slot.calls.load(std::memory_order_relaxed) + (nth == 0 ? 1 : nth);
  slot.error.store(err, std::memory_order_relaxed);
  slot.failUntil.store(first + (count == 0 ? 0 : count - 1), std::memory_order_relaxed);
  slot.failAt.store(first, std::memory_order_relaxed);
}

void Reset() {
  ReadyToCount();
  for (Slot& slot : Slots()) {
    slot.failAt.store(0, std::memory_order_relaxed);
    slot.failUntil.store(0, std::memory_order_relaxed);
    slot.calls.store(0, std::memory_order_relaxed);
    slot.error.store(0, std::memory_order_relaxed);
  }
  FiredCount().store(0, std::memory_order_relaxed);
}

uint64_t Calls(Op op) {
  return Slots()[static_cast<size_t>(op)].calls.load();
}

uint64_t Fired() {
  return FiredCount().load();
}

int Check(Op op) {
  Slot& slot = Slots()[static_cast<size_t>(op)];
  const uint64_t call = slot.calls.fetch_add(1, std::memory_order_relaxed) + 1;
  const uint64_t failAt = slot.failAt.load(std::memory_order_relaxed);
  if (failAt == 0 || call < failAt) {
    return 0;
  }
  if (call >= slot.failUntil.load(std::memory_order_relaxed)) {
    slot.failAt.store(0, std::memory_order_relaxed);  // the last call of the run disarms
  }
  if (call > slot.failUntil.load(std::memory_order_relaxed)) {
    return 0;
  }
  FiredCount().fetch_add(1, std::memory_order_relaxed);
  return slot.error.load(std::memory_order_relaxed);
}

}  // namespace orv::platform::fault
