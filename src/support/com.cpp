#include "support/com.h"

#include <objbase.h>

#include <cstdio>
#include <limits>
#include <new>

namespace qm {
namespace {

std::string DescribeHresult(HRESULT hr) {
  char text[32];
  std::snprintf(text, sizeof(text), "COM error 0x%08lX", static_cast<unsigned long>(hr));
  return text;
}

}  // namespace

ComError::ComError(HRESULT hr) : std::runtime_error(DescribeHresult(hr)), hr_(hr) {}

void ThrowIfFailed(HRESULT hr) {
  if (FAILED(hr)) throw ComError(hr);
}

HRESULT ComApartment::EnterMultithreaded() noexcept {
  Leave();
  const HRESULT result = ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  entered_ = SUCCEEDED(result);
  return result;
}

void ComApartment::Leave() noexcept {
  if (std::exchange(entered_, false)) ::CoUninitialize();
}

Bstr::Bstr(std::wstring_view text) {
  if (text.size() > std::numeric_limits<UINT>::max() / sizeof(wchar_t))
    throw ComError(E_OUTOFMEMORY);
  text_ = ::SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
  if (text_ == nullptr) throw ComError(E_OUTOFMEMORY);
}

void Bstr::Reset() noexcept {
  if (BSTR text = std::exchange(text_, nullptr)) ::SysFreeString(text);
}

Variant::Variant(Variant&& other) noexcept : value_(other.value_) { MakeEmpty(other.value_); }

Variant& Variant::operator=(Variant&& other) noexcept {
  if (this != &other) {
    Clear();
    value_ = other.value_;
    MakeEmpty(other.value_);
  }
  return *this;
}

Variant Variant::Int32(std::int32_t value) noexcept {
  Variant v;
  V_VT(&v.value_) = VT_I4;
  V_I4(&v.value_) = value;
  return v;
}

Variant Variant::UInt32(std::uint32_t value) noexcept {
  Variant v;
  V_VT(&v.value_) = VT_UI4;
  V_UI4(&v.value_) = value;
  return v;
}

Variant Variant::UInt(std::uint32_t value) noexcept {
  Variant v;
  V_VT(&v.value_) = VT_UINT;
  V_UINT(&v.value_) = value;
  return v;
}

Variant Variant::Bool(bool value) noexcept {
  Variant v;
  V_VT(&v.value_) = VT_BOOL;
  V_BOOL(&v.value_) = value ? VARIANT_TRUE : VARIANT_FALSE;
  return v;
}

Variant Variant::Date(DATE value) noexcept {
  Variant v;
  V_VT(&v.value_) = VT_DATE;
  V_DATE(&v.value_) = value;
  return v;
}

Variant Variant::Text(std::wstring_view value) {
  Bstr text(value);
  Variant v;
  V_VT(&v.value_) = VT_BSTR;
  V_BSTR(&v.value_) = text.Release();
  return v;
}

Variant Variant::Dispatch(IDispatch* object) noexcept {
  Variant v;
  V_VT(&v.value_) = VT_DISPATCH;
  V_DISPATCH(&v.value_) = object;
  if (object != nullptr) object->AddRef();
  return v;
}

void Variant::Clear() noexcept {
  ::VariantClear(&value_);
  MakeEmpty(value_);
}

VARIANT* Variant::Put() noexcept {
  Clear();
  return &value_;
}

Variant Variant::ConvertedTo(VARTYPE type) const {
  Variant converted;
  ThrowIfFailed(::VariantChangeType(&converted.value_, const_cast<VARIANT*>(&value_), 0, type));
  return converted;
}

std::wstring Variant::ToText() const {
  if (Type() == VT_BSTR) {
    const BSTR text = V_BSTR(&value_);
    return text == nullptr ? std::wstring() : std::wstring(text, ::SysStringLen(text));
  }
  return ConvertedTo(VT_BSTR).ToText();
}

bool Variant::ToBool() const {
  // A boolean counts by being non-zero: an SDK that stores 1 for true means true.
  if (Type() == VT_BOOL) return V_BOOL(&value_) != VARIANT_FALSE;
  const Variant converted = ConvertedTo(VT_BOOL);
  return V_BOOL(&converted.value_) == VARIANT_TRUE;
}

DATE Variant::ToDate() const {
  const Variant converted = ConvertedTo(VT_DATE);
  return V_DATE(&converted.value_);
}

}  // namespace qm
