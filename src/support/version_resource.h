#pragma once

// A file's version resource, read whole, and the two readings the program
// makes of it: the fixed file version and a text of the first translation.

#include <windows.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qm {

class VersionResource {
 public:
  enum class Load { Loaded, NoResource, Unreadable };

  // NoResource when the file carries none (or cannot be opened); Unreadable
  // when it has one that could not be read, with the system's error left for
  // the caller.
  [[nodiscard]] Load LoadFrom(const wchar_t* path);

  // VerQueryValueW on the loaded block; false (system's error left for the
  // caller) when the block has no such entry.
  [[nodiscard]] bool Query(const wchar_t* sub_block, const void*& data, UINT& length) const;

  // "\StringFileInfo\<language><code page>\<name>" of the first translation;
  // false when there is none, the text is missing or it is empty.
  [[nodiscard]] bool ReadText(std::wstring_view name, std::wstring& text) const;

 private:
  std::vector<std::uint8_t> block_;
};

}  // namespace qm
