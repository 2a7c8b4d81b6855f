#pragma once

// The current time as the collection reads it: UTC, as an OLE date. The
// program reads the system clock; tests fix the time.

#include <windows.h>
// After windows.h, which it needs.
#include <oleauto.h>

#include <functional>

namespace qm {

using Clock = std::function<DATE()>;

// The system clock's UTC time as an OLE date.
[[nodiscard]] DATE SystemUtcNow() noexcept;

}  // namespace qm
