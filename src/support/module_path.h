#pragma once

// The file a loaded module was loaded from.

#include <windows.h>

#include <string>

namespace qm {

// The full path of `module` (null: this program), read into a buffer of
// `capacity` characters. False when the system gives no name or one that
// fills the buffer, which may have been cut short; the system's error is then
// the caller's to read, and `path` is untouched.
[[nodiscard]] bool ReadModulePath(HMODULE module, DWORD capacity, std::wstring& path);

}  // namespace qm
