#pragma once

// A fresh folder under the temp directory for the running test, removed with
// everything in it when it goes.

#include <windows.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>

namespace qm::testing {

// The whole file, or "" when it cannot be read.
inline std::string ReadFileText(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

class ScratchFolder {
 public:
  ScratchFolder() {
    static std::atomic<unsigned> counter{0};
    path_ = std::filesystem::temp_directory_path() /
            (L"qm_test_" + std::to_wstring(::GetCurrentProcessId()) + L"_" +
             std::to_wstring(++counter));
    std::filesystem::remove_all(path_);
    std::filesystem::create_directories(path_);
  }
  ~ScratchFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;

  [[nodiscard]] const std::filesystem::path& Path() const { return path_; }
  [[nodiscard]] std::wstring File(std::wstring_view name) const { return (path_ / name).wstring(); }
  [[nodiscard]] bool Exists(std::wstring_view name) const {
    return std::filesystem::exists(path_ / name);
  }
  [[nodiscard]] std::string Content(std::wstring_view name) const {
    return ReadFileText(path_ / name);
  }
  // Writes `content` to `name` (folders created) and returns its path.
  std::wstring Write(std::wstring_view name, std::string_view content) const {
    const std::filesystem::path file = path_ / name;
    std::filesystem::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << content;
    return file.wstring();
  }

 private:
  std::filesystem::path path_;
};

}  // namespace qm::testing
