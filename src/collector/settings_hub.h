#pragma once

// Calling surface of the agent's settings library ("Util_SettingsHub.dll").
// The library is outside the program; its one export `GetUtil` hands out the
// settings object, which belongs to the library and is never released.

#include <windows.h>

#include <cstdint>

#include "support/library_loader.h"

namespace qm {

class SettingsUtility {
 public:
  // Copies the text of setting `key` into `buffer`, terminated. On entry
  // *size is the buffer's capacity in characters; on success it becomes the
  // text's length. Returns 0 on success, a Win32 error code otherwise
  // (ERROR_FILE_NOT_FOUND for an unknown key, ERROR_MORE_DATA when the text
  // and its terminator do not fit; the buffer is then left untouched).
  virtual std::int32_t ReadSetting(const wchar_t* key, wchar_t* buffer, std::uint32_t* size,
                                   std::int32_t reserved) = 0;

 protected:
  ~SettingsUtility() = default;
};

// The library's export "GetUtil".
using SettingsGetUtilFunction = SettingsUtility* (*)();

inline constexpr char kSettingsGetUtilExport[] = "GetUtil";
inline constexpr wchar_t kSettingsLibraryName[] = L"Util_SettingsHub.dll";

// How the collection reaches the library's code.
using SettingsLibraryLoader = LibraryLoader<SettingsGetUtilFunction>;

}  // namespace qm
