#pragma once

// How the counters take SDK objects and values: typed objects from the
// session's factory, maps inside values, and counts read whole.

#include <windows.h>

#include <cstdint>
#include <string_view>

#include "sdk/sdk_session.h"
#include "support/com.h"

namespace qm::counters {

// The SDK object of `prog_id` queried for `Interface`; empty when the SDK
// refused it or the object does not offer the interface.
template <typename Interface>
[[nodiscard]] ComPtr<Interface> CreateSdkObjectAs(SdkSession& session, std::wstring_view prog_id) {
  ComPtr<Interface> typed;
  (void)session.CreateSdkObject(prog_id).As(typed);
  return typed;
}

// The object a VT_DISPATCH value holds, queried for `Interface`; empty for any
// other value.
template <typename Interface>
[[nodiscard]] ComPtr<Interface> ObjectIn(const Variant& value) {
  ComPtr<Interface> typed;
  if (value.Type() == VT_DISPATCH) (void)ComPtr<IDispatch>(value.Get().pdispVal).As(typed);
  return typed;
}

[[nodiscard]] inline ComPtr<IOmxMap> MapIn(const Variant& value) {
  return ObjectIn<IOmxMap>(value);
}

// A count as its VARIANT type carries it: 8-, 16- and 32-bit integers whole
// (as unsigned), 64-bit ones stopped at the largest 32-bit count. Anything
// that is no integer counts nothing.
[[nodiscard]] std::uint32_t CountIn(const Variant& value) noexcept;

// Adds two counts, stopping at the largest 32-bit count instead of wrapping.
[[nodiscard]] std::uint32_t AddCounts(std::uint32_t total, std::uint32_t count) noexcept;

// `Get(key)` on `map` into `value`; the map's own result.
[[nodiscard]] HRESULT GetEntry(const ComPtr<IOmxMap>& map, std::wstring_view key, Variant& value);

// Traces a reader ended by a COM error.
void TraceContainedReader(const char* name, HRESULT code);

// Runs one reader of the counters. A COM error raised inside (a call through
// an SDK object that is not there) ends that reader as failed, traced, and
// leaves the others to run.
template <typename Reader>
bool RunContainedReader(const char* name, Reader&& reader) {
  try {
    return reader();
  } catch (const ComError& error) {
    TraceContainedReader(name, error.Code());
    return false;
  }
}

}  // namespace qm::counters
