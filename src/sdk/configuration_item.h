#pragma once

// Reads of the SDK's configuration items as the collection steps make them.
// A COM error raised by the call (an empty configuration reference) or by the
// reading of the value (a failed conversion) ends only that one read: it comes
// back as the read's result, like a failure the SDK reported itself.

#include <windows.h>

#include <string>
#include <utility>

#include "sdk/omx_sdk.h"
#include "support/com.h"

namespace qm {

// GetValue(scope 0, `item`) into `value`, then `take(value)`. Returns S_OK when
// both succeeded; otherwise the call's own result (a non-zero success code
// counts as failure and `take` is not called) or the COM error's code.
template <typename Take>
[[nodiscard]] HRESULT ReadConfigurationItem(const ComPtr<IOmxConfiguration>& configuration,
                                            LONG item, Variant& value, Take&& take) {
  try {
    // The SDK clears the value before filling it, so the reused value needs no clearing here.
    const HRESULT result = configuration->GetValue(omx::kDefaultScope, item, value.Mutable());
    if (result != S_OK) return result;
    std::forward<Take>(take)(value);
    return S_OK;
  } catch (const ComError& error) {
    return error.Code();
  }
}

// The text a value holds, taken without conversion; a null string is empty
// text. A value of any other type holds no text and is refused with
// DISP_E_TYPEMISMATCH rather than read as a string it is not.
[[nodiscard]] std::wstring HeldText(const Variant& value);

}  // namespace qm
