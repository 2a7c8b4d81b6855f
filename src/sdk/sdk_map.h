#pragma once

// Maps handed back inside SDK values.

#include "sdk/omx_sdk.h"
#include "support/com.h"

namespace qm {

// The map a value holds; DISP_E_TYPEMISMATCH when it holds anything but an
// object, or the object's refusal of the map interface.
[[nodiscard]] HRESULT MapOf(const Variant& value, ComPtr<IOmxMap>& map);

}  // namespace qm
