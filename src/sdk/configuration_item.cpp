#include "sdk/configuration_item.h"

namespace qm {

std::wstring HeldText(const Variant& value) {
  if (value.Type() != VT_BSTR) throw ComError(DISP_E_TYPEMISMATCH);
  return value.ToText();
}

}  // namespace qm
