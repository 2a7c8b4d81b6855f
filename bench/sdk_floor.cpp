// The floor of talking to the SDK at all: the system DLLs quillmark.exe
// imports, COM opened on a multithreaded apartment, and one in-process object
// created through an activation context made, as the program makes it, from
// the SDK manifest resource with the assemblies looked for in this program's
// own folder. Place it beside the SDK's manifests (the agent folder).
//
// Exit code 0 when the object was created; otherwise the failing HRESULT's
// low byte, or 2 when the context could not be formed.

#include <windows.h>
#include <objbase.h>
#include <oleauto.h>

#include "sdk/omx_sdk.h"
#include "resources/resource_ids.h"
#include "support/com.h"
#include "support/unique_resource.h"

namespace {

// One call into each system DLL that quillmark.exe imports, so that the
// loader maps the same set; none of them does any work here.
void TouchImports() {
  volatile bool never = false;
  if (!never) return;
  (void)::SysStringLen(nullptr);                  // oleaut32
  (void)::IsValidSid(nullptr);                    // advapi32
  (void)::GetFileVersionInfoSizeW(L"", nullptr);  // version
}

}  // namespace

int wmain() {
  TouchImports();
  wchar_t module_name[MAX_PATH] = {};
  const DWORD length = ::GetModuleFileNameW(nullptr, module_name, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return 2;
  for (DWORD i = length; i > 0; --i) {
    if (module_name[i - 1] == L'\\') {
      module_name[i - 1] = L'\0';
      break;
    }
  }

  ACTCTXW request = {};
  request.cbSize = sizeof(request);
  request.dwFlags = ACTCTX_FLAG_ASSEMBLY_DIRECTORY_VALID | ACTCTX_FLAG_RESOURCE_NAME_VALID |
                    ACTCTX_FLAG_HMODULE_VALID;
  request.lpAssemblyDirectory = module_name;
  request.lpResourceName = MAKEINTRESOURCEW(QM_MANIFEST_SDK);
  request.hModule = ::GetModuleHandleW(nullptr);
  const qm::UniqueActivationContext context(::CreateActCtxW(&request));
  if (!context) return 2;
  ULONG_PTR cookie = 0;
  if (!::ActivateActCtx(context.Get(), &cookie)) return 2;
  const qm::UniqueActivationCookie activation(cookie);

  HRESULT result = ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  if (SUCCEEDED(result)) {
    {
      qm::ComPtr<IUnknown> root;
      result = ::CoCreateInstance(qm::omx::kRootClassId, nullptr, CLSCTX_INPROC_SERVER,
                                  IID_IUnknown, root.PutVoid());
    }
    ::CoUninitialize();
  }
  return SUCCEEDED(result) ? 0 : static_cast<int>(result & 0xFF);
}
