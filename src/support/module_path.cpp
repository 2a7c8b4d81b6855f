#include "support/module_path.h"

#include <vector>

namespace qm {

bool ReadModulePath(HMODULE module, DWORD capacity, std::wstring& path) {
  std::vector<wchar_t> buffer(capacity, L'\0');
  const DWORD length = ::GetModuleFileNameW(module, buffer.data(), capacity);
  if (length == 0 || length >= capacity) return false;
  path.assign(buffer.data(), length);
  return true;
}

}  // namespace qm
