#include "counters/sdk_reading.h"

#include <limits>

#include "diagnostics/trace.h"

namespace qm::counters {

std::uint32_t CountIn(const Variant& value) noexcept {
  constexpr std::uint64_t kLargest = std::numeric_limits<std::uint32_t>::max();
  const VARIANT& raw = value.Get();
  switch (value.Type()) {
    case VT_I1:
    case VT_UI1:
      return raw.bVal;
    case VT_I2:
    case VT_UI2:
      return raw.uiVal;
    case VT_I4:
    case VT_UI4:
    case VT_INT:
    case VT_UINT:
      return raw.ulVal;
    case VT_I8:
    case VT_UI8:
      return static_cast<std::uint32_t>(raw.ullVal < kLargest ? raw.ullVal : kLargest);
    default:
      return 0;
  }
}

std::uint32_t AddCounts(std::uint32_t total, std::uint32_t count) noexcept {
  const std::uint32_t room = std::numeric_limits<std::uint32_t>::max() - total;
  return count > room ? std::numeric_limits<std::uint32_t>::max() : total + count;
}

HRESULT GetEntry(const ComPtr<IOmxMap>& map, std::wstring_view key, Variant& value) {
  return map->Get(Variant::Text(key).Get(), value.Put());
}

void TraceContainedReader(const char* name, HRESULT code) {
  // A reader is the smallest contained step of the collection.
  QM_TRACE(Collector, 124, Error, Collector, trace::Narrow(name), trace::Int(code));
}

}  // namespace qm::counters
