#include "support/environment.h"

#include <windows.h>

namespace qm {

bool ReadEnvironmentVariable(const wchar_t* name, wchar_t* buffer, std::size_t capacity) {
  if (buffer == nullptr || capacity == 0 || capacity > MAXDWORD) return false;
  buffer[0] = L'\0';
  const DWORD length = ::GetEnvironmentVariableW(name, buffer, static_cast<DWORD>(capacity));
  if (length == 0 || length >= capacity) {
    buffer[0] = L'\0';  // a value too long for the buffer is refused, not cut
    return false;
  }
  return true;
}

}  // namespace qm
