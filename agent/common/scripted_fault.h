#pragma once

// How a stand-in ends a call that its scenario scripts to fail: the way a
// library built by another compiler ends one, with a structured exception
// that the caller's C++ handlers never see.

#include "common/scenario.h"

namespace qm::sim {

// True when `faults` scripts `operation` to end with a structured exception.
[[nodiscard]] bool IsScriptedToFail(const ScriptedFaults& faults, const wchar_t* operation);

// Ends the current call as `faults` scripts it for `operation`: raises
// 0xE06D7363 or writes through a null pointer. Returns when nothing is
// scripted for `operation`.
void EndAsScripted(const ScriptedFaults& faults, const wchar_t* operation);

}  // namespace qm::sim
