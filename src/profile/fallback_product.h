#pragma once

// The product written into the full document when the collection found none:
// what the setup's registry values say the main product is.

#include <cstdint>
#include <string>

#include "profile/json_writer.h"

namespace qm {

// The setup's two values as signed decimal texts; each empty when unreadable.
struct FallbackProductTexts {
  std::wstring product_id;
  std::wstring version_type;
};

// Serialised within the statement that makes it: it refers to the texts.
class FallbackProduct final : public ISerializable {
 public:
  FallbackProduct(const FallbackProductTexts& texts, std::uint32_t module_status)
      : texts_(texts), module_status_(module_status) {}

  [[nodiscard]] std::wstring Serialize() const override;

 private:
  const FallbackProductTexts& texts_;
  std::uint32_t module_status_;
};

// Reads "MainProductID" and "VersionType" of the setup key (32-bit view),
// each as a signed decimal text; a value that cannot be read stays empty.
[[nodiscard]] FallbackProductTexts ReadFallbackProductTexts();

}  // namespace qm
