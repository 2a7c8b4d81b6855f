// A module built apart from the tests, standing for a foreign library: each
// export ends the way such a library can end a call into it.

#include <windows.h>

#include <atomic>

namespace {

NT_TIB* ThreadBlock() {
#if defined(_MSC_VER)
  return reinterpret_cast<NT_TIB*>(::NtCurrentTeb());
#else
  NT_TIB* block;  // GCC 12 warns on NtCurrentTeb's fs read; the self pointer is at fs:[0x18]
  __asm__ __volatile__("movl %%fs:0x18, %0" : "=r"(block) : : "memory");
  return block;
#endif
}

volatile int* volatile nowhere = nullptr;
volatile LONG* unwound_flag = nullptr;

// A frame of the module's own on the exception chain, as a library built by
// another compiler keeps for its cleanups: the guard must give it its
// unwinding pass.
EXCEPTION_DISPOSITION NTAPI NoteUnwinding(EXCEPTION_RECORD* exception, void*, CONTEXT*, void*) {
  if ((exception->ExceptionFlags & 0x6) != 0 && unwound_flag != nullptr) *unwound_flag = 1;
  return ExceptionContinueSearch;
}

}  // namespace

extern "C" __declspec(dllexport) int ReturnSeven() { return 7; }

extern "C" __declspec(dllexport) int RaiseCxxException() {
  ::RaiseException(0xE06D7363, EXCEPTION_NONCONTINUABLE, 0, nullptr);
  return 0;
}

extern "C" __declspec(dllexport) int FaultWithAccessViolation() {
  *nowhere = 1;
  return 0;
}

extern "C" __declspec(dllexport) int FaultInsideOwnFrame(volatile LONG* unwound) {
  unwound_flag = unwound;
  EXCEPTION_REGISTRATION_RECORD record{};
  auto* tib = ThreadBlock();
  record.Next = tib->ExceptionList;
  record.Handler = &NoteUnwinding;
  tib->ExceptionList = &record;
  std::atomic_signal_fence(std::memory_order_seq_cst);  // the record is on the chain before the fault
  *nowhere = 1;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  tib->ExceptionList = record.Next;
  return 0;
}
