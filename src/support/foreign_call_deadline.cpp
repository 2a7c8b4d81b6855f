#include "support/foreign_call_deadline.h"

#include <windows.h>

#include <atomic>
#include <new>

#include "support/unique_resource.h"

namespace qm {
namespace {

// The watched call's ticket: one number per call, so the watchdog can only
// fire on the very call whose start it measured.
constexpr std::uint32_t kIdle = 0;
constexpr std::uint32_t kArming = 1;  // a call is writing its start
constexpr std::uint32_t kFired = 2;
constexpr std::uint32_t kFirstTicket = 3;

struct Watch {
  std::atomic<std::uint32_t> ticket{kIdle};
  std::atomic<std::uint32_t> next_ticket{kFirstTicket};
  std::atomic<const char*> operation{nullptr};
  std::atomic<DWORD> armed_at{0};
  std::atomic<std::uint32_t> deadline_ms{0};
  std::atomic<StuckCallCourse> course{nullptr};
  // Auto-reset: a stale signal only costs the watchdog one more look.
  UniqueHandle armed{::CreateEventW(nullptr, FALSE, FALSE, nullptr)};
  UniqueHandle returned{::CreateEventW(nullptr, FALSE, FALSE, nullptr)};
  UniqueHandle released{::CreateEventW(nullptr, FALSE, FALSE, nullptr)};
  UniqueHandle thread;
};

// Never destroyed: the watchdog may still be waiting while the process exits.
Watch& TheWatch() noexcept {
  alignas(Watch) static unsigned char storage[sizeof(Watch)];
  static Watch* const watch = new (storage) Watch();
  return *watch;
}

// Hands a call that passed its deadline to the course; true when it did.
bool FireIfDue(Watch& watch, std::uint32_t ticket, DWORD& wait_ms) noexcept {
  const DWORD armed_at = watch.armed_at.load(std::memory_order_relaxed);
  const char* operation = watch.operation.load(std::memory_order_relaxed);
  if (watch.ticket.load(std::memory_order_acquire) != ticket) return false;
  const DWORD waited = ::GetTickCount() - armed_at;
  const DWORD deadline = watch.deadline_ms.load(std::memory_order_relaxed);
  if (waited < deadline) {
    wait_ms = deadline - waited;
    return false;
  }
  const StuckCallCourse course = watch.course.load(std::memory_order_acquire);
  if (course == nullptr) {
    // The watch was stopped while the call was inside: wait for it to come back.
    wait_ms = INFINITE;
    return false;
  }
  if (!watch.ticket.compare_exchange_strong(ticket, kFired)) return false;
  course(operation, waited);
  watch.ticket.store(kIdle, std::memory_order_release);
  ::SetEvent(watch.released.Get());
  return true;
}

DWORD WINAPI WatchCalls(void* context) {
  Watch& watch = *static_cast<Watch*>(context);
  for (;;) {
    const std::uint32_t ticket = watch.ticket.load(std::memory_order_acquire);
    if (ticket < kFirstTicket) {
      (void)::WaitForSingleObject(watch.armed.Get(), INFINITE);
      continue;
    }
    DWORD wait_ms = 0;
    if (!FireIfDue(watch, ticket, wait_ms) && wait_ms != 0) {
      (void)::WaitForSingleObject(watch.returned.Get(), wait_ms);
    }
  }
}

}  // namespace

bool WatchForeignCalls(std::uint32_t deadline_ms, StuckCallCourse course) noexcept {
  Watch& watch = TheWatch();
  watch.deadline_ms.store(deadline_ms, std::memory_order_relaxed);
  watch.course.store(course, std::memory_order_release);
  if (watch.thread || course == nullptr) return static_cast<bool>(watch.thread);
  if (!watch.armed || !watch.returned || !watch.released) return false;
  // Started before any foreign module is loaded, so the thread never waits
  // for the loader on the way in.
  watch.thread.Reset(::CreateThread(nullptr, 0, &WatchCalls, &watch, 0, nullptr));
  return static_cast<bool>(watch.thread);
}

namespace guarded_detail {

std::uint32_t ArmDeadline(const char* operation) noexcept {
  Watch& watch = TheWatch();
  if (!watch.thread || watch.course.load(std::memory_order_acquire) == nullptr) return kIdle;
  std::uint32_t idle = kIdle;
  // A call already under the watch (another thread's) keeps it; this one runs unwatched.
  if (!watch.ticket.compare_exchange_strong(idle, kArming, std::memory_order_acquire)) return kIdle;
  std::uint32_t ticket = kIdle;
  do {
    ticket = watch.next_ticket.fetch_add(1, std::memory_order_relaxed);
  } while (ticket < kFirstTicket);
  watch.operation.store(operation, std::memory_order_relaxed);
  watch.armed_at.store(::GetTickCount(), std::memory_order_relaxed);
  watch.ticket.store(ticket, std::memory_order_release);
  ::SetEvent(watch.armed.Get());
  return ticket;
}

void DisarmDeadline(std::uint32_t ticket) noexcept {
  if (ticket < kFirstTicket) return;
  Watch& watch = TheWatch();
  if (watch.ticket.compare_exchange_strong(ticket, kIdle, std::memory_order_acq_rel)) {
    ::SetEvent(watch.returned.Get());
    return;
  }
  // The deadline won: the course is ending the process, or lets us go on.
  (void)::WaitForSingleObject(watch.released.Get(), INFINITE);
}

}  // namespace guarded_detail
}  // namespace qm
