#pragma once

#include <windows.h>

#include <utility>

namespace qm {

// Move-only owner of one OS resource. Traits give the type, the value that
// means "nothing held" and the call that frees a held value.
template <typename Traits>
class UniqueResource {
 public:
  using Value = typename Traits::Value;

  UniqueResource() noexcept = default;
  explicit UniqueResource(Value value) noexcept : value_(value) {}
  ~UniqueResource() { Reset(); }

  UniqueResource(UniqueResource&& other) noexcept : value_(other.Release()) {}
  UniqueResource& operator=(UniqueResource&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }
  UniqueResource(const UniqueResource&) = delete;
  UniqueResource& operator=(const UniqueResource&) = delete;

  [[nodiscard]] Value Get() const noexcept { return value_; }
  [[nodiscard]] bool IsValid() const noexcept { return !Traits::IsEmpty(value_); }
  explicit operator bool() const noexcept { return IsValid(); }

  // Frees the held value (if any) and takes `value`. The caller's last error
  // survives, so a failure code read after a reset is still the failure's.
  void Reset(Value value = Traits::Empty()) noexcept {
    if (!Traits::IsEmpty(value_)) {
      const DWORD last_error = ::GetLastError();
      Traits::Free(value_);
      ::SetLastError(last_error);
    }
    value_ = value;
  }

  [[nodiscard]] Value Release() noexcept { return std::exchange(value_, Traits::Empty()); }

  // Frees the held value and hands out the slot for an API to fill.
  [[nodiscard]] Value* Put() noexcept {
    Reset();
    return &value_;
  }

 private:
  Value value_ = Traits::Empty();
};

namespace resource_traits {

struct Handle {  // kernel objects whose "no handle" is null (mutexes, processes)
  using Value = HANDLE;
  static Value Empty() noexcept { return nullptr; }
  static bool IsEmpty(Value v) noexcept { return v == nullptr || v == INVALID_HANDLE_VALUE; }
  static void Free(Value v) noexcept { ::CloseHandle(v); }
};

struct FileHandle : Handle {  // files and snapshots, whose "no handle" is INVALID_HANDLE_VALUE
  static Value Empty() noexcept { return INVALID_HANDLE_VALUE; }
};

struct RegistryKey {
  using Value = HKEY;
  static Value Empty() noexcept { return nullptr; }
  static bool IsEmpty(Value v) noexcept { return v == nullptr; }
  static void Free(Value v) noexcept { ::RegCloseKey(v); }
};

struct ServiceHandle {
  using Value = SC_HANDLE;
  static Value Empty() noexcept { return nullptr; }
  static bool IsEmpty(Value v) noexcept { return v == nullptr; }
  static void Free(Value v) noexcept { ::CloseServiceHandle(v); }
};

struct Module {
  using Value = HMODULE;
  static Value Empty() noexcept { return nullptr; }
  static bool IsEmpty(Value v) noexcept { return v == nullptr; }
  static void Free(Value v) noexcept { ::FreeLibrary(v); }
};

struct ActivationContext {
  using Value = HANDLE;
  static Value Empty() noexcept { return INVALID_HANDLE_VALUE; }
  static bool IsEmpty(Value v) noexcept { return v == nullptr || v == INVALID_HANDLE_VALUE; }
  static void Free(Value v) noexcept { ::ReleaseActCtx(v); }
};

struct ActivationCookie {  // an activation, ended by deactivating its cookie
  using Value = ULONG_PTR;
  static Value Empty() noexcept { return 0; }
  static bool IsEmpty(Value v) noexcept { return v == 0; }
  static void Free(Value v) noexcept { ::DeactivateActCtx(0, v); }
};

struct LocalMemory {
  using Value = HLOCAL;
  static Value Empty() noexcept { return nullptr; }
  static bool IsEmpty(Value v) noexcept { return v == nullptr; }
  static void Free(Value v) noexcept { ::LocalFree(v); }
};

}  // namespace resource_traits

using UniqueHandle = UniqueResource<resource_traits::Handle>;
using UniqueFile = UniqueResource<resource_traits::FileHandle>;
using UniqueSnapshot = UniqueResource<resource_traits::FileHandle>;
using UniqueKey = UniqueResource<resource_traits::RegistryKey>;
using UniqueServiceHandle = UniqueResource<resource_traits::ServiceHandle>;
using UniqueModule = UniqueResource<resource_traits::Module>;
using UniqueActivationContext = UniqueResource<resource_traits::ActivationContext>;
using UniqueActivationCookie = UniqueResource<resource_traits::ActivationCookie>;
using UniqueLocalMemory = UniqueResource<resource_traits::LocalMemory>;

// Looks up an export of `module` as a typed function pointer; null when absent.
template <typename Function>
[[nodiscard]] Function GetProcAddressAs(HMODULE module, const char* name) noexcept {
  if (module == nullptr) return nullptr;
  return reinterpret_cast<Function>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
}

}  // namespace qm
