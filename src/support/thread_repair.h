#pragma once

// What a foreign call can leave behind on the thread that made it, and how
// the guard puts it right. A module built by another compiler may change the
// x87 control word (precision, rounding, unmasked exceptions) or MXCSR and
// leave values on the x87 register stack; the program's own arithmetic would
// then run in the module's modes, and with the stack full the next x87 load
// faults (0xC0000092) outside any guard. A stack overflow (0xC00000FD) uses
// up the stack's guard page: without a new one the next overflow finds no
// guard and the system ends the process.

#include <cstdint>

namespace qm::guarded_detail {

struct FloatingPointModes {
  std::uint16_t x87_control = 0;
  std::uint32_t mxcsr = 0;
};

// The calling thread's x87 control word and MXCSR.
[[nodiscard]] FloatingPointModes SaveFloatingPointModes() noexcept;
// Empties the x87 register stack, clears its pending exceptions and puts
// both control registers back as `modes` holds them.
void RestoreFloatingPointModes(const FloatingPointModes& modes) noexcept;

// Makes sure the thread keeps this much stack for exception handlers when it
// overflows: enough for the guard's own handler and the system's unwinding.
void ReserveStackForHandlers() noexcept;
// Puts a guard page back just below the current stack page after a stack
// overflow was taken, so that a second overflow is raised like the first.
// False when the stack has no room left for one.
bool RearmStackGuard() noexcept;

}  // namespace qm::guarded_detail
