#pragma once

// A fresh folder under the temp directory for the running test, removed
// afterwards, with the marker-file questions the run tests ask of it.

#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace qm::testing {

class ScratchFolder {
 public:
  ScratchFolder()
      : path_(std::filesystem::temp_directory_path() /
              ("qm_" +
               std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) + "_" +
               std::to_string(::GetCurrentProcessId()))) {
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
  [[nodiscard]] bool Exists(const wchar_t* name) const {
    return std::filesystem::exists(path_ / name);
  }
  [[nodiscard]] std::string Content(const wchar_t* name) const {
    std::ifstream file(path_ / name, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
  }
  void Write(const wchar_t* name, const char* content) const {
    std::ofstream(path_ / name) << content;
  }

 private:
  std::filesystem::path path_;
};

}  // namespace qm::testing
