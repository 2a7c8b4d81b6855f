#pragma once

#include <windows.h>

#include <string>

#include "support/unique_resource.h"

namespace qm {

// A side-by-side activation context made from a manifest resource of a
// module, whose dependent assemblies lie in a given folder.
class CActivationContext {
 public:
  // Without a folder, the folder of the module's own file is used.
  CActivationContext(HMODULE module, const wchar_t* folder, WORD resource_id);

  CActivationContext(const CActivationContext&) = delete;
  CActivationContext& operator=(const CActivationContext&) = delete;

  // INVALID_HANDLE_VALUE when creation failed.
  [[nodiscard]] HANDLE Handle() const noexcept { return handle_.Get(); }
  [[nodiscard]] const std::wstring& Folder() const noexcept { return folder_; }
  // The system's error of a failed creation, else 0.
  [[nodiscard]] DWORD LastError() const noexcept { return last_error_; }

 private:
  ACTCTXW request_{};
  UniqueActivationContext handle_;
  std::wstring folder_;
  DWORD last_error_ = 0;
};

// The folder of a module file name read into a buffer of `capacity`
// characters: empty when the name filled the whole buffer (it may be cut).
[[nodiscard]] std::wstring FolderOfModuleName(const std::wstring& name, DWORD capacity);

// Keeps an activation context active on this thread for its lifetime. A
// context that was never created activates nothing.
class CActivationScope {
 public:
  explicit CActivationScope(const CActivationContext& context);

  CActivationScope(const CActivationScope&) = delete;
  CActivationScope& operator=(const CActivationScope&) = delete;

  [[nodiscard]] bool IsActive() const noexcept { return cookie_.IsValid(); }

 private:
  const CActivationContext& context_;
  UniqueActivationCookie cookie_;
};

// The agent SDK's activation context, made on the first call of the process
// from this program's manifest 101 and the agent's install folder; later
// calls return the first result, also when it was none.
[[nodiscard]] const CActivationContext* GetSdkActivationContext();

}  // namespace qm
