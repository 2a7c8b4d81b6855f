#pragma once

// The program's binding to the agent's communications library: the library
// loaded and its one export resolved. The upload and the tracking events each
// hold a binding of their own; they load the library from different places.

#include <windows.h>

#include "support/unique_resource.h"
#include "upload/linkbridge.h"

namespace qm {

// How a binding reaches the library's code: the system's loader in the
// program, a stand-in in tests that brings a fake library in-process.
struct LinkBridgeLoader {
  HMODULE (*load)(const wchar_t* file_name);
  LinkGetUtilFunction (*resolve)(HMODULE library, const char* export_name);
};

// LoadLibraryW and GetProcAddress.
[[nodiscard]] LinkBridgeLoader SystemLinkBridgeLoader() noexcept;

class LinkBinding {
 public:
  enum class Outcome { Bound, NotLoaded, NoEntry };

  explicit LinkBinding(LinkBridgeLoader loader) noexcept : loader_(loader) {}

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

 private:
  LinkBridgeLoader loader_;
  UniqueModule library_;
  LinkGetUtilFunction entry_ = nullptr;
};

}  // namespace qm
