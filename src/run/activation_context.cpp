#include "run/activation_context.h"

#include <memory>
#include <new>

#include "resources/resource_ids.h"
#include "support/module_path.h"
#include "support/registry.h"
#include "support/setup_keys.h"

namespace qm {
namespace {

constexpr DWORD kModuleNameCapacity = 4096;
constexpr DWORD kRequestFlags = ACTCTX_FLAG_ASSEMBLY_DIRECTORY_VALID |
                                ACTCTX_FLAG_RESOURCE_NAME_VALID | ACTCTX_FLAG_HMODULE_VALID;
constexpr std::size_t kInstallPathCapacity = 260;

static_assert(kRequestFlags == 0x8C);

std::wstring FolderOfModule(HMODULE module) {
  std::wstring name;
  if (!ReadModulePath(module, kModuleNameCapacity, name)) return {};
  return FolderOfModuleName(name, kModuleNameCapacity);
}

// Where the agent is installed; its SDK assemblies lie there.
bool ReadInstallFolder(std::wstring& folder) {
  UniqueKey key;
  if (OpenSetupKey(KEY_READ, key) != ERROR_SUCCESS) return false;
  return registry::ReadText(key.Get(), L"Path", kInstallPathCapacity,
                            registry::TextTypes::StringsOnly, folder) == ERROR_SUCCESS;
}

std::unique_ptr<CActivationContext> CreateSdkActivationContext() {
  std::wstring folder;
  if (!ReadInstallFolder(folder)) return nullptr;
  return std::unique_ptr<CActivationContext>(new (std::nothrow) CActivationContext(
      ::GetModuleHandleW(nullptr), folder.c_str(), QM_MANIFEST_SDK));
}

}  // namespace

std::wstring FolderOfModuleName(const std::wstring& name, DWORD capacity) {
  if (name.size() >= capacity) return {};
  const std::size_t separator = name.find_last_of(L"\\/");
  if (separator == std::wstring::npos) return {};
  return name.substr(0, separator);
}

CActivationContext::CActivationContext(HMODULE module, const wchar_t* folder, WORD resource_id)
    : folder_(folder != nullptr ? std::wstring(folder) : FolderOfModule(module)) {
  request_.cbSize = sizeof(request_);
  request_.dwFlags = kRequestFlags;
  request_.lpSource = nullptr;
  request_.lpAssemblyDirectory = folder_.c_str();
  request_.lpResourceName = MAKEINTRESOURCEW(resource_id);
  request_.hModule = module;
  handle_.Reset(::CreateActCtxW(&request_));
  if (!handle_) last_error_ = ::GetLastError();
}

CActivationScope::CActivationScope(const CActivationContext& context) : context_(context) {
  if (!context_.Handle() || context_.Handle() == INVALID_HANDLE_VALUE) return;
  ULONG_PTR cookie = 0;
  if (::ActivateActCtx(context_.Handle(), &cookie)) cookie_.Reset(cookie);
}

const CActivationContext* GetSdkActivationContext() {
  // Made once, failure included, and kept until the process ends.
  static const std::unique_ptr<CActivationContext> context = CreateSdkActivationContext();
  return context.get();
}

}  // namespace qm
