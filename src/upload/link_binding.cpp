#include "upload/link_binding.h"

#include <utility>

#include "support/guarded_call.h"

namespace qm {
LinkBinding::Outcome LinkBinding::Bind(const wchar_t* file) {
  Free();
  UniqueModule library(loader_.load(file));
  if (!library) return Outcome::NotLoaded;
  const LinkGetUtilFunction entry = loader_.resolve(library.Get(), kLinkGetUtilExport);
  // Freeing the library on the way out keeps the last error of the lookup.
  if (entry == nullptr) return Outcome::NoEntry;
  library_ = std::move(library);
  entry_ = entry;
  return Outcome::Bound;
}

LinkUtility* LinkBinding::Utility() const {
  if (entry_ == nullptr) return nullptr;
  return CallForeign("GetUtil", [&] { return entry_(); });
}

void LinkBinding::Free() noexcept {
  entry_ = nullptr;
  library_.Reset();
}

void LinkBinding::LeaveLoaded() noexcept {
  entry_ = nullptr;
  (void)library_.Release();
}

}  // namespace qm
