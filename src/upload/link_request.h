#pragma once

// One web request through the communications library, from its creation to
// its release: the whole exchange the tracking events have with the library.

#include <string>
#include <utility>
#include <vector>

#include "upload/linkbridge.h"

namespace qm {

using LinkRequestParameters = std::vector<std::pair<std::wstring, std::wstring>>;

struct LinkRequestArgs {
  const wchar_t* url;
  const wchar_t* muid;
  const wchar_t* custom_id;
  const wchar_t* event_name;
  const LinkRequestParameters& parameters;
  // Null when the request goes without connection settings.
  const ConnectionSettings* settings;
};

// What the library reads as the submission's options; tracking always
// submits the same way.
inline constexpr std::int32_t kLinkSubmitOptions = 7;

// Creates the request, starts it, prepares it (whatever Prepare answers), adds
// the parameters in order up to the first refused one and, when all were
// taken, submits it; then releases it. The result is the last answer; a request without parameters
// is never prepared and counts as not sent. A structured exception inside the library raises
// ForeignCallError once the request is released.
[[nodiscard]] bool SubmitLinkRequest(LinkUtility& utility, const LinkRequestArgs& args);

}  // namespace qm
