#include "support/guarded_call.h"

#include <windows.h>

#include "support/foreign_call_deadline.h"
#include "support/thread_repair.h"

namespace qm::guarded_detail {
namespace {

// Runs `invoke` inside the structured-exception frame of this compiler.
bool RunInFrame(Invoke invoke, void* context, ForeignFault& fault) noexcept;

}  // namespace

bool RunGuarded(const char* operation, Invoke invoke, void* context, ForeignFault& fault) noexcept {
  ReserveStackForHandlers();
  const FloatingPointModes modes = SaveFloatingPointModes();
  const std::uint32_t ticket = ArmDeadline(operation);
  const bool returned = RunInFrame(invoke, context, fault);
  DisarmDeadline(ticket);
  RestoreFloatingPointModes(modes);
  if (!returned && fault.code == EXCEPTION_STACK_OVERFLOW) (void)RearmStackGuard();
  return returned;
}

#if defined(_MSC_VER)

namespace {

int TakeEveryException(unsigned long code, ForeignFault& fault) noexcept {
  fault.code = code;
  return EXCEPTION_EXECUTE_HANDLER;
}

bool RunInFrame(Invoke invoke, void* context, ForeignFault& fault) noexcept {
  __try {
    invoke(context);
    return true;
  } __except (TakeEveryException(GetExceptionCode(), fault)) {
    return false;
  }
}

}  // namespace

#elif defined(__GNUC__) && defined(__i386__)

// GCC has no __try on this target, so the frame is built by hand: a record on
// the thread's exception chain (fs:[0]) whose handler lets the system unwind
// every frame the foreign call left on the chain, then resumes at the guard
// as a second return of __builtin_setjmp. The C++ exceptions of this program
// use DWARF tables, not the chain, so they are not affected.

namespace {

// The record must come first: the system hands the handler its address.
struct GuardFrame {
  EXCEPTION_REGISTRATION_RECORD record;
  void* resume[5];  // what __builtin_setjmp keeps: frame, stack and resume address
  DWORD code;
};

// Handler flags of the unwinding passes, which the guard only lets through.
constexpr DWORD kUnwindingPass = 0x2 | 0x4;

// The thread's information block through its self pointer at fs:[0x18]. The
// memory clobber keeps every use after the calls before it.
NT_TIB* ThreadBlock() noexcept {
  NT_TIB* block;
  __asm__ __volatile__("movl %%fs:0x18, %0" : "=r"(block) : : "memory");
  return block;
}

EXCEPTION_DISPOSITION NTAPI ResumeAtGuard(EXCEPTION_RECORD* exception, void* establisher, CONTEXT*,
                                          void*) {
  if ((exception->ExceptionFlags & kUnwindingPass) != 0) return ExceptionContinueSearch;
  static_cast<GuardFrame*>(establisher)->code = exception->ExceptionCode;
  // Gives the foreign module's own frames their unwinding pass and leaves our
  // record on top of the chain. Older systems do not keep EBX, ESI and EDI
  // across this call, so nothing from before it is used afterwards: the
  // frame is found again at the top of the chain.
  ::RtlUnwind(establisher, nullptr, exception, nullptr);
  auto* frame = reinterpret_cast<GuardFrame*>(ThreadBlock()->ExceptionList);
  __builtin_longjmp(frame->resume, 1);
}

bool RunInFrame(Invoke invoke, void* context, ForeignFault& fault) noexcept {
  GuardFrame frame{};
  frame.record.Handler = &ResumeAtGuard;
  frame.record.Next = ThreadBlock()->ExceptionList;
  if (__builtin_setjmp(frame.resume) != 0) {
    // Back from the handler: the foreign frames are gone, ours is on top.
    __asm__ __volatile__("" ::: "memory");
    ThreadBlock()->ExceptionList = frame.record.Next;
    fault.code = frame.code;
    return false;
  }
  ThreadBlock()->ExceptionList = &frame.record;
  invoke(context);
  ThreadBlock()->ExceptionList = frame.record.Next;
  return true;
}

}  // namespace

#else
#error "GuardedCall needs an x86 GCC build (exception chain at fs:[0]) or an MSVC build (__try)"
#endif

}  // namespace qm::guarded_detail
