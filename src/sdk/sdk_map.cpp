#include "sdk/sdk_map.h"

namespace qm {

HRESULT MapOf(const Variant& value, ComPtr<IOmxMap>& map) {
  if (value.Type() != VT_DISPATCH || V_DISPATCH(&value.Get()) == nullptr) {
    return DISP_E_TYPEMISMATCH;
  }
  return ComPtr<IDispatch>(V_DISPATCH(&value.Get())).As(map);
}

}  // namespace qm
