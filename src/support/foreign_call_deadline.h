#pragma once

// A deadline on every call into a module built apart from the program. Such a
// module may never return (a transfer that waits on a peer that never
// answers); the run's thread cannot take itself out of the call, so a
// watchdog thread of ours measures each guarded call and, when one passes the
// deadline, hands the case to the program's stuck-call course while the
// caller stays inside the module.

#include <cstdint>

namespace qm {

// What the program does with a call that passed its deadline: `operation` is
// the name the caller gave the call, `waited_ms` how long it has been inside.
// The program's course ends the process and never returns; one that returns
// lets the stuck call go on and its caller carry on when it comes back.
using StuckCallCourse = void (*)(const char* operation, std::uint32_t waited_ms) noexcept;

// Starts watching guarded calls: from now on a call that stays longer than
// `deadline_ms` in a foreign module goes to `course`. Called again, it only
// changes the deadline and the course; a null course stops the watch. False
// when the watchdog thread could not be started (calls then run unwatched).
[[nodiscard]] bool WatchForeignCalls(std::uint32_t deadline_ms, StuckCallCourse course) noexcept;

namespace guarded_detail {

// Marks the start of one guarded call; 0 when the call is not watched (no
// watch, or another call is already under it).
[[nodiscard]] std::uint32_t ArmDeadline(const char* operation) noexcept;
// Marks its end. When the deadline fired first, this waits for the stuck-call
// course, which in the program never comes back.
void DisarmDeadline(std::uint32_t ticket) noexcept;

}  // namespace guarded_detail
}  // namespace qm
