#pragma once

// The program's binding to the agent's communications library: the library
// loaded and its one export resolved. The upload and the tracking events each
// hold a binding of their own; they load the library from different places.

#include <windows.h>

#include <utility>

#include "support/library_loader.h"
#include "support/unique_resource.h"
#include "upload/linkbridge.h"

namespace qm {

// How a binding reaches the library's code.
using LinkBridgeLoader = LibraryLoader<LinkGetUtilFunction>;

class LinkBinding {
 public:
  enum class Outcome { Bound, NotLoaded, NoEntry };

  explicit LinkBinding(LinkBridgeLoader loader) noexcept : loader_(std::move(loader)) {}

  // Loads `file` (a bare name goes through the system's search order) and
  // resolves "GetUtil", after freeing what was bound before. On failure
  // nothing stays loaded and the system's last error tells why.
  [[nodiscard]] Outcome Bind(const wchar_t* file);
  [[nodiscard]] bool IsBound() const noexcept { return entry_ != nullptr; }
  // Calls the library's "GetUtil": its utility object, or null (also when
  // nothing is bound). The object is the library's and is never released.
  // A structured exception inside the library raises ForeignCallError.
  [[nodiscard]] LinkUtility* Utility() const;
  // Frees the library; nothing happens when none is bound.
  void Free() noexcept;
  // Forgets the library without freeing it: it stays until the process ends.
  void LeaveLoaded() noexcept;

 private:
  LinkBridgeLoader loader_;
  UniqueModule library_;
  LinkGetUtilFunction entry_ = nullptr;
};

}  // namespace qm
