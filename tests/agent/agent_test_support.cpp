#include "agent_test_support.h"

#include <atomic>
#include <stdexcept>

#include "common/sim_files.h"

namespace qm::sim::testing {

ScratchFolder::ScratchFolder() {
  static std::atomic<unsigned> counter{0};
  wchar_t temp[MAX_PATH] = {};
  ::GetTempPathW(MAX_PATH, temp);
  path_ = JoinPath(temp, L"qm_agent_test_" + std::to_wstring(::GetCurrentProcessId()) + L"_" +
                             std::to_wstring(++counter));
  (void)DeleteFolderTree(path_);
  if (!EnsureFolder(path_)) throw std::runtime_error("cannot create a scratch folder");
}

ScratchFolder::~ScratchFolder() { (void)DeleteFolderTree(path_); }

std::wstring ScratchFolder::File(std::wstring_view name) const { return JoinPath(path_, name); }

std::wstring ScratchFolder::Write(std::wstring_view name, std::string_view content) const {
  const std::wstring path = File(name);
  if (!EnsureFolder(path.substr(0, path.find_last_of(L'\\'))) || !WriteWholeFile(path, content)) {
    throw std::runtime_error("cannot write a scratch file");
  }
  return path;
}

std::string ReadFileText(const std::wstring& path) {
  std::string text;
  return ReadWholeFile(path, text) ? text : std::string();
}

}  // namespace qm::sim::testing
