#include "common/scripted_fault.h"

#include <windows.h>

#include <algorithm>

#include "common/misbehaviour.h"
#include "support/unique_resource.h"

namespace qm::sim {
namespace {

// What another compiler's runtime raises for a C++ throw.
constexpr DWORD kForeignCxxException = 0xE06D7363;

int* volatile nowhere = nullptr;  // volatile, so the write is made, not folded into a trap

bool Overflows(const ScriptedFaults& faults, const wchar_t* operation) {
  return std::find(faults.overflow_from.begin(), faults.overflow_from.end(), operation) !=
         faults.overflow_from.end();
}

DWORD WINAPI FaultOnThisThread(void*) {
  *nowhere = 1;
  return 0;
}

void FaultOnThreadOfOurOwn() {
  const UniqueHandle thread(::CreateThread(nullptr, 0, &FaultOnThisThread, nullptr, 0, nullptr));
  if (thread) (void)::WaitForSingleObject(thread.Get(), INFINITE);
}

}  // namespace

const char* ScriptedEnding(const ScriptedFaults& faults, const wchar_t* operation) {
  if (faults.thread_fault_from == operation) return "threadFault";
  if (Overflows(faults, operation)) return "stackOverflow";
  if (faults.raise_from == operation) return "0xE06D7363";
  if (faults.fault_from == operation) return "accessViolation";
  return nullptr;
}

void ActAsScripted(const ScriptedFaults& faults, const wchar_t* operation) {
  if (faults.fp_modes_from == operation) LeaveFloatingPointModes();
  if (faults.hang_in == operation) ::Sleep(faults.hang_ms);
  if (faults.thread_fault_from == operation) FaultOnThreadOfOurOwn();
  if (Overflows(faults, operation)) (void)OverflowStack();
  if (faults.raise_from == operation) {
    ::RaiseException(kForeignCxxException, EXCEPTION_NONCONTINUABLE, 0, nullptr);
  }
  if (faults.fault_from == operation) *nowhere = 1;
}

}  // namespace qm::sim
