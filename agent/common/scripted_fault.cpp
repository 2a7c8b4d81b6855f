#include "common/scripted_fault.h"

#include <windows.h>

namespace qm::sim {
namespace {

// What another compiler's runtime raises for a C++ throw.
constexpr DWORD kForeignCxxException = 0xE06D7363;

int* volatile nowhere = nullptr;  // volatile, so the write is made, not folded into a trap

}  // namespace

bool IsScriptedToFail(const ScriptedFaults& faults, const wchar_t* operation) {
  return faults.raise_from == operation || faults.fault_from == operation;
}

void EndAsScripted(const ScriptedFaults& faults, const wchar_t* operation) {
  if (faults.raise_from == operation) {
    ::RaiseException(kForeignCxxException, EXCEPTION_NONCONTINUABLE, 0, nullptr);
  }
  if (faults.fault_from == operation) *nowhere = 1;
}

}  // namespace qm::sim
