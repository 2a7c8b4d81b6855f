// A module built apart from the tests, standing for a foreign library that
// ends a call the ways such a library can.

#include <windows.h>

#include <atomic>

#include "common/misbehaviour.h"

namespace {

NT_TIB* ThreadBlock() {
  NT_TIB* block;  // GCC 12 warns on NtCurrentTeb's fs read; the self pointer is at fs:[0x18]
  __asm__ __volatile__("movl %%fs:0x18, %0" : "=r"(block) : : "memory");
  return block;
}

volatile int* volatile nowhere = nullptr;
volatile LONG* g_unwound = nullptr;

EXCEPTION_DISPOSITION NTAPI NoteUnwinding(EXCEPTION_RECORD* exception, void*, CONTEXT*, void*) {
  if ((exception->ExceptionFlags & 0x6) != 0) *g_unwound = 1;
  return ExceptionContinueSearch;
}

}  // namespace

// 0 returns 7; 1 raises another runtime's C++ exception; 2 faults; 3 faults
// under a frame of its own, as a library keeps for its cleanups, whose
// unwinding pass sets *unwound.
extern "C" __declspec(dllexport) int EndAs(int how, volatile LONG* unwound) {
  if (how == 1) ::RaiseException(0xE06D7363, EXCEPTION_NONCONTINUABLE, 0, nullptr);
  EXCEPTION_REGISTRATION_RECORD record{ThreadBlock()->ExceptionList, &NoteUnwinding};
  g_unwound = unwound;
  if (how == 3) ThreadBlock()->ExceptionList = &record;
  std::atomic_signal_fence(
      std::memory_order_seq_cst);  // the record is on the chain before the fault
  if (how >= 2) *nowhere = 1;
  return 7;
}

// Leaves the floating-point modes of common/misbehaviour.h; then faults when
// `fault` is set, else returns 7.
extern "C" __declspec(dllexport) int LeaveModes(int fault) {
  qm::sim::LeaveFloatingPointModes();
  if (fault != 0) *nowhere = 1;
  return 7;
}

// Overflows the stack.
extern "C" __declspec(dllexport) int Overflow() { return qm::sim::OverflowStack(); }

// Stays `ms` milliseconds, then returns 7.
extern "C" __declspec(dllexport) int HangFor(DWORD ms) {
  ::Sleep(ms);
  return 7;
}
