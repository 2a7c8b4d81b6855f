#pragma once

// Two ways a library built by another compiler can leave its caller in
// trouble, shared by the stand-ins and the guard's own test library.

namespace qm::sim {
namespace misbehaviour_detail {

inline volatile bool deeper = true;  // keeps the compiler from seeing an endless recursion

// Each frame is handed to the next call, so none can be folded into a loop.
[[gnu::noinline]] inline int Descend(volatile char* above) {
  volatile char frame[1024];
  frame[0] = above[0];
  return deeper ? Descend(frame) + frame[1] : 0;
}

}  // namespace misbehaviour_detail

// Single precision, rounding up, invalid operations unmasked; MXCSR rounding
// toward zero and flushing to zero; then all eight x87 registers taken, so
// the caller's next x87 load overflows the register stack.
inline void LeaveFloatingPointModes() {
  const unsigned short control = 0x087E;
  const unsigned int mxcsr = 0xFF80;
  __asm__ __volatile__(
      "fldcw %0\n\tldmxcsr %1\n\t"
      "fld1\n\tfld1\n\tfld1\n\tfld1\n\tfld1\n\tfld1\n\tfld1\n\tfld1"
      :
      : "m"(control), "m"(mxcsr));
}

// Recurses until the stack overflows (0xC00000FD); never returns.
inline int OverflowStack() {
  volatile char start[1] = {0};
  return misbehaviour_detail::Descend(start);
}

}  // namespace qm::sim
