#include "support/thread_repair.h"

#include <windows.h>

namespace qm::guarded_detail {
namespace {

// Room for the handler that takes an overflow: the dispatch, our handler and
// the system's unwinding of the foreign frames each need a few records.
constexpr ULONG kHandlerStackBytes = 16 * 1024;

bool HasMxcsr() noexcept {
  static const bool present = ::IsProcessorFeaturePresent(PF_XMMI_INSTRUCTIONS_AVAILABLE) != 0;
  return present;
}

DWORD PageSize() noexcept {
  SYSTEM_INFO info{};
  ::GetSystemInfo(&info);
  return info.dwPageSize;
}

}  // namespace

#if defined(_MSC_VER)

FloatingPointModes SaveFloatingPointModes() noexcept {
  FloatingPointModes modes;
  unsigned short control = 0;
  __asm fnstcw control;
  modes.x87_control = control;
  unsigned int mxcsr = 0;
  if (HasMxcsr()) __asm stmxcsr mxcsr;
  modes.mxcsr = mxcsr;
  return modes;
}

void RestoreFloatingPointModes(const FloatingPointModes& modes) noexcept {
  unsigned short control = modes.x87_control;
  unsigned int mxcsr = modes.mxcsr;
  __asm {
    fninit
    fldcw control
  }
  if (HasMxcsr()) __asm ldmxcsr mxcsr;
}

#else

FloatingPointModes SaveFloatingPointModes() noexcept {
  FloatingPointModes modes;
  __asm__ __volatile__("fnstcw %0" : "=m"(modes.x87_control));
  if (HasMxcsr()) __asm__ __volatile__("stmxcsr %0" : "=m"(modes.mxcsr));
  return modes;
}

void RestoreFloatingPointModes(const FloatingPointModes& modes) noexcept {
  // fninit empties the register stack and clears pending exceptions, so the
  // saved control word cannot unmask one that is waiting.
  __asm__ __volatile__("fninit\n\tfldcw %0" : : "m"(modes.x87_control) : "memory");
  if (HasMxcsr()) __asm__ __volatile__("ldmxcsr %0" : : "m"(modes.mxcsr) : "memory");
}

#endif

void ReserveStackForHandlers() noexcept {
  ULONG bytes = kHandlerStackBytes;
  // Only ever raises the thread's guarantee; a larger one stays.
  (void)::SetThreadStackGuarantee(&bytes);
}

bool RearmStackGuard() noexcept {
  volatile char here = 0;
  const auto* stack_pointer = const_cast<const char*>(&here);
  MEMORY_BASIC_INFORMATION region{};
  if (::VirtualQuery(stack_pointer, &region, sizeof(region)) == 0) return false;
  const auto bottom = reinterpret_cast<std::uintptr_t>(region.AllocationBase);
  const std::uintptr_t page = PageSize();
  ULONG guarantee = 0;
  (void)::SetThreadStackGuarantee(&guarantee);  // 0 asks without changing it
  const std::uintptr_t reserved = (guarantee + page - 1) / page * page;
  const std::uintptr_t guard =
      (reinterpret_cast<std::uintptr_t>(stack_pointer) & ~(page - 1)) - page;
  // Below the new guard the stack must still hold the handlers' reserve and
  // the page the system never hands out.
  if (guard < bottom + reserved + 2 * page) return false;
  if (::VirtualQuery(reinterpret_cast<void*>(guard), &region, sizeof(region)) == 0) return false;
  if ((region.Protect & PAGE_GUARD) != 0) return true;
  DWORD previous = 0;
  return ::VirtualAlloc(reinterpret_cast<void*>(guard), page, MEM_COMMIT, PAGE_READWRITE) !=
             nullptr &&
         ::VirtualProtect(reinterpret_cast<void*>(guard), page, PAGE_READWRITE | PAGE_GUARD,
                          &previous) != 0;
}

}  // namespace qm::guarded_detail
