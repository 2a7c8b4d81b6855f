#pragma once

// The VARIANT types a scenario may name, with the shape of their payload.

#include <oaidl.h>
#include <windows.h>

#include <cstdint>
#include <initializer_list>
#include <string_view>

namespace qm::sim {

enum class VariantKind { Empty, Signed, Unsigned, Bool, Real, Date, Text, Dispatch };

struct VariantTypeInfo {
  const char* name;
  VARTYPE type;
  VariantKind kind;
  unsigned bytes;  // payload width of integer kinds
};

// Null when the type is not one a scenario may name.
[[nodiscard]] const VariantTypeInfo* FindVariantType(VARTYPE type) noexcept;
[[nodiscard]] const VariantTypeInfo* FindVariantType(std::string_view name) noexcept;

// The ProgIDs the root makes and the operation names their objects offer
// (the names a scenario's failure injection uses).
struct ProgIdInfo {
  const wchar_t* prog_id;
  const char* scenario_name;  // the same ProgID in UTF-8
  std::initializer_list<const char*> operations;
};
[[nodiscard]] const ProgIdInfo* FindProgId(std::wstring_view prog_id) noexcept;
[[nodiscard]] const ProgIdInfo* FindProgId(std::string_view scenario_name) noexcept;
[[nodiscard]] bool HasOperation(const ProgIdInfo& info, std::string_view operation) noexcept;

}  // namespace qm::sim
