#pragma once

// Scratch folders and files for the simulated agent's tests.

#include <windows.h>

#include <string>
#include <string_view>

namespace qm::sim::testing {

// A fresh folder under the temp directory, deleted with everything in it.
class ScratchFolder {
 public:
  ScratchFolder();
  ~ScratchFolder();
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;

  [[nodiscard]] const std::wstring& Path() const { return path_; }
  [[nodiscard]] std::wstring File(std::wstring_view name) const;
  // Writes `content` to `name` (folders created) and returns its path.
  std::wstring Write(std::wstring_view name, std::string_view content) const;

 private:
  std::wstring path_;
};

[[nodiscard]] std::string ReadFileText(const std::wstring& path);

}  // namespace qm::sim::testing
