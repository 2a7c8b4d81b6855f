#include "profile/fallback_product.h"

#include "diagnostics/trace.h"
#include "support/registry.h"
#include "support/setup_keys.h"
#include "support/text.h"

namespace qm {
namespace {

// Each value is read through an open of its own, as the setup key may hold
// one value and not the other. The value's bytes (at most four, whatever the
// registry type) are a little-endian 32-bit integer, written signed.
std::wstring ReadSetupNumber(const wchar_t* name) {
  UniqueKey key;
  if (OpenSetupKey(KEY_QUERY_VALUE | KEY_WOW64_32KEY, key) != ERROR_SUCCESS) return {};
  std::uint32_t value = 0;
  const LSTATUS status = registry::ReadUInt32(key.Get(), name, value);
  if (status != ERROR_SUCCESS) {
    QM_TRACE(ProfileDocument, 12, Error, Collector, trace::AnsiOf(name), trace::Int(status));
    return {};
  }
  std::wstring text = DecimalText(static_cast<long>(static_cast<std::int32_t>(value)));
  QM_TRACE(ProfileDocument, 11, Info, Collector, trace::AnsiOf(name), trace::AnsiOf(text));
  return text;
}

}  // namespace

std::wstring FallbackProduct::Serialize() const {
  return JsonObject()
      .Add(JsonStringPair(L"ProductID", texts_.product_id))
      .Add(JsonStringPair(L"VersionType", texts_.version_type))
      .Add(JsonNumberPair(L"ModuleStatus", module_status_))
      .Close();
}

FallbackProductTexts ReadFallbackProductTexts() {
  FallbackProductTexts texts;
  texts.product_id = ReadSetupNumber(L"MainProductID");
  texts.version_type = ReadSetupNumber(L"VersionType");
  return texts;
}

}  // namespace qm
