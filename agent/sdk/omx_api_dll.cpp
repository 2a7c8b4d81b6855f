// OmxApi.dll: the SDK stand-in as an in-process COM server, reached through
// the "OmxApi" side-by-side assembly. Each root it makes reads the scenario and
// the value store afresh, as the real SDK sees the agent's current state.

#include <objbase.h>
#include <windows.h>

#include <atomic>
#include <string>

#include "sdk/omx_sdk.h"
#include "sdk/sdk_objects.h"
#include "sdk/sdk_state.h"

namespace {

HMODULE g_module = nullptr;
std::atomic<long> g_server_locks{0};

std::wstring ModuleFolder() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length =
        ::GetModuleFileNameW(g_module, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0) return {};
    if (length < path.size()) {
      path.resize(length);
      break;
    }
    path.resize(path.size() * 2);
  }
  const size_t separator = path.find_last_of(L"\\/");
  return separator == std::wstring::npos ? std::wstring() : path.substr(0, separator);
}

// Lives as long as the module: its reference count is not what keeps it.
class RootClassFactory final : public IClassFactory {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, IID_IClassFactory)) return E_NOINTERFACE;
    *out = static_cast<IClassFactory*>(this);
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }

  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    const std::wstring folder = ModuleFolder();
    try {
      return qm::sim::CreateSimulatedRoot(qm::sim::LoadInstalledSdkState(folder), iid, out);
    } catch (const qm::sim::ScenarioError& error) {
      qm::sim::RecordLoadFailure(folder, error.what());
      return E_FAIL;
    } catch (...) {
      return E_FAIL;
    }
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
    if (lock) {
      ++g_server_locks;
    } else {
      --g_server_locks;
    }
    return S_OK;
  }
};

RootClassFactory g_factory;

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    g_module = instance;
    ::DisableThreadLibraryCalls(instance);
  }
  return TRUE;
}

extern "C" __declspec(dllexport) HRESULT STDAPICALLTYPE
    DllGetClassObject(REFCLSID clsid, REFIID iid, void** out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  if (!IsEqualCLSID(clsid, qm::omx::kRootClassId)) return CLASS_E_CLASSNOTAVAILABLE;
  return g_factory.QueryInterface(iid, out);
}

extern "C" __declspec(dllexport) HRESULT STDAPICALLTYPE DllCanUnloadNow() {
  return qm::sim::LiveSdkObjects() == 0 && g_server_locks == 0 ? S_OK : S_FALSE;
}
