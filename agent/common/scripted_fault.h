#pragma once

// How a stand-in misbehaves in a call that its scenario scripts: the way a
// library built by another compiler ends one, with a structured exception
// that the caller's C++ handlers never see, or stays inside it, faults on a
// thread of its own, overflows its stack or leaves its floating-point modes.

#include "common/scenario.h"

namespace qm::sim {

// What ends `operation` as `faults` scripts it, for the stand-in's call log:
// "0xE06D7363", "accessViolation", "stackOverflow", "threadFault"; null when
// the call is scripted to return.
[[nodiscard]] const char* ScriptedEnding(const ScriptedFaults& faults, const wchar_t* operation);

// Behaves as `faults` scripts it for `operation`, in this order: leaves the
// floating-point modes changed, stays inside for the scripted time, faults on
// a thread of its own (and waits for it), overflows the stack, raises
// 0xE06D7363 or writes through a null pointer. Returns when nothing that ends
// the call is scripted for `operation`.
void ActAsScripted(const ScriptedFaults& faults, const wchar_t* operation);

}  // namespace qm::sim
