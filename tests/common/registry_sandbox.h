#pragma once

// Gives a test its own HKEY_LOCAL_MACHINE: a fresh scratch key under
// HKEY_CURRENT_USER stands in for the hive until the sandbox ends, so tests
// write the exact paths the program reads and never touch the real machine.

#include <windows.h>

#include <atomic>
#include <string>

#include "support/unique_resource.h"

namespace qm::testing {

class RegistrySandbox {
 public:
  RegistrySandbox() {
    static std::atomic<unsigned> counter{0};
    path_ = L"Software\\QuillmarkTests\\" + std::to_wstring(::GetCurrentProcessId()) + L"_" +
            std::to_wstring(counter++);
    // Volatile keys refuse non-volatile subkeys, so the scratch key is a normal one.
    ::RegCreateKeyExW(HKEY_CURRENT_USER, path_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                      scratch_.Put(), nullptr);
    ::RegOverridePredefKey(HKEY_LOCAL_MACHINE, scratch_.Get());
  }
  ~RegistrySandbox() {
    ::RegOverridePredefKey(HKEY_LOCAL_MACHINE, nullptr);
    scratch_.Reset();
    ::RegDeleteTreeW(HKEY_CURRENT_USER, path_.c_str());
  }
  RegistrySandbox(const RegistrySandbox&) = delete;
  RegistrySandbox& operator=(const RegistrySandbox&) = delete;

  // Writes a value under HKEY_LOCAL_MACHINE\<key>, creating the key.
  void Set(const std::wstring& key, const wchar_t* name, DWORD type, const void* data, DWORD bytes,
           REGSAM view = 0) const {
    UniqueKey handle;
    ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | view,
                      nullptr, handle.Put(), nullptr);
    ::RegSetValueExW(handle.Get(), name, 0, type, static_cast<const BYTE*>(data), bytes);
  }
  void SetText(const std::wstring& key, const wchar_t* name, const std::wstring& text,
               REGSAM view = 0) const {
    Set(key, name, REG_SZ, text.c_str(), static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)),
        view);
  }
  void SetDword(const std::wstring& key, const wchar_t* name, DWORD value, REGSAM view = 0) const {
    Set(key, name, REG_DWORD, &value, sizeof(value), view);
  }

 private:
  std::wstring path_;
  UniqueKey scratch_;
};

}  // namespace qm::testing
