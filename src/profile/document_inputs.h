#pragma once

// What the documents carry beside the profile itself: texts of the whole run
// and the setup's own idea of the main product. The run fills it from its
// probes and the registry and hands it in, so building a document reads
// nothing of its own and reaches nothing above the profile.

#include <string>

#include "profile/fallback_product.h"

namespace qm {

struct DocumentInputs {
  // "InstUID" of both documents; left out when empty.
  std::wstring install_uid;
  // "FileVersion" of the full document; left out when empty.
  std::wstring own_file_version;
  // The full document's product when the collection found none.
  FallbackProductTexts fallback_product;
};

}  // namespace qm
