#pragma once

// The product written into the full document when the collection found none:
// what the setup's registry values say the main product is.

#include <cstdint>
#include <string>

#include "profile/json_writer.h"

namespace qm {

class FallbackProduct final : public ISerializable {
 public:
  FallbackProduct(std::wstring product_id, std::wstring version_type, std::uint32_t module_status)
      : product_id_(std::move(product_id)),
        version_type_(std::move(version_type)),
        module_status_(module_status) {}

  [[nodiscard]] std::wstring Serialize() const override;

  [[nodiscard]] const std::wstring& ProductID() const noexcept { return product_id_; }
  [[nodiscard]] const std::wstring& VersionType() const noexcept { return version_type_; }

 private:
  std::wstring product_id_;
  std::wstring version_type_;
  std::uint32_t module_status_;
};

// Reads "MainProductID" and "VersionType" of the setup key (32-bit view),
// each as a signed decimal text; a value that cannot be read stays empty.
[[nodiscard]] FallbackProduct ReadFallbackProduct(std::uint32_t module_status);

}  // namespace qm
