#pragma once

// Environment reads bounded by the caller's buffer.

#include <cstddef>

namespace qm {

// Reads an environment variable into a buffer of `capacity` characters, the
// terminator included. False when it is unset, empty or does not fit.
[[nodiscard]] bool ReadEnvironmentVariable(const wchar_t* name, wchar_t* buffer,
                                           std::size_t capacity);

}  // namespace qm
