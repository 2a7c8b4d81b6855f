#pragma once

// Automation wrappers: COM errors as exceptions, counted references, BSTR and
// VARIANT owners with the readings the collection steps use.

#include <windows.h>
// After windows.h, which they need.
#include <oleauto.h>
#include <unknwn.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

namespace qm {

// A failed COM operation, carrying its HRESULT.
class ComError : public std::runtime_error {
 public:
  explicit ComError(HRESULT hr);
  [[nodiscard]] HRESULT Code() const noexcept { return hr_; }

 private:
  HRESULT hr_;
};

// Throws ComError when `hr` is a failure code.
void ThrowIfFailed(HRESULT hr);

// A counted reference to a COM object. Calling through an empty reference
// throws ComError(E_POINTER) instead of crashing.
template <typename T>
class ComPtr {
 public:
  ComPtr() noexcept = default;
  ComPtr(std::nullptr_t) noexcept {}
  // Takes a new reference of its own to `object`.
  explicit ComPtr(T* object) noexcept : object_(object) { AddRef(); }
  ~ComPtr() { Reset(); }

  ComPtr(const ComPtr& other) noexcept : object_(other.object_) { AddRef(); }
  ComPtr(ComPtr&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  ComPtr& operator=(const ComPtr& other) noexcept {
    ComPtr(other).Swap(*this);
    return *this;
  }
  ComPtr& operator=(ComPtr&& other) noexcept {
    ComPtr(std::move(other)).Swap(*this);
    return *this;
  }

  // Adopts a reference the caller already owns (no AddRef).
  [[nodiscard]] static ComPtr Attach(T* object) noexcept {
    ComPtr result;
    result.object_ = object;
    return result;
  }

  void Reset() noexcept {
    if (T* object = std::exchange(object_, nullptr)) object->Release();
  }

  [[nodiscard]] T* Get() const noexcept { return object_; }
  [[nodiscard]] T* operator->() const {
    if (object_ == nullptr) throw ComError(E_POINTER);
    return object_;
  }
  explicit operator bool() const noexcept { return object_ != nullptr; }

  // Releases the held reference and hands out the slot for an out parameter.
  [[nodiscard]] T** Put() noexcept {
    Reset();
    return &object_;
  }
  [[nodiscard]] void** PutVoid() noexcept { return reinterpret_cast<void**>(Put()); }

  // Queries the held object for interface U; E_POINTER when empty.
  template <typename U>
  [[nodiscard]] HRESULT As(ComPtr<U>& out) const noexcept {
    if (object_ == nullptr) return E_POINTER;
    return object_->QueryInterface(__uuidof(U), out.PutVoid());
  }

  void Swap(ComPtr& other) noexcept { std::swap(object_, other.object_); }

 private:
  void AddRef() const noexcept {
    if (object_ != nullptr) object_->AddRef();
  }

  T* object_ = nullptr;
};

// The thread's place in the multithreaded COM apartment, left again when the
// owner is reset or destroyed. Entered and left on the same thread.
class ComApartment {
 public:
  ComApartment() noexcept = default;
  ~ComApartment() { Leave(); }
  ComApartment(const ComApartment&) = delete;
  ComApartment& operator=(const ComApartment&) = delete;

  // CoInitializeEx for the multithreaded apartment. S_FALSE (the thread was
  // already there) counts as entered and is balanced like S_OK; a failure
  // enters nothing. Returns the call's result.
  [[nodiscard]] HRESULT EnterMultithreaded() noexcept;
  // Leaves the apartment when this owner entered it; otherwise nothing.
  void Leave() noexcept;

 private:
  bool entered_ = false;
};

// Owner of one BSTR.
class Bstr {
 public:
  Bstr() noexcept = default;
  explicit Bstr(std::wstring_view text);
  ~Bstr() { Reset(); }
  Bstr(Bstr&& other) noexcept : text_(std::exchange(other.text_, nullptr)) {}
  Bstr& operator=(Bstr&& other) = delete;
  Bstr(const Bstr&) = delete;
  Bstr& operator=(const Bstr&) = delete;

  void Reset() noexcept;
  [[nodiscard]] BSTR Get() const noexcept { return text_; }
  [[nodiscard]] BSTR Release() noexcept { return std::exchange(text_, nullptr); }

 private:
  BSTR text_ = nullptr;
};

// Owner of one VARIANT.
class Variant {
 public:
  Variant() noexcept { MakeEmpty(value_); }
  ~Variant() { Clear(); }
  Variant(const Variant&) = delete;
  Variant& operator=(const Variant&) = delete;
  Variant(Variant&& other) noexcept;
  Variant& operator=(Variant&& other) noexcept;

  // Typed constructors for the values the program writes.
  [[nodiscard]] static Variant Int32(std::int32_t value) noexcept;    // VT_I4
  [[nodiscard]] static Variant UInt32(std::uint32_t value) noexcept;  // VT_UI4
  [[nodiscard]] static Variant UInt(std::uint32_t value) noexcept;    // VT_UINT
  [[nodiscard]] static Variant Bool(bool value) noexcept;             // VT_BOOL
  [[nodiscard]] static Variant Date(DATE value) noexcept;             // VT_DATE
  [[nodiscard]] static Variant Text(std::wstring_view value);         // VT_BSTR
  [[nodiscard]] static Variant Dispatch(IDispatch* object) noexcept;  // VT_DISPATCH, AddRef'd

  void Clear() noexcept;
  [[nodiscard]] VARTYPE Type() const noexcept { return V_VT(&value_); }
  [[nodiscard]] const VARIANT& Get() const noexcept { return value_; }
  [[nodiscard]] VARIANT* Mutable() noexcept { return &value_; }
  // Clears the value and hands out the slot for an out parameter.
  [[nodiscard]] VARIANT* Put() noexcept;

  // The 32-bit payload exactly as it lies in the variant, whatever its type.
  [[nodiscard]] std::uint32_t Raw32() const noexcept { return value_.ulVal; }
  // The 64-bit date field as it lies in the variant, whatever its type.
  [[nodiscard]] DATE RawDate() const noexcept { return value_.date; }

  // Standard COM conversions; each throws ComError when the value cannot be
  // converted.
  [[nodiscard]] std::wstring ToText() const;
  // A boolean is true when non-zero; any other type is converted to a
  // boolean and is true when the result is VARIANT_TRUE.
  [[nodiscard]] bool ToBool() const;
  [[nodiscard]] DATE ToDate() const;

 private:
  [[nodiscard]] Variant ConvertedTo(VARTYPE type) const;
  // VT_EMPTY with every value byte zero: a callee that sets only a 4-byte
  // type leaves no indeterminate bytes behind for the 8-byte readings.
  static void MakeEmpty(VARIANT& value) noexcept { value = VARIANT{}; }

  VARIANT value_;
};

}  // namespace qm
